#include "win/directory_security.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "win/wide.h"

namespace kestrune::win {
namespace {

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

// The DACL verdict with the owner's own ACEs left out: Wine always shows one for its user, the
// owner of every file it creates, which would hide what the rest of the DACL says.
bool others_besides_owner_may_write(const DirectorySecurity& security) {
    std::vector<Ace> rest;
    for (const Ace& ace : *security.dacl) {
        if (ace.sid != security.owner) {
            rest.push_back(ace);
        }
    }
    return dacl_lets_others_write(rest);
}

bool is_link(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine 8's CreateSymbolicLinkW does nothing and reports success, and it can delete no Unix
// symbolic link to a directory; but it shows such a link as a reparse point and can start a
// Unix program, so there links are made and removed with ln and rm. Wine cannot wait for a
// Unix process (the wait fails at once), so the result is polled for.
bool run_unix_on_paths(const wchar_t* command, const std::vector<std::wstring>& paths,
                       const std::function<bool()>& done) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring line = command;
    for (const std::wstring& path : paths) {
        char* name = unix_name(path.c_str());
        line += L" \"" + widen(name) + L"\"";
        HeapFree(GetProcessHeap(), 0, name);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    for (int waited = 0; waited < 30000 && !done(); waited += 10) {
        Sleep(10);
    }
    return done();
}

// A directory symbolic link at `link` to `target`.
bool make_directory_link(const std::wstring& link, const std::wstring& target) {
    if (running_under_wine()) {
        return run_unix_on_paths(L"Z:\\bin\\ln -s", {target, link}, [&] { return is_link(link); });
    }
    return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY |
                                   SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
           is_link(link);
}

void remove_link(const std::wstring& link) {
    if (running_under_wine()) {
        run_unix_on_paths(L"Z:\\bin\\rm", {link}, [&] {
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
        root_ = std::wstring(temp) + L"kestrune-sec-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
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

    const std::optional<DirectorySecurity> security = read_directory_security(dir);
    ASSERT_TRUE(security.has_value());
    ASSERT_TRUE(security->dacl.has_value());
    EXPECT_FALSE(others_besides_owner_may_write(*security)) << narrow_lossy(dacl_sddl(dir));
    if (running_under_wine()) {
        // Users' read access has no Unix counterpart (the mode gets no "other" bits), and the
        // owner is always the Wine user.
        for (const Ace& ace : *security->dacl) {
            EXPECT_NE(ace.sid, "S-1-1-0") << narrow_lossy(dacl_sddl(dir));
        }
        EXPECT_EQ(directory_writable_by_non_admins(dir), !is_trusted_sid(security->owner));
    } else {
        EXPECT_EQ(dacl_sddl(dir), PROTECTED_DIRECTORY_SDDL);
        EXPECT_EQ(directory_writable_by_non_admins(dir), false) << security->owner;
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
    EXPECT_EQ(directory_writable_by_non_admins(dir), true);
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

    const std::optional<DirectorySecurity> security = read_directory_security(dir);
    ASSERT_TRUE(security.has_value());
    ASSERT_TRUE(security->dacl.has_value());
    EXPECT_TRUE(others_besides_owner_may_write(*security)) << narrow_lossy(dacl_sddl(dir));
    EXPECT_EQ(directory_writable_by_non_admins(dir), true);
}

// A link in the directory's place is judged as a link, not by its target's security: whoever
// made it can point it elsewhere later. Creating the directory leaves it standing.
TEST_F(DirectorySecurityTest, LinkInPlaceOfTheDirectoryIsJudgedAsALink) {
    const std::wstring target = path(L"target");
    const std::wstring link = path(L"KestruneConnect");
    ASSERT_TRUE(create_protected_directory(target).ok());
    ASSERT_TRUE(make_directory_link(link, target));

    const std::optional<DirectorySecurity> security = read_directory_security(link);
    ASSERT_TRUE(security.has_value());
    EXPECT_TRUE(security->reparse_point);
    EXPECT_EQ(directory_writable_by_non_admins(link), true);
    EXPECT_FALSE(read_directory_security(target)->reparse_point);

    const std::wstring before = dacl_sddl(target);
    const Status again = create_protected_directory(link);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_TRUE(read_directory_security(link)->reparse_point);
    EXPECT_EQ(dacl_sddl(target), before);
}

TEST_F(DirectorySecurityTest, MissingDirectoryCannotBeChecked) {
    EXPECT_FALSE(read_directory_security(path(L"not-there")).has_value());
    EXPECT_EQ(directory_writable_by_non_admins(path(L"not-there")), std::nullopt);
}

TEST_F(DirectorySecurityTest, WarningsNameTheDirectoriesDataFirst) {
    // A non-ASCII name checks that the path reaches the log line as UTF-8.
    const std::wstring data = path(L"Donn\u00e9es");
    const std::wstring service = path(L"service");
    ASSERT_TRUE(CreateDirectoryW(data.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(service.c_str(), nullptr));
    set_dacl(data, WEAK_SDDL);
    set_dacl(service, WEAK_SDDL);

    const std::string data_line =
        "warning: data directory is writable by non-administrators: " + narrow_lossy(data);
    const std::string service_line =
        "warning: service directory is writable by non-administrators: " + narrow_lossy(service);
    EXPECT_NE(data_line.find("Donn\xc3\xa9"
                             "es"),
              std::string::npos);
    EXPECT_EQ(directory_warnings(data, service),
              (std::vector<std::string>{data_line, service_line}));
    // A data directory that does not exist yet is skipped silently.
    EXPECT_EQ(directory_warnings(path(L"not-there"), service),
              (std::vector<std::string>{service_line}));
}

} // namespace
} // namespace kestrune::win
