#include "win/directory_security.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "win/wide.h"
#include "win_support.h"

namespace kestrune::win {
namespace {

std::optional<Verdict> verdict_at(Guarded what, const std::wstring& path) {
    const std::optional<Judgement> judgement = judge_path(what, path);
    return judgement ? std::optional<Verdict>(judgement->verdict) : std::nullopt;
}

// Wine keeps no security descriptors for files: it turns a DACL into Unix mode bits when it
// creates or re-permissions a file and makes one up from the mode bits when asked, with the
// Wine user as the owner. Where Windows and Wine must differ, the tests say so.
bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring dacl_sddl(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    wchar_t* text = nullptr;
    std::wstring result = L"<unconvertible>";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

// Replaces the DACL the way an administrator (or an installer) would with icacls.
void set_dacl(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    const DWORD result =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    ASSERT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
}

bool is_link(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A directory symbolic link at `link` to `target`.
bool make_directory_link(const std::wstring& link, const std::wstring& target) {
    if (running_under_wine()) {
        return test::run_unix_on_paths(L"Z:\\bin\\ln -s", {target, link},
                                       [&] { return is_link(link); });
    }
    return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY |
                                   SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
           is_link(link);
}

void remove_link(const std::wstring& link) {
    if (running_under_wine()) {
        test::run_unix_on_paths(L"Z:\\bin\\rm", {link}, [&] {
            return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
        });
    } else if (!RemoveDirectoryW(link.c_str())) {
        DeleteFileW(link.c_str());
    }
}

// Everyone may change the directory: a DACL that Wine can show, since it maps only Everyone to
// the Unix "other" bits.
constexpr const wchar_t* WEAK_SDDL = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;WD)";

class DirectorySecurityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
        // Wine reuses process ids, so the id alone would meet a crashed run's leftovers.
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        root_ = std::wstring(temp) + L"kestrune-sec-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(now.QuadPart) + L"-" +
                widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr)) << GetLastError();
    }
    void TearDown() override {
        // Depth is at most two here; a plain walk is enough.
        remove_tree(root_);
    }
    static void remove_tree(const std::wstring& path) {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                const std::wstring child = path + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    remove_link(child); // the link goes, not what it points to
                } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    remove_tree(child);
                } else {
                    DeleteFileW(child.c_str());
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(path.c_str());
    }
    std::wstring path(const wchar_t* name) const { return root_ + L"\\" + name; }

    std::wstring root_;
};

TEST_F(DirectorySecurityTest, NewDirectoryGetsTheProtectedDacl) {
    const std::wstring dir = path(L"KestruneConnect");
    const Status created = create_protected_directory(dir);
    ASSERT_TRUE(created.ok()) << created.error();

    // Nobody but the trusted accounts holds any right on it: not even a service directory's
    // strict rules find a fault, and config.json inside would not be readable by others.
    EXPECT_EQ(verdict_at(Guarded::service_directory, dir), Verdict::safe) << read_entry(dir)->sddl;
    if (running_under_wine()) {
        // The owner is always the Wine user (this process's own, hence trusted); what is not
        // granted to Everyone leaves no "other" mode bits.
        EXPECT_EQ(read_entry(dir)->sddl.find(";;;WD)"), std::string::npos) << read_entry(dir)->sddl;
    } else {
        EXPECT_EQ(dacl_sddl(dir), PROTECTED_DIRECTORY_SDDL);
    }

    // The service must still be able to keep its log in there.
    const std::wstring log = dir + L"\\sing-box-service.log";
    const HANDLE file =
        CreateFileW(log.c_str(), FILE_APPEND_DATA, 7, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "line\n", 5, &written, nullptr));
    CloseHandle(file);
}

TEST_F(DirectorySecurityTest, ExistingDirectoryIsLeftAsItIs) {
    const std::wstring dir = path(L"KestruneConnect");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    set_dacl(dir, WEAK_SDDL);
    const std::wstring before = dacl_sddl(dir);

    const Status again = create_protected_directory(dir);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(dacl_sddl(dir), before);
    EXPECT_EQ(verdict_at(Guarded::data_directory, dir), Verdict::refuse) << read_entry(dir)->sddl;
}

TEST_F(DirectorySecurityTest, CreationFailuresAreOsErrors) {
    const Status no_parent = create_protected_directory(path(L"missing\\KestruneConnect"));
    ASSERT_FALSE(no_parent.ok());
    EXPECT_TRUE(no_parent.error().ends_with(" (os error 3)")) << no_parent.error();

    const std::wstring file_path = path(L"KestruneConnect");
    const HANDLE file =
        CreateFileW(file_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    const Status file_in_the_way = create_protected_directory(file_path);
    ASSERT_FALSE(file_in_the_way.ok());
    EXPECT_TRUE(file_in_the_way.error().ends_with(" (os error 183)")) << file_in_the_way.error();
}

TEST_F(DirectorySecurityTest, WeakDaclIsSeenInTheAcesNotOnlyTheOwner) {
    const std::wstring dir = path(L"weak");
    ASSERT_TRUE(create_protected_directory(dir).ok());
    set_dacl(dir, WEAK_SDDL);

    const Result<Entry, OsError> entry = read_entry(dir);
    ASSERT_TRUE(entry.ok());
    const std::optional<OwnerAndDacl> security = parse_owner_and_dacl(entry->sddl);
    ASSERT_TRUE(security.has_value()) << entry->sddl;
    EXPECT_TRUE(is_trusted_sid(security->owner, process_user())) << entry->sddl;
    EXPECT_EQ(verdict_at(Guarded::data_directory, dir), Verdict::refuse) << entry->sddl;
    // The reason names the account as LookupAccountSidW does, or by its SID.
    EXPECT_EQ(account_name("BU"), "BUILTIN\\Users");
    EXPECT_EQ(account_name("WD"), "Everyone");
    EXPECT_EQ(account_name("S-1-5-21-1-2-3-4242"), "S-1-5-21-1-2-3-4242");
}

// A link in the directory's place is judged as a link, not by its target's security: whoever
// made it can point it elsewhere later. Creating the directory leaves it standing.
TEST_F(DirectorySecurityTest, LinkInPlaceOfTheDirectoryIsJudgedAsALink) {
    const std::wstring target = path(L"target");
    const std::wstring link = path(L"KestruneConnect");
    ASSERT_TRUE(create_protected_directory(target).ok());
    ASSERT_TRUE(make_directory_link(link, target));

    ASSERT_TRUE(read_entry(link).ok());
    EXPECT_TRUE(read_entry(link)->reparse_point);
    const std::optional<Judgement> judged = judge_path(Guarded::data_directory, link);
    ASSERT_TRUE(judged.has_value());
    EXPECT_EQ(judged->verdict, Verdict::refuse);
    EXPECT_EQ(judged->why.kind, Finding::Kind::link);
    EXPECT_FALSE(read_entry(target)->reparse_point);

    const std::wstring before = dacl_sddl(target);
    const Status again = create_protected_directory(link);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_TRUE(read_entry(link)->reparse_point);
    EXPECT_EQ(dacl_sddl(target), before);
}

TEST_F(DirectorySecurityTest, MissingEntryIsNoVerdict) {
    EXPECT_EQ(read_entry(path(L"not-there")).error().code,
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(verdict_at(Guarded::data_directory, path(L"not-there")), std::nullopt);
    EXPECT_EQ(verdict_at(Guarded::config_file, path(L"missing\\config.json")), std::nullopt);
}

// config.json is judged through a handle on the entry itself, its contents never read; a
// non-ASCII name checks the path's way through.
TEST_F(DirectorySecurityTest, ConfigFileLinksAreRefused) {
    const std::wstring config = path(L"Donn\u00e9es.json");
    const HANDLE file =
        CreateFileW(config.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    // Wine gives Everyone read on every file; an administrator's file on Windows keeps the
    // temp directory's inheritance, which no ordinary user reaches.
    EXPECT_EQ(verdict_at(Guarded::config_file, config),
              running_under_wine() ? Verdict::warn : Verdict::safe)
        << read_entry(config)->sddl;

    const std::wstring second = path(L"second-name.json");
    ASSERT_TRUE(CreateHardLinkW(second.c_str(), config.c_str(), nullptr)) << GetLastError();
    EXPECT_EQ(read_entry(config)->link_count, 2u);
    EXPECT_EQ(verdict_at(Guarded::config_file, config), Verdict::refuse);
    ASSERT_TRUE(DeleteFileW(second.c_str()));

    // ln's command line reaches it in the locale's charset, so the link points to a plain name.
    const std::wstring target = path(L"target.json");
    ASSERT_TRUE(MoveFileW(config.c_str(), target.c_str()));
    const std::wstring link = path(L"config.json");
    if (running_under_wine()) {
        // Wine shows a link to a file as a plain file: only the handle's final path tells.
        ASSERT_TRUE(test::run_unix_on_paths(L"Z:\\bin\\ln -s", {target, link}, [&] {
            return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
        }));
    } else {
        ASSERT_TRUE(CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE));
    }
    EXPECT_EQ(verdict_at(Guarded::config_file, link), Verdict::refuse);
    ASSERT_TRUE(DeleteFileW(target.c_str()));
    // Dangling now: on Windows still a link, never "missing". Wine 8 shows nothing at all
    // there (every look follows the link), so sing-box would just not find its configuration.
    if (!running_under_wine()) {
        EXPECT_EQ(verdict_at(Guarded::config_file, link), Verdict::refuse);
    }
}

} // namespace
} // namespace kestrune::win
