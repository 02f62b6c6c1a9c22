#include "win/directory_safety.h"

#include <gtest/gtest.h>

namespace kestrune::win {
namespace {

constexpr const char* SY = "S-1-5-18";
constexpr const char* BA = "S-1-5-32-544";
constexpr const char* BU = "S-1-5-32-545";
constexpr const char* TI = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const char* EVERYONE = "S-1-1-0";
constexpr const char* CREATOR_OWNER = "S-1-3-0";
constexpr const char* SOME_USER = "S-1-5-21-1004336348-1177238915-682003330-1001";

constexpr std::uint8_t OICI = OBJECT_INHERIT_FLAG | CONTAINER_INHERIT_FLAG;
constexpr std::uint8_t CI = CONTAINER_INHERIT_FLAG;
constexpr std::uint8_t IO = INHERIT_ONLY_FLAG;
constexpr std::uint8_t ID = INHERITED_FLAG;
constexpr std::uint32_t FULL = 0x001F01FF;         // FILE_ALL_ACCESS
constexpr std::uint32_t READ_EXECUTE = 0x001200A9; // Users on the protected directory
constexpr std::uint32_t MODIFY = 0x001301BF;
constexpr std::uint32_t GENERIC_ALL_RIGHT = 0x10000000;
constexpr std::uint32_t GENERIC_WRITE_RIGHT = 0x40000000;
constexpr std::uint32_t GENERIC_READ_EXECUTE = 0x80000000 | 0x20000000;

Ace allow(const char* sid, std::uint8_t flags, std::uint32_t mask) {
    return Ace{AceKind::allow, flags, mask, sid};
}
Ace deny(const char* sid, std::uint8_t flags, std::uint32_t mask) {
    return Ace{AceKind::deny, flags, mask, sid};
}

std::vector<Ace> protected_dacl() {
    return {allow(SY, OICI, FULL), allow(BA, OICI, FULL), allow(BU, OICI, READ_EXECUTE)};
}

// A directory made with default security under C:\ProgramData by the service: what it
// inherits there, CREATOR OWNER turned into the creator (SYSTEM) plus its inherit-only form.
std::vector<Ace> program_data_inheritance() {
    return {allow(SY, ID, FULL),
            allow(CREATOR_OWNER, OICI | IO | ID, GENERIC_ALL_RIGHT),
            allow(SY, OICI | ID, FULL),
            allow(BA, OICI | ID, FULL),
            allow(BU, OICI | ID, READ_EXECUTE),
            allow(BU, CI | ID, 0x00000116)}; // WD, AD, WEA, WA: users may add files
}

std::vector<Ace> with(std::vector<Ace> aces, Ace extra) {
    aces.push_back(std::move(extra));
    return aces;
}

struct Case {
    const char* name;
    DirectorySecurity security;
    bool unsafe;
};

TEST(DirectorySafety, Verdicts) {
    const Case cases[] = {
        {"default program-data inheritance", {SY, program_data_inheritance()}, true},
        {"protected DACL owned by Administrators", {BA, protected_dacl()}, false},
        {"protected DACL owned by SYSTEM", {SY, protected_dacl()}, false},
        {"owned by TrustedInstaller, which also holds full control",
         {TI, with(protected_dacl(), allow(TI, CI, FULL))},
         false},
        {"owned by an ordinary user", {SOME_USER, protected_dacl()}, true},
        {"owner that could not be read", {"", protected_dacl()}, true},
        {"null DACL", {SY, std::nullopt}, true},
        {"empty DACL: nobody may do anything", {SY, std::vector<Ace>{}}, false},
        {"inherit-only CREATOR OWNER full control",
         {SY, with(protected_dacl(), allow(CREATOR_OWNER, OICI | IO, GENERIC_ALL_RIGHT))},
         false},
        {"inherit-only write for Users",
         {SY, with(protected_dacl(), allow(BU, OICI | IO, MODIFY))},
         false},
        {"object-inherit write for Users still applies to the directory",
         {SY, with(protected_dacl(), allow(BU, OBJECT_INHERIT_FLAG, MODIFY))},
         true},
        {"inherited write for Everyone",
         {SY, with(protected_dacl(), allow(EVERYONE, ID, MODIFY))},
         true},
        {"deny ACE for Everyone is no grant",
         {SY, with(protected_dacl(), deny(EVERYONE, OICI, FULL))},
         false},
        {"an ACE of another kind is no grant",
         {SY, with(protected_dacl(), Ace{AceKind::other, 0, FULL, EVERYONE})},
         false},
        {"generic write for Users",
         {BA, with(protected_dacl(), allow(BU, 0, GENERIC_WRITE_RIGHT))},
         true},
        {"generic all for a user",
         {BA, with(protected_dacl(), allow(SOME_USER, 0, GENERIC_ALL_RIGHT))},
         true},
        {"generic read and execute for Users",
         {BA, with(protected_dacl(), allow(BU, 0, GENERIC_READ_EXECUTE))},
         false},
        {"SIDs are told apart exactly, not by prefix", {"S-1-5-180", protected_dacl()}, true},
        {"a link with a protected DACL owned by SYSTEM", {SY, protected_dacl(), true}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(writable_by_non_admins(c.security), c.unsafe) << c.name;
    }
}

TEST(DirectorySafety, EachDangerousRightAloneMakesTheDirectoryUnsafe) {
    const std::pair<const char*, std::uint32_t> rights[] = {
        {"write data / add file", 0x00000002},
        {"append / add subdirectory", 0x00000004},
        {"delete child", 0x00000040},
        {"delete", 0x00010000},
        {"write DAC", 0x00040000},
        {"write owner", 0x00080000},
        {"generic write", GENERIC_WRITE_RIGHT},
        {"generic all", GENERIC_ALL_RIGHT},
    };
    for (const auto& [name, mask] : rights) {
        EXPECT_TRUE(writable_by_non_admins({SY, with(protected_dacl(), allow(BU, 0, mask))}))
            << name;
        // The same right for a trusted SID is fine.
        EXPECT_FALSE(writable_by_non_admins({SY, with(protected_dacl(), allow(BA, 0, mask))}))
            << name;
    }
}

TEST(DirectorySafety, HarmlessRightsForUsersAreSafe) {
    const std::pair<const char*, std::uint32_t> rights[] = {
        {"read and execute", READ_EXECUTE}, {"write extended attributes", 0x00000010},
        {"write attributes", 0x00000100},   {"read control", 0x00020000},
        {"synchronize", 0x00100000},        {"generic read and execute", GENERIC_READ_EXECUTE},
    };
    for (const auto& [name, mask] : rights) {
        EXPECT_FALSE(writable_by_non_admins({SY, with(protected_dacl(), allow(BU, 0, mask))}))
            << name;
    }
}

TEST(DirectorySafety, WarningLines) {
    const std::string data = "C:\\ProgramData\\KestruneConnect";
    const std::string service = "C:\\Tools\\Kestrune";
    const std::string data_line =
        "warning: data directory is writable by non-administrators: " + data;
    const std::string service_line =
        "warning: service directory is writable by non-administrators: " + service;
    struct Row {
        std::optional<bool> data_unsafe;
        std::optional<bool> service_unsafe;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {true, true, {data_line, service_line}}, {true, false, {data_line}},
        {false, true, {service_line}},           {std::nullopt, true, {service_line}},
        {true, std::nullopt, {data_line}},       {false, false, {}},
        {std::nullopt, std::nullopt, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(compose_directory_warnings(row.data_unsafe, data, row.service_unsafe, service),
                  row.lines);
    }
}

} // namespace
} // namespace kestrune::win
