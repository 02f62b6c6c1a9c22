#pragma once
// Real files for the Windows logging tests: a fresh temporary directory per test, and plain
// ways to make, read and look at files that do not go through the code under test.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "win/unique_handle.h"

namespace kestrune::logging::testing {

inline void remove_tree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") {
                    remove_tree(path + L"\\" + name);
                }
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

// A new, empty directory under the system's temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir() {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        static int counter = 0;
        path_ = std::wstring(base) + L"kestrune-log-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(++counter);
        remove_tree(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { remove_tree(path_); }

    const std::wstring& path() const { return path_; }
    std::wstring operator/(std::wstring_view name) const {
        return path_ + L"\\" + std::wstring(name);
    }

  private:
    std::wstring path_;
};

inline void write_file(const std::wstring& path, std::string_view content) {
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !content.empty()) {
        WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                  nullptr);
    }
}

// A file of exactly `size` bytes that starts with `head` (the rest is zeros).
inline void make_file_of_size(const std::wstring& path, std::uint64_t size,
                              std::string_view head = {}) {
    write_file(path, head);
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
    SetEndOfFile(file.get());
}

// The whole file; empty when it cannot be opened. Opened sharing everything, so it can be
// read while the log has it open.
inline std::optional<std::string> read_file(const std::wstring& path) {
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0x7, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        content.append(buffer, got);
    }
    return content;
}

inline std::optional<std::uint64_t> file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace kestrune::logging::testing
