// SM3 digests through OpenSSL (its provider's functions where it can, EVP
// otherwise) and the FNV-1a hash of kernel module names.
#include <zorv/label.hpp>
#include <zorv/util.hpp>

#include "log/log.h"
#include "util/hashing_internal.h"

#include <openssl/core_dispatch.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <cstring>
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

// OpenSSL 3.0 makes every EVP digest allocate a context, look for an ENGINE
// under a lock all threads share, and set up the provider's context anew:
// twice the cost of SM3 itself on a path, and worse from several threads. The
// SM3 that EVP_MD_fetch chose is driven through its provider's own functions
// instead, with a context per thread set up once. Without them (an SM3 from
// an ENGINE or a provider lacking one of them), EVP it is.
class ProviderSm3 {
public:
    static const ProviderSm3& get(const EVP_MD* md) {
        static const ProviderSm3 functions(md);
        return functions;
    }

    bool usable() const { return newctx_ && init_ && update_ && final_ && freectx_; }

    // False when the provider fails a step: the caller falls back to EVP.
    bool digest(const std::string& input, unsigned char* out, unsigned int& length) const {
        struct Context {
            const ProviderSm3& owner;
            void* state;
            ~Context() {
                if (state) owner.freectx_(state);
            }
        };
        thread_local Context context{*this, newctx_(provctx_)};
        std::size_t written = 0;
        if (!context.state || !init_(context.state, nullptr) ||
            !update_(context.state, reinterpret_cast<const unsigned char*>(input.data()), input.size()) ||
            !final_(context.state, out, &written, EVP_MAX_MD_SIZE))
            return false;
        length = static_cast<unsigned int>(written);
        return true;
    }

private:
    explicit ProviderSm3(const EVP_MD* md) {
        const OSSL_PROVIDER* provider = md ? EVP_MD_get0_provider(md) : nullptr;
        if (!provider) return;
        int noCache = 0;
        const OSSL_ALGORITHM* algorithms = OSSL_PROVIDER_query_operation(provider, OSSL_OP_DIGEST, &noCache);
        for (const OSSL_ALGORITHM* a = algorithms; a && a->algorithm_names; ++a) {
            if (!EVP_MD_is_a(md, firstName(a->algorithm_names).c_str())) continue;
            for (const OSSL_DISPATCH* f = a->implementation; f->function_id != 0; ++f) switch (f->function_id) {
                    case OSSL_FUNC_DIGEST_NEWCTX: newctx_ = OSSL_FUNC_digest_newctx(f); break;
                    case OSSL_FUNC_DIGEST_INIT: init_ = OSSL_FUNC_digest_init(f); break;
                    case OSSL_FUNC_DIGEST_UPDATE: update_ = OSSL_FUNC_digest_update(f); break;
                    case OSSL_FUNC_DIGEST_FINAL: final_ = OSSL_FUNC_digest_final(f); break;
                    case OSSL_FUNC_DIGEST_FREECTX: freectx_ = OSSL_FUNC_digest_freectx(f); break;
                    default: break;
                }
            break;
        }
        if (algorithms) OSSL_PROVIDER_unquery_operation(provider, OSSL_OP_DIGEST, algorithms);
        provctx_ = OSSL_PROVIDER_get0_provider_ctx(provider);
    }

    static std::string firstName(const char* names) {
        const char* colon = std::strchr(names, ':');
        return colon ? std::string(names, colon) : std::string(names);
    }

    OSSL_FUNC_digest_newctx_fn* newctx_ = nullptr;
    OSSL_FUNC_digest_init_fn* init_ = nullptr;
    OSSL_FUNC_digest_update_fn* update_ = nullptr;
    OSSL_FUNC_digest_final_fn* final_ = nullptr;
    OSSL_FUNC_digest_freectx_fn* freectx_ = nullptr;
    void* provctx_ = nullptr;
};

// The SM3 digest of `input`; logs for getSM3HashValue when there is none.
bool sm3Into(const std::string& input, unsigned char* out, unsigned int& length) {
    const EVP_MD* md = sm3Digest();
    if (md == nullptr) {
        ZLOG_ERROR_FOR("getSM3HashValue", "Unsupported hash function SM3");
        return false;
    }
    const ProviderSm3& direct = ProviderSm3::get(md);
    if (direct.usable() && direct.digest(input, out, length)) return true;
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
