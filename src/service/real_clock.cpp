#include "service/real_clock.h"

#include <windows.h>

namespace kestrune::service {

std::chrono::nanoseconds monotonic_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void pause_thread(std::chrono::milliseconds interval) {
    Sleep(static_cast<DWORD>(interval.count()));
}

} // namespace kestrune::service
