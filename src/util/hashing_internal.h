// Internal pieces of the hashing helpers, reachable by the tests.
#pragma once

#include <openssl/evp.h>

#include <string>

namespace zorv {
namespace detail {

// Hex digest of `input` with `md`; logs on behalf of getSM3HashValue and
// returns "" when any digest step fails (a null `md` included).
std::string digestHex(const EVP_MD* md, const std::string& input);

}  // namespace detail
}  // namespace zorv
