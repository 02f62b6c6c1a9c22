#pragma once
// The real clock and pauses behind the service's time-driven loops.

#include <chrono>

namespace kestrune::service {

// MinGW's steady_clock reads QueryPerformanceCounter.
std::chrono::nanoseconds monotonic_now();

// Sleep blocks the thread, so no loop that pauses busy-waits.
void pause_thread(std::chrono::milliseconds interval);

} // namespace kestrune::service
