#include "util/large_stack.h"

#include <pthread.h>

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

}  // namespace detail
}  // namespace zorv
