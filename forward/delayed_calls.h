#pragma once
// Delayed calls: short calls made at their due time on one thread of their
// own, so that a relay that only waits to half-close holds no thread meanwhile.

namespace kiv {

/// Calls `call(argument)` once `delay_ms` have passed, on the delayed-call
/// thread, calls due at the same moment in the order they were asked for.
/// Where that thread cannot be started, waits and calls on this thread.
void call_after(unsigned delay_ms, void (*call)(void*), void* argument);

}  // namespace kiv
