// Whether this build runs under AddressSanitizer or ThreadSanitizer: GCC and
// clang say so differently. Code that sizes stacks or memory by what it sees
// asks here.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define ZORV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORV_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define ZORV_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZORV_THREAD_SANITIZER 1
#endif
#endif
