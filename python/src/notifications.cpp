// Label-change notifications as an iterator and a context manager over one
// subscriber handle of the library.
#include "binding.h"

#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace zorvpy {

namespace {

using Clock = std::chrono::steady_clock;

// The wait is cut into slices so that Ctrl-C (and close from another thread)
// is noticed within one slice; the interpreter lock is free during each.
constexpr int kSliceMs = 100;

// A timeout in seconds; a negative value stands for None (no limit).
double secondsArg(py::handle value) {
    if (value.is_none()) return -1;
    double seconds = py::float_(py::reinterpret_borrow<py::object>(value));
    if (!(seconds >= 0) || std::isinf(seconds))
        fail(Kind::InvalidArgument, -1, "timeout must be None or a finite number of seconds >= 0");
    return seconds;
}

class Subscription {
public:
    Subscription(std::vector<std::string> topics, double timeout) : topics_(std::move(topics)), timeout_(timeout) {
        try {
            handle_ = createSubscriber();
        } catch (const std::exception&) {
            callFailed(-1, "createSubscriber");
        }
        if (topics_.empty()) topics_.emplace_back();  // "" lets every notification through
        for (const std::string& topic : topics_) {
            if (subscribeLabelChangeMsg(handle_, topic) != 0) {
                destroySubscriber(handle_);
                callFailed(-1, "subscribeLabelChangeMsg");
            }
        }
    }
    // Nobody else can be using it when the last reference goes.
    ~Subscription() { destroySubscriber(handle_); }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // The next notification's payload, or None when `timeout` seconds passed
    // without one.
    py::object receive(double timeout) {
        const Clock::time_point start = Clock::now();
        for (;;) {
            int sliceMs = kSliceMs;
            if (timeout >= 0) {
                double left = timeout - std::chrono::duration<double>(Clock::now() - start).count();
                sliceMs = left <= 0 ? 0 : static_cast<int>(std::min<double>(kSliceMs, std::ceil(left * 1000)));
            }
            char* msg = nullptr;
            int rc;
            {
                py::gil_scoped_release unlocked;
                std::lock_guard<std::mutex> lock(use_);
                rc = handle_ == nullptr ? kClosed : recvLabelChangeMsgWithin(handle_, &msg, sliceMs);
            }
            if (rc == kClosed) throw py::value_error("the subscription is closed");
            if (rc == 0) {
                std::unique_ptr<char, decltype(&std::free)> owned(msg, &std::free);
                return fsText(msg, std::strlen(msg));
            }
            if (rc != 1) callFailed(rc, "recvLabelChangeMsg");
            if (timeout >= 0 && sliceMs == 0) return py::none();
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    // Releases the subscriber; waits for a receive on another thread to
    // finish its slice first.
    void close() {
        closed_ = true;
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(use_);
        destroySubscriber(handle_);
        handle_ = nullptr;
    }

    bool closed() const { return closed_; }
    const std::vector<std::string>& topics() const { return topics_; }
    double timeout() const { return timeout_; }

private:
    static constexpr int kClosed = -100;
    std::vector<std::string> topics_;
    double timeout_;
    std::mutex use_;  // a handle is for one thread at a time
    void* handle_ = nullptr;
    std::atomic<bool> closed_{false};
};

}  // namespace

void registerNotifications(py::module_& m) {
    py::class_<Subscription>(m, "Subscription",
                             "Label changes as the service publishes them, from subscribe(). Iterating yields\n"
                             "each change's payload (the service's JSON text) and ends when ``timeout``\n"
                             "seconds pass without one (never when it is None). As a context manager it\n"
                             "releases the subscriber on exit; close() does the same.")
        .def("receive", [](Subscription& s, py::handle timeout) { return s.receive(secondsArg(timeout)); },
             py::arg("timeout") = py::none(),
             "The next change's payload, or None when timeout seconds pass without one (None:\n"
             "wait without limit). ValueError once the subscription is closed.")
        .def("close", &Subscription::close, "Releases the subscriber; later receives raise ValueError.")
        .def_property_readonly("closed", &Subscription::closed, "Whether close() was called.")
        .def_property_readonly("topics", &Subscription::topics, "The topic prefixes subscribed to.")
        .def_property_readonly(
            "timeout",
            [](const Subscription& s) -> py::object {
                return s.timeout() < 0 ? py::none() : py::cast(s.timeout());
            },
            "Seconds that iteration waits for the next change; None: without limit.")
        .def("__iter__", [](Subscription& s) -> Subscription& { return s; }, "The subscription itself.")
        .def(
            "__next__",
            [](Subscription& s) {
                py::object change = s.receive(s.timeout());
                if (change.is_none()) throw py::stop_iteration();
                return change;
            },
            "The next change; StopIteration after ``timeout`` seconds without one.")
        .def("__enter__", [](Subscription& s) -> Subscription& { return s; }, "The subscription itself.")
        .def(
            "__exit__", [](Subscription& s, py::args) { s.close(); return false; },
            "Releases the subscriber (close()); exceptions pass on.");

    m.def(
        "subscribe",
        [](py::args topics, py::handle timeout) {
            return std::make_unique<Subscription>(textList(topics, "topics"), secondsArg(timeout));
        },
        py::arg("timeout") = py::none(),
        "Subscribes to label changes whose topic begins with one of ``topics`` (every change\n"
        "when none is given): ``with subscribe(\"tid\", timeout=5) as changes: for change in\n"
        "changes: ...``. The service's topics are pkgid, oid, sid, tid, inheritflag, label,\n"
        "package and system.");
}

}  // namespace zorvpy
