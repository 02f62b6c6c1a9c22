// KestruneConnectSingBox.exe. Command-line arguments are not read.

#include <windows.h>

#include "service/entry.h"

int main() {
    const kestrune::Status result = kestrune::service::run();
    if (result) {
        return 0;
    }
    // The one thing the service ever prints: why console mode could not run.
    const std::string text = result.error() + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    return 1;
}
