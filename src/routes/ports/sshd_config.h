#pragma once
// Where OpenSSH's server (the Windows service "sshd") listens, as its command line and its
// configuration files say, read the way sshd reads them (sshd(8), sshd_config(5)): the ports
// of the global section, wherever an Include leads. Files are reached through ConfigFiles, so
// the rules are tested on sample files; admin_ports.cpp binds the real ones.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win/result.h"

namespace kestrune::routes {

inline constexpr std::uint16_t DEFAULT_SSH_PORT = 22;

// What sshd's command line says of its ports.
struct SshdCommandLine {
    std::optional<std::string> config_file; // -f
    std::vector<std::uint16_t> ports;       // each -p; when any, the files' Port lines are unused
    std::vector<std::string> options;       // each -o: a configuration line read before the file
};

// The service's command line (its ImagePath), split as the C runtime splits it; options are
// read as sshd's getopt reads them, up to the first argument that is no option.
Result<SshdCommandLine> parse_sshd_command_line(std::string_view command_line);

struct ConfigFiles {
    // A file's text; nullopt when it does not exist; the error text when it cannot be read.
    std::function<Result<std::optional<std::string>>(const std::string& path)> read;
    // The names of the files in a folder (none when the folder does not exist).
    std::function<Result<std::vector<std::string>>(const std::string& folder)> list;
};

// The ports sshd listens on, ascending. `programdata` is the machine's ProgramData folder: the
// configuration is <programdata>\ssh\sshd_config unless -f names another, Include paths that
// are not absolute are taken from <programdata>\ssh, and __PROGRAMDATA__ stands for it.
// A missing main file gives the defaults (sshd writes a default one when it starts). Errors
// name the file and line, as sshd refuses a configuration with them.
Result<std::vector<std::uint16_t>> sshd_ports(const SshdCommandLine& command_line,
                                              const std::string& programdata,
                                              const ConfigFiles& files);
} // namespace kestrune::routes
