// libFuzzer target for the reader of sshd's configuration, which the service runs as SYSTEM
// over files any user may have made (C:\ProgramData\ssh can exist before OpenSSH does).
//
// Input: parts separated by NUL bytes. The first is sshd's command line after the executable;
// the second the main sshd_config; every further one a file under ProgramData\ssh, its path on
// the first line and its text after it, for Include and its patterns to find.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "routes/ports/glob_pattern.h"
#include "routes/ports/sshd_config.h"

namespace {

using kestrune::Result;
using namespace kestrune::routes;

const std::string PROGRAMDATA = "C:\\ProgramData";

std::string normal(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = input.find('\0', start);
        parts.push_back(input.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    std::map<std::string, std::string> files;
    if (parts.size() > 1) {
        files[PROGRAMDATA + "\\ssh\\sshd_config"] = std::string(parts[1]);
    }
    for (std::size_t i = 2; i < parts.size(); ++i) {
        const std::size_t line = parts[i].find('\n');
        const std::string name(parts[i].substr(0, line));
        const std::string text(line == std::string_view::npos ? "" : parts[i].substr(line + 1));
        files[normal(PROGRAMDATA + "\\ssh\\" + name)] = text;
        // The patterns on their own, against every file name given.
        for (const auto& [path, unused] : files) {
            glob_match(name, path.substr(path.rfind('\\') + 1));
        }
    }
    const ConfigFiles config{
        [&](const std::string& path) -> Result<std::optional<std::string>> {
            const auto found = files.find(normal(path));
            if (found == files.end()) {
                return std::optional<std::string>();
            }
            return std::optional(found->second);
        },
        [&](const std::string& folder) -> Result<std::vector<std::string>> {
            std::vector<std::string> names;
            for (const auto& [path, unused] : files) {
                if (folder_of(path) == normal(folder)) {
                    names.push_back(path.substr(folder_of(path).size() + 1));
                }
            }
            return names;
        }};
    const Result<SshdCommandLine> command_line = parse_sshd_command_line(
        "C:\\Windows\\System32\\OpenSSH\\sshd.exe " + std::string(parts[0]));
    if (command_line) {
        (void)sshd_ports(*command_line, PROGRAMDATA, config);
    }
    return 0;
}
