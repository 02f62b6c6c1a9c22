#include "win/os_error.h"

#include <windows.h>

#include "win/os_error_text.h"

namespace kestrune::win {

OsError last_os_error() {
    return OsError{GetLastError()};
}

std::string os_error_text(std::uint32_t code) {
    DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE source = nullptr;
    DWORD lookup = code;
    // Bit 28 (FACILITY_NT_BIT) marks an NTSTATUS wrapped as an HRESULT: NTDLL's message table
    // knows the NTSTATUS itself, which never has that bit, so it is looked up without it.
    if (code & FACILITY_NT_BIT) {
        source = GetModuleHandleW(L"NTDLL.DLL");
        if (source != nullptr) {
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
            lookup = code & ~static_cast<DWORD>(FACILITY_NT_BIT);
        }
    }
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(flags, source, lookup, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0) {
        const DWORD format_error = GetLastError();
        return compose_os_error_text(code, MessageFailed{format_error});
    }
    MessageFound found{std::u16string(reinterpret_cast<const char16_t*>(buffer), length)};
    LocalFree(buffer);
    return compose_os_error_text(code, found);
}

} // namespace kestrune::win
