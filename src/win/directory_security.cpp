#include "win/directory_security.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "win/os_error.h"
#include "win/unique_handle.h"
#include "win/wide.h"

namespace kestrune::win {
namespace {

// LocalAlloc'ed buffers handed out by the security API.
struct LocalDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};
template <class T> using LocalPtr = std::unique_ptr<T, LocalDeleter>;

// Owner and DACL of a descriptor as SDDL; empty when it cannot be converted.
std::optional<std::string> owner_and_dacl_text(PSECURITY_DESCRIPTOR descriptor,
                                               SECURITY_INFORMATION parts) {
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts,
                                                              &text, nullptr)) {
        return std::nullopt;
    }
    const LocalPtr<wchar_t> owned(text);
    return narrow_lossy(text);
}

// Whether the entry at `path` itself is a link, read from its directory entry: the reparse tag
// FindFirstFileW reports (dwReserved0) when the attributes show a reparse point. Wine 8 shows a
// Unix symbolic link this way only; the find data then carries no tag, which counts as a link.
bool link_by_path(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return true;
    }
    FindClose(search);
    const bool tagged =
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && found.dwReserved0 != 0;
    return reparse_tag_is_link(tagged ? std::optional<std::uint32_t>(found.dwReserved0)
                                      : std::nullopt);
}

// A reparse point opened as itself: a link only when its tag is a name surrogate.
bool link_by_handle(HANDLE handle, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool read =
        GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return reparse_tag_is_link(read ? std::optional<std::uint32_t>(tag.ReparseTag) : std::nullopt);
}

std::optional<std::wstring> final_path(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0) {
            return std::nullopt;
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
}

// Whether the handle opened for `path` names another entry than `path` does: Wine 8 follows a
// Unix symbolic link to a file even with FILE_FLAG_OPEN_REPARSE_POINT and shows no reparse
// point for it anywhere, but the handle's final path is the target's. The parent is resolved
// the same way, so short names and links higher up the path count alike on both sides.
bool opened_elsewhere(const std::wstring& given, HANDLE handle) {
    // A short name ("KESTRU~1", from an 8.3 binPath) is not a link: compare long names. The
    // lookup reads directory entries, so a link keeps its own name.
    std::wstring path(given.size() + MAX_PATH, L'\0');
    const DWORD length =
        GetLongPathNameW(given.c_str(), path.data(), static_cast<DWORD>(path.size()));
    path.resize(length > 0 && length < path.size() ? length : 0);
    if (path.empty()) {
        path = given;
    }
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos || separator + 1 == path.size()) {
        return false;
    }
    const UniqueHandle parent(
        CreateFileW(path.substr(0, separator + 1).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::optional<std::wstring> entry_final = final_path(handle);
    std::optional<std::wstring> expected = parent ? final_path(parent.get()) : std::nullopt;
    if (!entry_final || !expected) {
        return false;
    }
    if (!expected->ends_with(L'\\')) {
        *expected += L'\\';
    }
    *expected += path.substr(separator + 1);
    return CompareStringOrdinal(entry_final->c_str(), static_cast<int>(entry_final->size()),
                                expected->c_str(), static_cast<int>(expected->size()),
                                TRUE) != CSTR_EQUAL;
}

} // namespace

Status create_protected_directory(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            PROTECTED_DIRECTORY_SDDL, SDDL_REVISION_1, &descriptor, nullptr)) {
        return fail(os_error_text(last_os_error()));
    }
    const LocalPtr<void> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    if (CreateDirectoryW(path.c_str(), &attributes)) {
        return {};
    }
    const OsError error = last_os_error();
    // Only a directory already there is success; its security is deliberately not touched.
    // GetFileAttributesW reads the entry itself, so a junction or directory link counts too
    // and is used as it stands; the start-up check judges it as a link.
    if (error.code == ERROR_ALREADY_EXISTS) {
        const DWORD found = GetFileAttributesW(path.c_str());
        if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return {};
        }
    }
    return fail(os_error_text(error));
}

Result<Entry, OsError> read_entry(const std::wstring& path) {
    // The entry itself: opening through the path would follow a junction or symbolic link and
    // judge whatever it points to today. READ_CONTROL and attributes read no file contents.
    const UniqueHandle handle(
        CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        const OsError error = last_os_error();
        // Wine 8 follows a Unix symbolic link even here, so a dangling one is "not found"
        // though the path shows it as a reparse point.
        if (link_by_path(path)) {
            return Entry{{}, true, 1};
        }
        return fail(error);
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle.get(), &information)) {
        return fail(last_os_error());
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        return fail(OsError{result});
    }
    const LocalPtr<void> owned(descriptor);
    Entry entry;
    if (std::optional<std::string> text = owner_and_dacl_text(
            descriptor, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) {
        entry.sddl = std::move(*text);
    } else {
        return fail(last_os_error());
    }
    // Wine 8 opens the target of a Unix symbolic link even with FILE_FLAG_OPEN_REPARSE_POINT
    // and shows the link only in the attributes read by path (which Windows, too, reads from
    // the entry itself); either look finding a link is enough.
    entry.reparse_point = link_by_handle(handle.get(), information.dwFileAttributes) ||
                          link_by_path(path) || opened_elsewhere(path, handle.get());
    entry.link_count = information.nNumberOfLinks;
    return entry;
}

std::string process_user() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    SECURITY_DESCRIPTOR descriptor{};
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(
            &descriptor, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, FALSE)) {
        return {};
    }
    // Converted the way entries' descriptors are, so a machine-relative alias ("LA" for the
    // built-in Administrator) is spelled alike on both sides.
    const std::optional<std::string> text =
        owner_and_dacl_text(&descriptor, OWNER_SECURITY_INFORMATION);
    const std::optional<OwnerAndDacl> parsed = text ? parse_owner_and_dacl(*text) : std::nullopt;
    return parsed ? parsed->owner : std::string();
}

std::string account_name(std::string_view sid) {
    const std::wstring wide_sid = widen(sid);
    PSID binary = nullptr;
    if (!ConvertStringSidToSidW(wide_sid.c_str(), &binary)) {
        return std::string(sid);
    }
    const LocalPtr<void> owned(binary);
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, binary, name, &name_size, domain, &domain_size, &use)) {
        // An alias ("BU") is shown as the SID it stands for.
        wchar_t* text = nullptr;
        if (!ConvertSidToStringSidW(binary, &text)) {
            return std::string(sid);
        }
        const LocalPtr<wchar_t> owned_text(text);
        return narrow_lossy(text);
    }
    const std::wstring domain_part(domain, domain_size);
    return narrow_lossy((domain_part.empty() ? L"" : domain_part + L"\\") +
                        std::wstring(name, name_size));
}

std::optional<Judgement> judge_path(Guarded what, const std::wstring& path) {
    const Result<Entry, OsError> entry = read_entry(path);
    if (!entry) {
        const auto code = static_cast<DWORD>(entry.error().code);
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return std::nullopt;
        }
        return Judgement{Verdict::refuse, {Finding::Kind::unreadable, {}, {}}};
    }
    return assess(what, *entry, process_user());
}

} // namespace kestrune::win
