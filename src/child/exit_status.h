#pragma once
// How a child ended: its 32-bit exit code as GetExitCodeProcess reports it.

#include <cstdint>
#include <string>

namespace kestrune::child {

struct ExitStatus {
    std::uint32_t code = 0;

    // "exit code: 3"; codes with bit 31 set are NTSTATUS values such as an access violation
    // and read better in hex: "exit code: 0xc0000005".
    std::string text() const;

    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

} // namespace kestrune::child
