#include "util/large_stack.h"

#include <pthread.h>

#include <cstdint>
#include <exception>

namespace zorv {
namespace detail {

namespace {

struct Job {
    const std::function<void()>* work;
    std::exception_ptr failure;
};

void* runJob(void* arg) {
    auto* job = static_cast<Job*>(arg);
    try {
        (*job->work)();
    } catch (...) {
        job->failure = std::current_exception();
    }
    return nullptr;
}

struct ThreadAttr {
    pthread_attr_t attr;
    bool ok;
    ThreadAttr() : ok(pthread_attr_init(&attr) == 0) {}
    ~ThreadAttr() {
        if (ok) pthread_attr_destroy(&attr);
    }
};

}  // namespace

bool runOnLargeStack(std::size_t stackBytes, const std::function<void()>& work) {
    ThreadAttr attr;
    if (!attr.ok || pthread_attr_setstacksize(&attr.attr, stackBytes) != 0) return false;
    Job job{&work, nullptr};
    pthread_t thread;
    if (pthread_create(&thread, &attr.attr, runJob, &job) != 0) return false;
    pthread_join(thread, nullptr);
    if (job.failure) std::rethrow_exception(job.failure);
    return true;
}

std::size_t stackRemaining() {
    // The lowest usable address of this thread's stack; stacks grow down.
    thread_local const uintptr_t lowest = [] {
        uintptr_t low = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0) {
                std::size_t guard = 0;
                pthread_attr_getguardsize(&attr, &guard);
                low = reinterpret_cast<uintptr_t>(base) + guard;
            }
            pthread_attr_destroy(&attr);
        }
        return low;
    }();
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return lowest != 0 && here > lowest ? here - lowest : 0;
}

}  // namespace detail
}  // namespace zorv
