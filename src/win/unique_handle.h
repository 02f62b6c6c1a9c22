#pragma once
// The one owning handle type: move-only, closes its handle exactly once. Both null and
// INVALID_HANDLE_VALUE mean "no handle" (CreateFileW and CreateProcessW disagree on which one
// they return on failure).

#include <windows.h>

#include <utility>

namespace kestrune::win {

class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    static bool is_valid(HANDLE handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    bool valid() const { return is_valid(handle_); }
    explicit operator bool() const { return valid(); }
    HANDLE get() const { return handle_; }

    // For out-parameters of Win32 calls; closes any handle held first.
    HANDLE* put() {
        reset();
        return &handle_;
    }

    HANDLE release() { return std::exchange(handle_, nullptr); }

    // Closing keeps the thread's last-error value, so an error path may close handles between
    // the failing call and reading GetLastError().
    void reset(HANDLE handle = nullptr) {
        const HANDLE old = std::exchange(handle_, handle);
        if (is_valid(old)) {
            const DWORD saved = GetLastError();
            CloseHandle(old);
            SetLastError(saved);
        }
    }

  private:
    HANDLE handle_ = nullptr;
};

} // namespace kestrune::win
