#include "routes/commands/route_command.h"

namespace kestrune::routes {
namespace {

void join_path(std::wstring& left, std::wstring_view right) {
    if (left.empty() || (left.back() != L'\\' && left.back() != L'/')) {
        left.push_back(L'\\');
    }
    left.append(right);
}

// "route.exe VERB PEER", then the joint and the cause, so the text stands on its own in the log.
std::string route_failure(std::string_view verb, const IpAddress& peer, std::string_view joint,
                          std::string_view cause) {
    std::string text = "route.exe ";
    text.append(verb);
    text.push_back(' ');
    text += peer.to_string();
    text.append(joint);
    text.append(cause);
    return text;
}

} // namespace

std::wstring route_executable_path(const std::optional<std::wstring>& windir) {
    std::wstring path = windir.value_or(L"C:\\Windows");
    join_path(path, L"System32");
    join_path(path, L"route.exe");
    return path;
}

std::vector<std::string> route_command_arguments(std::string_view verb, Ipv4Address peer,
                                                 const PhysicalRoute& route) {
    return {std::string(verb),
            peer.to_string(),
            "MASK",
            "255.255.255.255",
            route.gateway.to_string(),
            "METRIC",
            "1",
            "IF",
            std::to_string(route.interface_index)};
}

std::vector<std::string> route_command_arguments(std::string_view verb, const Ipv6Address& peer,
                                                 const PhysicalRoute6& route) {
    return {"-6",
            std::string(verb),
            peer.to_string() + "/128",
            route.next_hop.to_string(),
            "METRIC",
            "1",
            "IF",
            std::to_string(route.interface_index)};
}

std::string route_start_error(std::string_view verb, const IpAddress& peer,
                              std::string_view os_error_text) {
    return route_failure(verb, peer, ": ", os_error_text);
}

std::string route_exit_error(std::string_view verb, const IpAddress& peer,
                             std::string_view exit_status_text) {
    return route_failure(verb, peer, " exited with ", exit_status_text);
}

std::string route_timeout_error(std::string_view verb, const IpAddress& peer,
                                std::chrono::milliseconds timeout) {
    const bool whole_seconds = timeout.count() % 1000 == 0;
    const long long amount = whole_seconds ? timeout.count() / 1000 : timeout.count();
    const char* unit = whole_seconds ? (amount == 1 ? " second" : " seconds")
                                     : (amount == 1 ? " millisecond" : " milliseconds");
    return route_failure(verb, peer, ": ",
                         "route.exe did not finish within " + std::to_string(amount) + unit);
}

} // namespace kestrune::routes
