#include <zorv/log.hpp>

Timer::~Timer() {
    try {
        auto end = std::chrono::system_clock::now();
        double seconds =
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) /
            1000.0 / 1000000.0;
        Logger::getInstance().always(__func__, __LINE__, "%s execution time: %.6f s", name.c_str(), seconds);
    } catch (...) {
        // A timer never throws out of a scope that is already unwinding.
    }
}
