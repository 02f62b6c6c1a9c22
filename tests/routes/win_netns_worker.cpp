// Runs the real RouteProtection for the network-namespace test (route_protection_netns.sh):
//   win_routes_netns_worker <WINDIR> <PROGRAMDATA> <stop file> <peer TTL seconds>
// Sets WINDIR (where the route.exe stand-in lies) and PROGRAMDATA (where the log goes) from
// inside, because Wine overrides both from the Linux environment. Prints the physical route
// it found, starts protection with the shortened TTL, waits until the stop file exists, stops
// protection and prints "stopped" with the number of progress calls the stop made. Exit code 1
// when no physical route is found.

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "routes/physical/physical_route.h"
#include "routes/route_protection.h"

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 5) {
        std::fprintf(stderr, "usage: win_routes_netns_worker WINDIR PROGRAMDATA STOP-FILE TTL\n");
        return 2;
    }
    SetEnvironmentVariableW(L"WINDIR", argv[1]);
    SetEnvironmentVariableW(L"PROGRAMDATA", argv[2]);
    const std::wstring stop_file = argv[3];
    kestrune::routes::RouteProtectionOptions options;
    options.peer_ttl_seconds = std::wcstoull(argv[4], nullptr, 10);

    const auto route = kestrune::routes::find_physical_route();
    if (!route) {
        std::printf("no physical route: %s\n", route.error().c_str());
        return 1;
    }
    std::printf("physical route %s if %lu\n", route->gateway.to_string().c_str(),
                static_cast<unsigned long>(route->interface_index));
    std::fflush(stdout);

    auto protection = kestrune::routes::RouteProtection::start(
        {.ipv4 = *route, .ipv6 = std::nullopt}, {}, options);
    while (GetFileAttributesW(stop_file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Sleep(100);
    }
    std::atomic<int> progress{0};
    protection.stop([&progress] { ++progress; });
    std::printf("stopped, %d progress calls\n", progress.load());
    std::fflush(stdout);
    return 0;
}
