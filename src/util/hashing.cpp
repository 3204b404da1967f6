// SM3 digests through OpenSSL's EVP interface and the FNV-1a hash of kernel
// module names.
#include <zorv/label.hpp>
#include <zorv/util.hpp>

#include "log/log.h"
#include "util/hashing_internal.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>

namespace {

struct MdDeleter {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Fetching an algorithm is costly in OpenSSL 3 (provider query, locks), and a
// legacy handle from EVP_get_digestbyname would repeat that fetch inside every
// EVP_DigestInit_ex. The explicit fetch is done once; the static is released
// before OpenSSL's own exit handler runs because it is registered after it.
const EVP_MD* sm3Digest() {
    static const std::unique_ptr<EVP_MD, MdDeleter> digest([] {
        ERR_set_mark();  // a missing SM3 must not leave entries in the caller's error queue
        EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
        ERR_pop_to_mark();
        return md;
    }());
    return digest.get();
}

// The digest of `input` with `md` into `out`; false when any step fails.
bool digestInto(const EVP_MD* md, const std::string& input, unsigned char* out, unsigned int& length) {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> owned(EVP_MD_CTX_new());
    EVP_MD_CTX* ctx = owned.get();
    return ctx && EVP_DigestInit_ex(ctx, md, nullptr) == 1 && EVP_DigestUpdate(ctx, input.data(), input.size()) == 1 &&
           EVP_DigestFinal_ex(ctx, out, &length) == 1;
}

// The SM3 digest of `input`; logs for getSM3HashValue when there is none.
bool sm3Into(const std::string& input, unsigned char* out, unsigned int& length) {
    const EVP_MD* md = sm3Digest();
    if (md == nullptr) {
        ZLOG_ERROR_FOR("getSM3HashValue", "Unsupported hash function SM3");
        return false;
    }
    if (digestInto(md, input, out, length)) return true;
    ZLOG_ERROR_FOR("getSM3HashValue", "SM3 digest computation failed");
    return false;
}

// The last `sizeof(T)` bytes of the SM3 digest (the last digits of its text
// form) as a number, read from the bytes: a relabelled tree asks this once
// per file. Both widths share this; each names its own function and message.
template <typename T>
T lastDigestBits(const std::string& input, const char* func, const char* tooShort) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!sm3Into(input, digest, length) || length < sizeof(T)) {
        Logger::getInstance().error(func, __LINE__, "%s", tooShort);
        return 0;
    }
    T value = 0;
    for (unsigned int i = length - sizeof(T); i < length; ++i) value = static_cast<T>(value << 8 | digest[i]);
    return value;
}

}  // namespace

namespace zorv {
namespace detail {

std::string digestHex(const EVP_MD* md, const std::string& input) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!digestInto(md, input, digest, length)) {
        ZLOG_ERROR_FOR("getSM3HashValue", "SM3 digest computation failed");
        return std::string();
    }
    return bytesToHexString(digest, length);
}

}  // namespace detail
}  // namespace zorv

std::string getSM3HashValue(const std::string& input) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    return sm3Into(input, digest, length) ? bytesToHexString(digest, length) : std::string();
}

unsigned int getSM3HashLast32Bits(const std::string& input) {
    return lastDigestBits<uint32_t>(input, "getSM3HashLast32Bits", "Hash string is too short");
}

unsigned long getSM3HashLast64Bits(const std::string& input) {
    return lastDigestBits<unsigned long>(input, "getSM3HashLast64Bits", "hash string is too short");
}

unsigned int getKmodNameHash(const char* name, unsigned int len) {
    uint32_t hash = 2166136261u;  // FNV offset basis
    if (name == nullptr) return hash;
    const auto* bytes = reinterpret_cast<const unsigned char*>(name);
    for (unsigned int i = 0; i < len; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;  // FNV prime; unsigned arithmetic wraps modulo 2^32
    }
    return hash;
}
