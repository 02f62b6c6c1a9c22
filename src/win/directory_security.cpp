#include "win/directory_security.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>

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

std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
        // An unreadable SID is not one of the trusted ones, which is the safe reading.
        return {};
    }
    const LocalPtr<wchar_t> owned(text);
    return narrow_lossy(text);
}

// Callback ACEs carry their condition after the SID and object ACEs put optional GUIDs before
// it; a file system never evaluates the GUIDs, so both count like plain ACEs of their kind.
Ace read_ace(const ACE_HEADER* header) {
    Ace ace;
    ace.flags = header->AceFlags;
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        ace.kind = AceKind::allow;
        break;
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        ace.kind = AceKind::deny;
        break;
    default:
        ace.kind = AceKind::other;
        return ace;
    }
    const bool object_ace = header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                            header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
                            header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
                            header->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
    if (!object_ace) {
        const auto* plain = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        ace.mask = plain->Mask;
        ace.sid = sid_text(const_cast<DWORD*>(&plain->SidStart));
        return ace;
    }
    const auto* object = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
    ace.mask = object->Mask;
    const auto* cursor = reinterpret_cast<const BYTE*>(&object->ObjectType);
    if (object->Flags & ACE_OBJECT_TYPE_PRESENT) {
        cursor += sizeof(GUID);
    }
    if (object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) {
        cursor += sizeof(GUID);
    }
    ace.sid = sid_text(const_cast<BYTE*>(cursor));
    return ace;
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

std::optional<DirectorySecurity> read_directory_security(const std::wstring& path) {
    // The entry itself: reading through the path would follow a junction or symbolic link and
    // judge whatever it points to today.
    const UniqueHandle entry(
        CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!entry || !GetFileInformationByHandle(entry.get(), &information)) {
        return std::nullopt;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const LocalPtr<void> owned(descriptor);
    DirectorySecurity security;
    // Wine 8 opens the target of a Unix symbolic link even with FILE_FLAG_OPEN_REPARSE_POINT
    // and shows the link only in the attributes read by path (which Windows, too, reads from
    // the entry itself); either look finding a reparse point is enough.
    const DWORD by_path = GetFileAttributesW(path.c_str());
    security.reparse_point =
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (by_path != INVALID_FILE_ATTRIBUTES && (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
    security.owner = sid_text(owner);
    // A null DACL and a missing one both come back as a null pointer; both grant everything.
    if (dacl != nullptr) {
        std::vector<Ace> aces;
        aces.reserve(dacl->AceCount);
        for (DWORD index = 0; index < dacl->AceCount; ++index) {
            void* entry = nullptr;
            if (!GetAce(dacl, index, &entry)) {
                return std::nullopt;
            }
            aces.push_back(read_ace(static_cast<const ACE_HEADER*>(entry)));
        }
        security.dacl = std::move(aces);
    }
    return security;
}

std::optional<bool> directory_writable_by_non_admins(const std::wstring& path) {
    const std::optional<DirectorySecurity> security = read_directory_security(path);
    if (!security) {
        return std::nullopt;
    }
    return writable_by_non_admins(*security);
}

std::vector<std::string> directory_warnings(const std::wstring& data_directory,
                                            const std::wstring& service_directory) {
    return compose_directory_warnings(
        directory_writable_by_non_admins(data_directory), narrow_lossy(data_directory),
        directory_writable_by_non_admins(service_directory), narrow_lossy(service_directory));
}

} // namespace kestrune::win
