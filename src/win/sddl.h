#pragma once
// The owner and DACL of a security descriptor in its SDDL text, as
// ConvertSecurityDescriptorToStringSecurityDescriptorW writes it ("O:BAD:PAI(A;OICI;FA;;;SY)").
// The Windows side only reads a descriptor and converts it; everything that judges it works on
// this portable form.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::win {

// ACE header flags, with their SDK values.
inline constexpr std::uint8_t OBJECT_INHERIT_FLAG = 0x01;    // OBJECT_INHERIT_ACE, "OI"
inline constexpr std::uint8_t CONTAINER_INHERIT_FLAG = 0x02; // CONTAINER_INHERIT_ACE, "CI"
inline constexpr std::uint8_t NO_PROPAGATE_FLAG = 0x04;      // NO_PROPAGATE_INHERIT_ACE, "NP"
inline constexpr std::uint8_t INHERIT_ONLY_FLAG = 0x08;      // INHERIT_ONLY_ACE, "IO"
inline constexpr std::uint8_t INHERITED_FLAG = 0x10;         // INHERITED_ACE, "ID"

enum class AceKind { allow, deny, other };

struct Ace {
    AceKind kind = AceKind::other;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    std::string sid; // canonical_sid form
};

struct OwnerAndDacl {
    std::string owner; // canonical_sid form; empty when the text has no owner
    // Empty for a null or absent DACL, which grants everyone everything.
    std::optional<std::vector<Ace>> dacl;
};

// The same account in one spelling: the aliases of SYSTEM and Administrators become their
// "S-1-..." form; every other alias ("BU", "WD", "LA") stays as it is, so a machine- or
// domain-relative alias can only match the same alias.
std::string canonical_sid(std::string_view sid);

// Empty when the text is not understood; a caller judging security treats that as the worst.
// A group or SACL part is skipped.
std::optional<OwnerAndDacl> parse_owner_and_dacl(std::string_view sddl);

} // namespace kestrune::win
