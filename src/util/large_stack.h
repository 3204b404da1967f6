// Runs a deeply recursive computation on a helper thread with a stack of a
// chosen size, so that it cannot overflow the caller's (possibly small) stack.
#pragma once

#include <cstddef>
#include <functional>

namespace zorv {
namespace detail {

// Calls `work` on a new thread whose stack holds at least `stackBytes` and
// waits for it; an exception thrown by `work` is rethrown here. Returns false,
// without calling `work`, when no such thread can be created.
bool runOnLargeStack(std::size_t stackBytes, const std::function<void()>& work);

// Bytes of stack left below the caller's frame on the current thread (0 if
// the thread's stack cannot be determined). Worked out once per thread.
std::size_t stackRemaining();

}  // namespace detail
}  // namespace zorv
