#pragma once
// Errors are values: an operation returns its value or an error (by default the exact error
// text). Nothing in the service throws across an entry point, a handler or a thread body.

#include <cassert>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrune {

template <class E> struct Failure { E error; };

template <class E> Failure<std::decay_t<E>> fail(E&& error) {
    return Failure<std::decay_t<E>>{std::forward<E>(error)};
}
inline Failure<std::string> fail(const char* error) {
    return Failure<std::string>{error};
}

template <class T, class E = std::string> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    requires std::is_constructible_v<E, F> Result(Failure<F> failure)
        : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

  private:
    std::variant<T, E> state_;
};

template <class E> class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    template <class F>
    requires std::is_constructible_v<E, F> Result(Failure<F> failure)
        : error_(std::in_place, std::move(failure.error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const E& error() const& {
        assert(!ok());
        return *error_;
    }
    E&& error() && {
        assert(!ok());
        return std::move(*error_);
    }

  private:
    std::optional<E> error_;
    bool failed_ = false;
};

using Status = Result<void>;

// An operating-system error code (GetLastError or an NTSTATUS-style code), turned into its
// text only by the caller that logs or prints it.
struct OsError {
    unsigned long code = 0;
    friend bool operator==(const OsError&, const OsError&) = default;
};

} // namespace kestrune
