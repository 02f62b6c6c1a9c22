#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "routes/ports/glob_pattern.h"
#include "routes/ports/sshd_config.h"
#include "routes/ports/winrm_listener.h"

namespace kestrune::routes {
namespace {

namespace fs = std::filesystem;
using Ports = std::vector<std::uint16_t>;

ConfigFiles real_files() {
    return {[](const std::string& path) -> Result<std::optional<std::string>> {
                std::ifstream in(path, std::ios::binary);
                if (!in) {
                    return std::optional<std::string>();
                }
                return std::optional(std::string(std::istreambuf_iterator<char>(in), {}));
            },
            [](const std::string& folder) -> Result<std::vector<std::string>> {
                std::vector<std::string> names;
                std::error_code error;
                for (const auto& entry : fs::directory_iterator(folder, error)) {
                    names.push_back(entry.path().filename().string());
                }
                return names;
            }};
}

const std::string DEFAULT_WINDOWS_CONFIG = R"(#Port 22
#AddressFamily any
#ListenAddress 0.0.0.0
AuthorizedKeysFile	.ssh/authorized_keys
Subsystem	sftp	sftp-server.exe
Match Group administrators
       AuthorizedKeysFile __PROGRAMDATA__/ssh/administrators_authorized_keys
)";

TEST(SshdPorts, FromSampleFilesAsSshdReadsThem) {
    const struct {
        const char* what;
        std::map<std::string, std::string> files; // under ProgramData
        std::string command_line;                 // after sshd.exe
        Ports ports;
        std::string error = {}; // the end of the error instead
    } cases[] = {
        {"no file: sshd writes its default one", {}, "", {22}},
        {"the shipped file", {{"ssh/sshd_config", DEFAULT_WINDOWS_CONFIG}}, "", {22}},
        {"keywords in any case, '=', quotes, comments, CRLF and a byte order mark",
         {{"ssh/sshd_config",
           "\xEF\xBB\xBFport 2222\r\nPORT=2200 # old\n  Port = \"2201\"\n# Port 1\n\n"}},
         "",
         {2200, 2201, 2222}},
        {"ListenAddress without a port listens on every Port",
         {{"ssh/sshd_config", "Port 2222\nListenAddress 0.0.0.0\nListenAddress [::1]:2300\n"
                              "ListenAddress 10.0.0.1:2301\nListenAddress fe80::1\n"}},
         "",
         {2222, 2300, 2301}},
        {"every ListenAddress with a port: Port unused",
         {{"ssh/sshd_config",
           "Port 2222\nListenAddress 10.0.0.1/2301\nListenAddress [::]:2302 rdomain x\n"}},
         "",
         {2301, 2302}},
        {"Include: relative, globbed in lexical order, a Match ending with its file",
         {{"ssh/sshd_config", "Include sshd_config.d/*.conf\nPort 2222\n" + DEFAULT_WINDOWS_CONFIG},
          {"ssh/sshd_config.d/20-b.CONF", "Port 2401\n"},
          {"ssh/sshd_config.d/10-a.conf", "Port 2400\nMatch User y\n  Banner none\n"},
          {"ssh/sshd_config.d/.hidden.conf", "Port 1\n"},
          {"ssh/sshd_config.d/notes.txt", "Port 2\n"}},
         "",
         {2222, 2400, 2401}},
        {"Include of __PROGRAMDATA__, of nothing, of a missing file",
         {{"ssh/sshd_config", "Include __PROGRAMDATA__/extra nothing/*.conf\nInclude gone.conf"},
          {"extra", "Port 2500"}},
         "",
         {2500}},
        {"-p over Port lines, ListenAddress ports over -p",
         {{"ssh/sshd_config", "Port 2222\nListenAddress [::]:2700\nListenAddress 0.0.0.0\n"}},
         " -D -p 2600 -dp2601",
         {2600, 2601, 2700}},
        {"-f and -o",
         {{"other config", "Port 2801"}},
         " -f \"__PROGRAMDATA__/other config\" -o \"Port 2800\"",
         {2800, 2801}},
        {"options end at the first argument that is none", {}, " x -p 2900", {22}},
        {"Port in a Match block",
         {{"ssh/sshd_config", "Match all\nPort 2"}},
         "",
         {},
         "sshd_config line 2: Port is not allowed within a Match block"},
        {"Port in a file included in a Match block",
         {{"ssh/sshd_config", "Match User z\nInclude x"}, {"ssh/x", "ListenAddress :22"}},
         "",
         {},
         "x line 1: ListenAddress is not allowed within a Match block"},
        {"an Include loop",
         {{"ssh/sshd_config", "Include sshd_config"}},
         "",
         {},
         "sshd_config: Include nested too deeply"},
        {"wildcards in a folder",
         {{"ssh/sshd_config", "Include */x"}},
         "",
         {},
         "sshd_config line 1: Include */x: wildcards are followed in file names only"},
        {"no port number",
         {{"ssh/sshd_config", "\nPort 70000"}},
         "",
         {},
         "sshd_config line 2: bad port number 70000"},
        {"bad ListenAddress",
         {{"ssh/sshd_config", "ListenAddress [::1]2"}},
         "",
         {},
         "sshd_config line 1: bad address:port [::1]2"},
        {"unterminated quote",
         {{"ssh/sshd_config", "Port \"22"}},
         "",
         {},
         "sshd_config line 1: unterminated quote"},
        {"bad -p", {}, " -p ssh", {}, "sshd command line: bad port number ssh"},
        {"-p without its value", {}, " -p", {}, "sshd command line: -p without a value"},
    };
    for (const auto& c : cases) {
        const fs::path programdata = fs::path(::testing::TempDir()) / "sshd_ports_test";
        fs::remove_all(programdata);
        for (const auto& [name, text] : c.files) {
            fs::create_directories((programdata / name).parent_path());
            std::ofstream(programdata / name, std::ios::binary) << text;
        }
        const Result<SshdCommandLine> command_line =
            parse_sshd_command_line("C:\\Windows\\System32\\OpenSSH\\sshd.exe" + c.command_line);
        const Result<Ports> ports =
            command_line ? sshd_ports(*command_line, programdata.string(), real_files())
                         : Result<Ports>(fail(command_line.error()));
        if (c.error.empty()) {
            EXPECT_TRUE(ports && *ports == c.ports)
                << c.what << ": " << (ports ? "" : ports.error());
        } else {
            EXPECT_TRUE(!ports && ports.error().ends_with(c.error))
                << c.what << ": " << (ports ? "no error" : ports.error());
        }
    }
}

TEST(SshdPorts, GlobsMatchAsGlob7SaysWithoutCase) {
    EXPECT_TRUE(glob_match("a?[0-9][!x]*.CONF", "Ab7y.conf"));
    EXPECT_FALSE(glob_match("a?[0-9][!x]*.conf", "ab7x.conf"));
    EXPECT_TRUE(glob_match("[x", "[x")); // never closed: an ordinary '['
    EXPECT_FALSE(glob_match("*", ".hidden"));
    EXPECT_TRUE(glob_match(".*", ".hidden"));
}

TEST(WinrmListenerPort, TransportDefaultsUnlessAPortIsConfigured) {
    constexpr std::uint32_t NONE = 0, REG_SZ = 1, REG_DWORD = 4;
    const struct {
        const char* key;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
        std::optional<std::uint16_t> port;
    } cases[] = {{"*+HTTP", NONE, {}, 5985},
                 {"*+HTTPS", NONE, {}, 5986},
                 {"IP:10.0.0.1+https", REG_DWORD, {0x5C, 0x11, 0, 0}, 4444},
                 {"*+HTTP", REG_SZ, {'8', 0, '0', 0, 0, 0}, 80},
                 {"*+HTTP", REG_DWORD, {0, 0, 1, 0}, 5985},
                 {"*+HTTP", REG_SZ, {'x', 0, 0, 0}, 5985},
                 {"*+FTP", NONE, {}, std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(winrm_listener_port(c.key, c.type, c.data), c.port) << c.key;
    }
}

} // namespace
} // namespace kestrune::routes
