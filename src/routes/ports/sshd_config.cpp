#include "routes/ports/sshd_config.h"

#include <algorithm>
#include <set>
#include <utility>

#include "child/command_line.h"
#include "routes/ports/ascii_case.h"
#include "routes/ports/glob_pattern.h"
#include "routes/ports/watched_ports.h"

namespace kestrune::routes {
namespace {

// sshd's own limit on nested Include directives.
constexpr int MAX_INCLUDE_DEPTH = 16;
// Ours, on what one reading takes in: within the depth limit, files that each include several
// others would be read exponentially often (three at each of 16 levels: 43 million reads), and
// the folder may hold files any user made. Far beyond any real configuration.
constexpr std::size_t MAX_INCLUDED_FILES = 256;
constexpr std::size_t MAX_INCLUDED_BYTES = 4 << 20;
// The token OpenSSH for Windows replaces with the ProgramData folder in configured paths.
constexpr std::string_view PROGRAMDATA_TOKEN = "__PROGRAMDATA__";

// Keywords are case-insensitive; arguments are not.
bool is_keyword(std::string_view text, std::string_view keyword) {
    return equal_ignoring_case(text, keyword);
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

bool has_wildcard(std::string_view text) {
    return text.find_first_of("*?[") != text.npos;
}

bool is_absolute(std::string_view path) {
    return path.starts_with('/') || path.starts_with('\\') ||
           (path.size() >= 2 && path[1] == ':' && ascii_lower(path[0]) >= 'a' &&
            ascii_lower(path[0]) <= 'z');
}

// Joined with the folder's own separator: backslashes on Windows, slashes in native tests.
std::string join(const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (!out.empty() && out.back() != '\\' && out.back() != '/') {
        out.push_back(folder.find('\\') != folder.npos ? '\\' : '/');
    }
    out.append(name);
    return out;
}

struct ConfigLine {
    std::string keyword;
    std::vector<std::string> args;
};

// "Keyword arguments", "Keyword=arguments" or "Keyword = arguments"; double quotes keep an
// argument's spaces; an empty line, or a '#' where a keyword or an argument would start, is a
// comment to the line's end.
Result<std::optional<ConfigLine>> split_line(std::string_view text) {
    std::size_t i = 0;
    const auto skip_blanks = [&] {
        while (i < text.size() && blank(text[i])) {
            ++i;
        }
    };
    skip_blanks();
    if (i == text.size() || text[i] == '#') {
        return std::optional<ConfigLine>();
    }
    ConfigLine line;
    while (i < text.size() && !blank(text[i]) && text[i] != '=') {
        line.keyword.push_back(text[i++]);
    }
    skip_blanks();
    if (i < text.size() && text[i] == '=') {
        ++i;
    }
    for (;;) {
        skip_blanks();
        if (i == text.size() || text[i] == '#') {
            return std::optional(std::move(line));
        }
        std::string& arg = line.args.emplace_back();
        if (text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == text.npos) {
                return fail("unterminated quote");
            }
            arg = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < text.size() && !blank(text[i])) {
                arg.push_back(text[i++]);
            }
        }
    }
}

// The port of a ListenAddress value, if it names one: "host:port", "host/port",
// "[host]:port"; a bare IPv6 address (two colons or more, no brackets) names none.
Result<std::optional<std::uint16_t>> listen_port(std::string_view address) {
    std::size_t delimiter = address.npos;
    if (address.starts_with('[')) {
        delimiter = address.find(']');
        if (delimiter == address.npos) {
            return fail("bad address " + std::string(address));
        }
        ++delimiter;
    } else {
        const std::size_t colon = address.find(':');
        if (colon != address.npos && address.find(':', colon + 1) != address.npos) {
            return std::optional<std::uint16_t>();
        }
        delimiter = address.find_first_of(":/");
    }
    if (delimiter >= address.size()) {
        return std::optional<std::uint16_t>();
    }
    const std::optional<std::uint16_t> port = address[delimiter] == ':' || address[delimiter] == '/'
                                                  ? port_from_text(address.substr(delimiter + 1))
                                                  : std::nullopt;
    if (!port) {
        return fail("bad address:port " + std::string(address));
    }
    return std::optional(port);
}

class SshdReader {
  public:
    SshdReader(const ConfigFiles& files, std::string programdata, bool ports_from_command_line)
        : files_(files), programdata_(std::move(programdata)),
          ports_from_command_line_(ports_from_command_line) {}

    std::vector<std::uint16_t> ports;                    // Port lines
    std::vector<std::optional<std::uint16_t>> listen_at; // ListenAddress lines, port if any

    std::string expand(std::string_view path) const {
        if (path.starts_with(PROGRAMDATA_TOKEN)) {
            return programdata_ + std::string(path.substr(PROGRAMDATA_TOKEN.size()));
        }
        return std::string(path);
    }

    std::string ssh_folder() const { return join(programdata_, "ssh"); }

    // A Match line ends the global section for the rest of its file only: sshd returns to the
    // including file's section after an Include.
    Status read_text(const std::string& name, std::string_view text, bool in_match, int depth) {
        if (depth > MAX_INCLUDE_DEPTH) {
            return fail(name + ": Include nested too deeply");
        }
        if (text.starts_with("\xEF\xBB\xBF")) {
            text.remove_prefix(3); // a byte order mark, as Notepad may write
        }
        for (std::size_t number = 1; !text.empty(); ++number) {
            const std::size_t end = std::min(text.find('\n'), text.size());
            const std::string where = name + " line " + std::to_string(number);
            const Result<std::optional<ConfigLine>> line = split_line(text.substr(0, end));
            text.remove_prefix(std::min(end + 1, text.size()));
            if (!line) {
                return fail(where + ": " + line.error());
            }
            if (!*line) {
                continue;
            }
            if (Status applied = apply(where, **line, in_match, depth); !applied) {
                return applied;
            }
        }
        return {};
    }

  private:
    Status apply(const std::string& where, const ConfigLine& line, bool& in_match, int depth) {
        const auto& [keyword, args] = line;
        if (is_keyword(keyword, "match")) {
            in_match = true;
            return {};
        }
        if (is_keyword(keyword, "include")) {
            if (args.empty()) {
                return fail(where + ": Include names no file");
            }
            for (const std::string& pattern : args) {
                if (Status included = include(where, pattern, in_match, depth); !included) {
                    return included;
                }
            }
            return {};
        }
        const bool port = is_keyword(keyword, "port");
        if (!port && !is_keyword(keyword, "listenaddress")) {
            return {};
        }
        // sshd refuses these in a Match block rather than ignoring them.
        if (in_match) {
            return fail(where + ": " + keyword + " is not allowed within a Match block");
        }
        if (args.empty()) {
            return fail(where + ": " + keyword + " without a value");
        }
        if (!port) {
            const Result<std::optional<std::uint16_t>> listen = listen_port(args[0]);
            if (!listen) {
                return fail(where + ": " + listen.error());
            }
            listen_at.push_back(*listen);
            return {};
        }
        if (ports_from_command_line_) {
            return {}; // -p wins over every Port line
        }
        const std::optional<std::uint16_t> number = port_from_text(args[0]);
        if (!number || args.size() > 1) {
            return fail(where + ": bad port number " + args[0]);
        }
        ports.push_back(*number);
        return {};
    }

    // Each file the pattern names, in lexical order. Wildcards are followed in the file name,
    // as FindFirstFileW would, not in the folders above it. A pattern that names nothing is no
    // error, to sshd either.
    Status include(const std::string& where, const std::string& pattern, bool in_match, int depth) {
        std::string path = expand(pattern);
        if (!is_absolute(path)) {
            path = join(ssh_folder(), path);
        }
        const std::size_t separator = path.find_last_of("\\/");
        const std::string folder = path.substr(0, separator);
        const std::string name = path.substr(separator + 1);
        if (has_wildcard(folder)) {
            return fail(where + ": Include " + pattern +
                        ": wildcards are followed in file names only");
        }
        std::vector<std::string> paths;
        if (!has_wildcard(name)) {
            paths.push_back(path);
        } else {
            const Result<std::vector<std::string>> names = files_.list(folder);
            if (!names) {
                return fail(where + ": Include " + pattern + ": " + names.error());
            }
            for (const std::string& found : *names) {
                if (glob_match(name, found)) {
                    paths.push_back(join(folder, found));
                }
            }
            std::ranges::sort(paths);
        }
        for (const std::string& file : paths) {
            if (++included_files_ > MAX_INCLUDED_FILES) {
                return fail(where + ": Include " + pattern + ": more than " +
                            std::to_string(MAX_INCLUDED_FILES) + " files included");
            }
            const Result<std::optional<std::string>> text = files_.read(file);
            if (!text) {
                return fail(text.error());
            }
            if (*text && (included_bytes_ += (*text)->size()) > MAX_INCLUDED_BYTES) {
                return fail(where + ": Include " + pattern + ": more than 4 MiB included");
            }
            if (*text) {
                if (Status read = read_text(file, **text, in_match, depth + 1); !read) {
                    return read;
                }
            }
        }
        return {};
    }

    const ConfigFiles& files_;
    std::string programdata_;
    bool ports_from_command_line_;
    std::size_t included_files_ = 0;
    std::size_t included_bytes_ = 0;
};

} // namespace

Result<SshdCommandLine> parse_sshd_command_line(std::string_view command_line) {
    // sshd's options that take a value; every other letter is a flag.
    constexpr std::string_view WITH_VALUE = "CEbcfghkopu";
    const std::vector<std::string> args = child::split_command_line(command_line);
    SshdCommandLine out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-' || arg == "--") {
            break;
        }
        for (std::size_t j = 1; j < arg.size(); ++j) {
            const char option = arg[j];
            if (WITH_VALUE.find(option) == WITH_VALUE.npos) {
                continue;
            }
            std::string value;
            if (j + 1 < arg.size()) {
                value = arg.substr(j + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return fail(std::string("sshd command line: -") + option + " without a value");
            }
            if (option == 'f') {
                out.config_file = value;
            } else if (option == 'o') {
                out.options.push_back(value);
            } else if (option == 'p') {
                const std::optional<std::uint16_t> port = port_from_text(value);
                if (!port) {
                    return fail("sshd command line: bad port number " + value);
                }
                out.ports.push_back(*port);
            }
            break;
        }
    }
    return out;
}

Result<std::vector<std::uint16_t>> sshd_ports(const SshdCommandLine& command_line,
                                              const std::string& programdata,
                                              const ConfigFiles& files) {
    SshdReader reader(files, programdata, !command_line.ports.empty());
    for (const std::string& option : command_line.options) {
        if (Status read = reader.read_text("sshd command line -o", option, false, 0); !read) {
            return fail(read.error());
        }
    }
    const std::string config = command_line.config_file ? reader.expand(*command_line.config_file)
                                                        : join(reader.ssh_folder(), "sshd_config");
    const Result<std::optional<std::string>> text = files.read(config);
    if (!text) {
        return fail(text.error());
    }
    if (*text) {
        if (Status read = reader.read_text(config, **text, false, 0); !read) {
            return fail(read.error());
        }
    }
    // A ListenAddress without a port listens on every Port; none at all means every address.
    std::vector<std::uint16_t> ports = command_line.ports;
    if (ports.empty()) {
        ports = reader.ports.empty() ? std::vector{DEFAULT_SSH_PORT} : reader.ports;
    }
    std::set<std::uint16_t> listening;
    if (reader.listen_at.empty()) {
        listening.insert(ports.begin(), ports.end());
    }
    for (const std::optional<std::uint16_t>& port : reader.listen_at) {
        if (port) {
            listening.insert(*port);
        } else {
            listening.insert(ports.begin(), ports.end());
        }
    }
    return std::vector<std::uint16_t>(listening.begin(), listening.end());
}

} // namespace kestrune::routes
