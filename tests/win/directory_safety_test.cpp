#include "win/directory_safety.h"

#include <gtest/gtest.h>

namespace kestrune::win {
namespace {

// The account the process runs as, and some other ordinary account.
constexpr const char* SELF = "S-1-5-21-1-2-3-1000";
constexpr const char* SOME_USER = "S-1-5-21-1004336348-1177238915-682003330-1001";
#define TI "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
#define PROTECTED "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
#define ALICE "S-1-5-21-1004336348-1177238915-682003330-1002"

constexpr Verdict S = Verdict::safe, W = Verdict::warn, R = Verdict::refuse;

struct Case {
    const char* name;
    std::string sddl;
    Verdict data, service, config; // sing-box.exe is judged like the service directory...
    bool link = false;
    std::uint32_t links = 1;
    std::optional<Verdict> exe = std::nullopt; // ...unless this says otherwise
};

TEST(DirectorySafety, Verdicts) {
    const Case cases[] = {
        {"new data directory", "O:SY" PROTECTED, S, S, S},
        {"owned by Administrators", "O:BA" PROTECTED, S, S, S},
        {"an older version's directory: Users may read", "O:SY" PROTECTED "(A;OICI;0x1200a9;;;BU)",
         S, S, W},
        {"default program-data inheritance: Users may add entries",
         "O:SYD:AI(A;ID;FA;;;SY)(A;OICIIOID;GA;;;CO)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"
         "(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)",
         R, R, R},
        {"owned by TrustedInstaller, which holds full control",
         "O:" TI PROTECTED "(A;CI;FA;;;" TI ")", S, S, S},
        {"Wine's synthetic descriptor: owned by this process's user, Everyone reads",
         std::string("O:") + SELF + "D:(A;;FA;;;SY)(A;;FA;;;" + SELF + ")(A;;0x1200a9;;;WD)", S, S,
         W},
        {"the same for another user", std::string("O:") + SOME_USER + PROTECTED, R, R, R},
        {"no owner", PROTECTED, R, R, R},
        {"SIDs are told apart exactly, not by prefix", "O:S-1-5-180" PROTECTED, R, R, R},
        {"null DACL", "O:SYD:NO_ACCESS_CONTROL", R, R, R},
        {"no DACL at all", "O:SY", R, R, R},
        {"empty DACL: nobody may do anything", "O:SYD:P", S, S, S},
        {"inherit-only CREATOR OWNER full control", "O:SY" PROTECTED "(A;OICIIO;GA;;;CO)", S, S, S},
        {"inherit-only modify for Users: what is created there",
         "O:SY" PROTECTED "(A;OICIIO;0x1301bf;;;BU)", R, R, S, false, 1, S},
        {"inherit-only, files only", "O:SY" PROTECTED "(A;OIIO;FA;;;BU)", R, R, S, false, 1, S},
        {"inherit-only, folders only", "O:SY" PROTECTED "(A;CIIO;FA;;;BU)", R, R, S, false, 1, S},
        {"inherit-only read for Users", "O:SY" PROTECTED "(A;OICIIO;FR;;;BU)", S, S, S},
        {"inherit-only CREATOR GROUP modify", "O:SY" PROTECTED "(A;OICIIO;0x1301bf;;;CG)", S, S, S},
        {"CREATOR OWNER by its SID", "O:SY" PROTECTED "(A;OICIIO;FA;;;S-1-3-0)", S, S, S},
        {"object-inherit modify for Users still applies to the entry",
         "O:SY" PROTECTED "(A;OI;0x1301bf;;;BU)", R, R, R},
        {"inherited modify for Everyone", "O:SY" PROTECTED "(A;ID;0x1301bf;;;WD)", R, R, R},
        {"deny ACE for Everyone is no grant", "O:SY" PROTECTED "(D;OICI;FA;;;WD)", S, S, S},
        {"an audit ACE is no grant", "O:SYD:P(AU;SA;FA;;;WD)", S, S, S},
        {"generic write for Users", "O:BA" PROTECTED "(A;;GW;;;BU)", R, R, R},
        {"generic all for a user", "O:BA" PROTECTED "(A;;GA;;;" + std::string(SOME_USER) + ")", R,
         R, R},
        {"generic read and execute for Users", "O:BA" PROTECTED "(A;;GRGX;;;BU)", S, S, W},
        {"an object ACE counts like a plain one",
         "O:SY" PROTECTED "(OA;;FA;bf967aba-0de6-11d0-a285-00aa003049e2;;WD)", R, R, R},
        {"a conditional ACE counts as if its condition held",
         "O:SY" PROTECTED "(XA;;FA;;;WD;(Member_of {SID(BA)} || (@User.x == \"a)b\")))", R, R, R},
        {"group and SACL are read past",
         "O:SYG:SY" PROTECTED "(A;;0x1200a9;;;BU)S:AI(AU;SA;FA;;;WD)", S, S, W},
        {"text that is not understood", "O:SYD:(A;;FA;;WD)", R, R, R},
        {"unknown right", "O:SYD:(A;;QQ;;;BU)", R, R, R},
        {"a link, whatever its DACL", "O:SY" PROTECTED, R, R, R, true},
        {"config.json with a second hard link", "O:SY" PROTECTED, S, S, R, false, 2},
        // A client edition: what an elevated administrator copies in is owned by their own
        // account, and the CREATOR OWNER entry that C:\Program Files hands down became a
        // full-control entry for that account; /setowner alone leaves that entry.
        {"copied under an inherited CREATOR OWNER entry",
         "O:" ALICE "D:AI(A;ID;FA;;;" ALICE ")(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", R,
         R, R},
        {"the same after /setowner alone",
         "O:BAD:AI(A;ID;FA;;;" ALICE ")(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", R, R, R},
        {"moved in from the administrator's profile",
         "O:" ALICE "D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;" ALICE ")", R, R, R},
        {"a folder made by hand under C:\\Program Files on a client edition",
         "O:" ALICE "D:AI(A;ID;FA;;;" ALICE ")(A;OICIIOID;GA;;;CO)(A;ID;FA;;;SY)"
         "(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
         "(A;OICIIOID;GXGR;;;BU)",
         R, R, R},
        {"the same folder after /setowner and its /inheritance:r /grant:r line",
         "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", S, S, W},
        // /reset after /setowner: what the folder hands down, CREATOR OWNER given to the owner
        // where the folder still has it.
        {"a file after /setowner and /reset in the package's folder",
         "O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", S, S, W},
        {"a file after /setowner and /reset under inherited CREATOR OWNER",
         "O:BAD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", S, S, W},
        {"config.json after the same in the data directory", "O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)",
         S, S, S},
    };
    for (const Case& c : cases) {
        const Entry entry{c.sddl, c.link, c.links};
        EXPECT_EQ(judge(Guarded::data_directory, entry, SELF), c.data) << c.name;
        EXPECT_EQ(judge(Guarded::service_directory, entry, SELF), c.service) << c.name;
        EXPECT_EQ(judge(Guarded::service_executable, entry, SELF), c.exe.value_or(c.service))
            << c.name;
        EXPECT_EQ(judge(Guarded::config_file, entry, SELF), c.config) << c.name;
    }
}

TEST(DirectorySafety, EachRightForAnUntrustedAccount) {
    struct Row {
        const char* name;
        const char* right;
        Verdict data, service, config;
    };
    const Row rows[] = {
        {"write data / add file", "0x2", R, R, R},
        {"append / add subdirectory", "0x4", R, R, R},
        {"delete child", "0x40", R, R, S},
        {"delete", "SD", R, R, R},
        {"write DAC", "WD", R, R, R},
        {"write owner", "WO", R, R, R},
        {"generic write", "GW", R, R, R},
        {"generic all", "GA", R, R, R},
        {"read data / list", "1", S, S, W},
        {"generic read", "GR", S, S, W},
        {"execute / traverse", "0x20", S, S, S},
        {"write extended attributes", "0x10", S, S, S},
        {"write attributes", "0x100", S, S, S},
        {"read control", "RC", S, S, S},
        {"synchronize", "0x100000", S, S, S},
    };
    for (const Row& row : rows) {
        const auto entry_for = [&](const std::string& sid) {
            return Entry{"O:SY" PROTECTED "(A;;" + std::string(row.right) + ";;;" + sid + ")"};
        };
        for (const char* untrusted : {"BU", "WD", SOME_USER}) {
            EXPECT_EQ(judge(Guarded::data_directory, entry_for(untrusted), SELF), row.data)
                << row.name;
            EXPECT_EQ(judge(Guarded::service_directory, entry_for(untrusted), SELF), row.service)
                << row.name;
            EXPECT_EQ(judge(Guarded::config_file, entry_for(untrusted), SELF), row.config)
                << row.name;
        }
        // The same right for a trusted account is fine.
        for (const char* trusted : {"SY", "BA", "S-1-5-18", TI, SELF}) {
            for (Guarded what :
                 {Guarded::data_directory, Guarded::service_directory, Guarded::config_file}) {
                EXPECT_EQ(judge(what, entry_for(trusted), SELF), S) << row.name << " " << trusted;
            }
        }
    }
    // The same rights handed down by inherit-only ACEs count on what the directories will hold:
    // files as config.json and sing-box.exe, folders as the directory itself.
    for (const Row& row : rows) {
        for (const char* flags : {"OIIO", "CIIO"}) {
            const Entry entry{"O:SY" PROTECTED "(A;" + std::string(flags) + ";" + row.right +
                              ";;;BU)"};
            const bool files = flags[0] == 'O';
            const Verdict data_expected = files ? (row.config == R ? R : S) : row.data;
            EXPECT_EQ(judge(Guarded::data_directory, entry, SELF), data_expected)
                << row.name << " " << flags;
            EXPECT_EQ(judge(Guarded::service_directory, entry, SELF), row.service)
                << row.name << " " << flags;
            EXPECT_EQ(judge(Guarded::config_file, entry, SELF), S) << row.name << " " << flags;
        }
    }
    // Without a readable token user nothing more is trusted, least of all an unreadable owner.
    EXPECT_EQ(judge(Guarded::data_directory, Entry{PROTECTED}, ""), R);
    EXPECT_FALSE(is_trusted_sid("", ""));
}

TEST(DirectorySafety, Lines) {
    const std::string path = "C:\\ProgramData\\KestruneConnect";
    const std::string changed = " can be changed by non-administrators: " + path;
    EXPECT_EQ(verdict_line(Guarded::data_directory, R, path),
              "refusing to start sing-box: data directory" + changed);
    EXPECT_EQ(verdict_line(Guarded::service_directory, R, path),
              "refusing to start sing-box: service directory" + changed);
    EXPECT_EQ(verdict_line(Guarded::service_executable, R, path),
              "refusing to start sing-box: sing-box.exe" + changed);
    EXPECT_EQ(verdict_line(Guarded::config_file, R, path),
              "refusing to start sing-box: config.json" + changed);
    EXPECT_EQ(verdict_line(Guarded::config_file, R, path, "(a link)"),
              "refusing to start sing-box: config.json" + changed + " (a link)");
    EXPECT_EQ(verdict_line(Guarded::config_file, W, path),
              "warning: config.json is readable by non-administrators: " + path);
    EXPECT_EQ(verdict_line(Guarded::config_file, S, path), std::nullopt);
    EXPECT_EQ(verdict_line(Guarded::service_executable, R, path, "(a link)", "del x"),
              "refusing to start sing-box: sing-box.exe" + changed +
                  " (a link); fix from an elevated prompt: del x");
}

// One command line per reason, for an elevated PowerShell or Command Prompt: what the README's
// table says too. Each command of it runs unchanged in both shells: no %VAR%, no "&&", no bare
// `sc` (PowerShell's Set-Content), every parenthesis inside double quotes, a path with spaces
// quoted.
TEST(DirectorySafety, Fixes) {
    using K = Finding::Kind;
    const std::string owner = " /setowner *S-1-5-32-544";
    const std::string folder = "icacls \"C:\\d\"" + owner +
                               " /T /C ; icacls \"C:\\d\" /inheritance:r /grant:r "
                               "\"*S-1-5-18:(OI)(CI)F\" \"*S-1-5-32-544:(OI)(CI)F\"";
    const std::string inside = " ; icacls \"C:\\d\\*\" /reset /T /C";
    const std::string file = "icacls \"C:\\f\"" + owner + " ; icacls \"C:\\f\" /reset";
    EXPECT_EQ(fix_command(Guarded::data_directory, {K::link, {}, {}}, "C:\\d"),
              "cmd /c rmdir \"C:\\d\"");
    EXPECT_EQ(fix_command(Guarded::config_file, {K::link, {}, {}}, "C:\\f"),
              "cmd /c del \"C:\\f\"");
    EXPECT_EQ(fix_command(Guarded::config_file, {K::second_hard_link, {}, {}}, "C:\\f"),
              "cmd /c copy /b \"C:\\f\" \"C:\\f.new\" ; cmd /c move /y \"C:\\f.new\" \"C:\\f\" ; " +
                  file);
    for (const K kind : {K::owner, K::unreadable, K::right}) {
        EXPECT_EQ(fix_command(Guarded::data_directory, {kind, "BU", {}}, "C:\\d"), folder + inside);
        EXPECT_EQ(fix_command(Guarded::service_directory, {kind, "BU", {}}, "C:\\d"),
                  folder + " \"*S-1-5-32-545:(OI)(CI)RX\"" + inside);
        EXPECT_EQ(fix_command(Guarded::service_executable, {kind, "BU", {}}, "C:\\f"), file);
        EXPECT_EQ(fix_command(Guarded::config_file, {kind, "BU", {}}, "C:\\f"), file);
    }
    EXPECT_EQ(fix_command(Guarded::config_file, {}, "C:\\f"), "");

    const std::string spaced = "C:\\Program Files\\Kestrune Connect";
    for (const Guarded what : {Guarded::data_directory, Guarded::service_directory,
                               Guarded::service_executable, Guarded::config_file}) {
        for (const K kind : {K::link, K::second_hard_link, K::owner, K::unreadable, K::right}) {
            const std::string fix = fix_command(what, {kind, "BU", {}}, spaced);
            bool quoted = false;
            std::string bare; // the text outside double quotes
            for (const char c : fix) {
                quoted = c == '"' ? !quoted : quoted;
                bare += quoted || c == '"' ? '_' : c;
            }
            EXPECT_FALSE(quoted) << fix;
            for (const char* banned : {"%", "&&", "(", ")", "Program Files", "sc "}) {
                EXPECT_EQ(bare.find(banned), std::string::npos) << banned << " in " << fix;
            }
            const bool several = fix.find(" ; ") != std::string::npos;
            const std::string line = *verdict_line(what, Verdict::refuse, spaced, "(x)", fix);
            const std::string lead = several ? "; fix from an elevated PowerShell, or in Command "
                                               "Prompt one command at a time: "
                                             : "; fix from an elevated prompt: ";
            EXPECT_TRUE(line.ends_with(lead + fix)) << line;
        }
    }
}

// Why: the first refused right of the first ACE that grants one, named for where it lands; the
// account through the caller's names.
TEST(DirectorySafety, Reasons) {
    const auto name = [](std::string_view sid) { return "<" + std::string(sid) + ">"; };
    const auto why = [&](Guarded what, const std::string& sddl, bool link = false,
                         std::uint32_t links = 1) {
        return reason_text(assess(what, Entry{sddl, link, links}, SELF).why, name);
    };
    using G = Guarded;
    EXPECT_EQ(why(G::data_directory, "O:SY" PROTECTED, true), "(a link)");
    EXPECT_EQ(why(G::config_file, "O:SY" PROTECTED, false, 2), "(second hard link)");
    EXPECT_EQ(why(G::config_file, "O:" + std::string(SOME_USER) + PROTECTED),
              "(owner <" + std::string(SOME_USER) + ">)");
    EXPECT_EQ(why(G::config_file, PROTECTED), "(owner unknown)");
    EXPECT_EQ(why(G::config_file, "O:SYD:(A;;FA;;WD)"), "(permissions unreadable)");
    EXPECT_EQ(why(G::data_directory, "O:SYD:NO_ACCESS_CONTROL"), "(<WD> may create files)");
    const struct {
        Guarded what;
        const char* ace;
        const char* reason;
    } rights[] = {
        {G::data_directory, "(A;CIID;0x116;;;BU)", "(<BU> may create files)"},
        {G::config_file, "(A;;0x1301bf;;;WD)", "(<WD> may write)"},
        {G::service_executable, "(A;;WD;;;BU)", "(<BU> may change permissions)"},
        {G::service_directory, "(A;CIIO;WO;;;BU)", "(<BU> may take ownership of new folders)"},
        {G::data_directory, "(A;OICIIO;GA;;;CO)(A;OIIO;SD;;;BU)", "(<BU> may delete new files)"},
        {G::config_file, "(A;;FR;;;BU)", "(<BU> may read)"}, // the warning's
    };
    for (const auto& row : rights) {
        EXPECT_EQ(why(row.what, "O:SY" PROTECTED + std::string(row.ace)), row.reason) << row.ace;
    }
}

// Only name surrogates are links; a tag that cannot be read is taken for one.
TEST(DirectorySafety, ReparseTags) {
    EXPECT_TRUE(reparse_tag_is_link(0xA000000Cu));  // IO_REPARSE_TAG_SYMLINK
    EXPECT_TRUE(reparse_tag_is_link(0xA0000003u));  // IO_REPARSE_TAG_MOUNT_POINT (junction)
    EXPECT_FALSE(reparse_tag_is_link(0x80000017u)); // IO_REPARSE_TAG_WOF (compact /exe)
    EXPECT_FALSE(reparse_tag_is_link(0x80000013u)); // IO_REPARSE_TAG_DEDUP
    EXPECT_FALSE(reparse_tag_is_link(0x9000001Au)); // IO_REPARSE_TAG_CLOUD_1
    EXPECT_TRUE(reparse_tag_is_link(std::nullopt));
}

} // namespace
} // namespace kestrune::win
