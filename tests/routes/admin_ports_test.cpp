#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "routes/ports/admin_port_watch.h"
#include "routes/ports/glob_pattern.h"
#include "routes/ports/listener_ports.h"
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

// A MIB_TCPTABLE_OWNER_PID (or its IPv6 form) of (process, port) rows, ports in network order.
std::vector<std::uint8_t> owner_table(const std::vector<ListeningSocket>& rows, bool ipv6) {
    const std::size_t size = ipv6 ? 56 : 24, port_at = ipv6 ? 20 : 8, pid_at = ipv6 ? 52 : 20;
    std::vector<std::uint8_t> table(4 + rows.size() * size, 0xEE);
    const auto put = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            table[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put(0, static_cast<std::uint32_t>(rows.size() + 1)); // one more than there is room for
    for (std::size_t i = 0; i < rows.size(); ++i) {
        put(4 + i * size + port_at, (rows[i].port & 0xFFu) << 8 | rows[i].port >> 8);
        put(4 + i * size + pid_at, rows[i].process_id);
    }
    return table;
}

// The ports a server's process really listens on, both families, across readings: rows of
// other processes and of process 0 (Wine's owner for all) never count, children only where the
// server's do, a stopped server keeps its ports until it runs with others or is uninstalled, and
// they are watched beside its configuration's.
TEST(ListenerPorts, FromRowsAndProcessesAcrossReadings) {
    const std::vector<ListeningSocket> v4 = {{40, 22}, {40, 2222}, {41, 3389}, {0, 5900}};
    const std::vector<ListeningSocket> v6 = {{40, 2222}, {55, 5901}};
    std::vector<ListeningSocket> rows = listening_sockets_in(owner_table(v4, false), false);
    const std::vector<ListeningSocket> rows6 = listening_sockets_in(owner_table(v6, true), true);
    ASSERT_EQ(rows.size(), 4u);
    ASSERT_EQ(rows6.size(), 2u);
    EXPECT_EQ(rows6[1].process_id, 55u);
    EXPECT_EQ(rows6[1].port, 5901);
    rows.insert(rows.end(), rows6.begin(), rows6.end());
    const std::vector<ProcessEntry> processes = {{55, 40}, {40, 40}, {41, 4}};
    EXPECT_EQ(listening_ports_of(40, rows), (Ports{22, 2222}));
    EXPECT_EQ(listening_ports_of(40, rows, &processes), (Ports{22, 2222, 5901}));
    EXPECT_EQ(listening_ports_of(0, rows, &processes), Ports{});
    EXPECT_TRUE(listening_sockets_in(std::vector<std::uint8_t>(3), false).empty());

    ListenerMemory memory;
    const struct {
        bool installed;
        std::optional<Ports> now;
        Ports watched;
    } readings[] = {{true, Ports{22, 2222}, {22, 2222}}, // running
                    {true, std::nullopt, {22, 2222}},    // stopped, or the rows cannot be read
                    {true, Ports{}, {22, 2222}},         // running, not listening yet
                    {true, Ports{2200}, {2200}},         // restarted with another port
                    {false, std::nullopt, {}},           // uninstalled
                    {true, std::nullopt, {}}};           // installed again, never run
    for (const auto& r : readings) {
        EXPECT_EQ(memory.observe(r.installed, r.now), r.watched);
    }

    AdminPortWatch watch;
    EXPECT_EQ(
        watch.take({{"sshd", Ports{2222}, {22, 2222}}}),
        (std::vector<std::string>{"RDP route protection also watching: 22 (sshd), 2222 (sshd)"}));
    // The configuration cannot be read: its ports stay, the listening ones follow.
    EXPECT_EQ(watch.take({{"sshd", fail("sshd_config line 3: bad port"), {22}}}),
              (std::vector<std::string>{"sshd port lookup failed: sshd_config line 3: bad port"}));
    EXPECT_EQ(watch.ports(), (Ports{22, 2222}));
}

} // namespace
} // namespace kestrune::routes
