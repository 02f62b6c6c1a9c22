#include "win/sddl.h"

#include <array>
#include <cctype>
#include <charconv>
#include <utility>

namespace kestrune::win {
namespace {

struct Token {
    std::string_view text;
    std::uint32_t value;
};

constexpr std::array<Token, 5> ACE_FLAGS = {{{"OI", OBJECT_INHERIT_FLAG},
                                             {"CI", CONTAINER_INHERIT_FLAG},
                                             {"NP", NO_PROPAGATE_FLAG},
                                             {"IO", INHERIT_ONLY_FLAG},
                                             {"ID", INHERITED_FLAG}}};
// The audit flags ("SA", "FA"), trust-protected ("TP") and critical ("CR") change nothing about
// who is granted what, so they are accepted and dropped.
constexpr std::array<std::string_view, 4> IGNORED_ACE_FLAGS = {"SA", "FA", "TP", "CR"};

// The access tokens of SDDL; their names come from the directory service, the bits are the
// bits ("DC" is FILE_ADD_FILE, "DT" FILE_DELETE_CHILD on a file system object).
constexpr std::array<Token, 26> RIGHTS = {{
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
    {"RC", 0x00020000}, {"SD", 0x00010000}, {"WD", 0x00040000}, {"WO", 0x00080000},
    {"RP", 0x00000010}, {"WP", 0x00000020}, {"CC", 0x00000001}, {"DC", 0x00000002},
    {"LC", 0x00000004}, {"SW", 0x00000008}, {"LO", 0x00000080}, {"DT", 0x00000040},
    {"CR", 0x00000100}, {"FA", 0x001F01FF}, {"FR", 0x00120089}, {"FW", 0x00120116},
    {"FX", 0x001200A0}, {"KA", 0x000F003F}, {"KR", 0x00020019}, {"KW", 0x00020006},
    {"KX", 0x00020019}, {"NR", 0x00000001},
}};

// Callback and object ACEs count like plain ones of their kind: a file system never evaluates
// the object GUIDs, and a condition only narrows an allow (or a deny), so reading it as always
// true is the cautious reading of an allow.
AceKind ace_kind(std::string_view type) {
    if (type == "A" || type == "OA" || type == "XA" || type == "ZA") {
        return AceKind::allow;
    }
    if (type == "D" || type == "OD" || type == "XD") {
        return AceKind::deny;
    }
    return AceKind::other;
}

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool done() const { return at_ >= text_.size(); }
    char peek() const { return done() ? '\0' : text_[at_]; }
    bool take(std::string_view prefix) {
        if (text_.substr(at_).starts_with(prefix)) {
            at_ += prefix.size();
            return true;
        }
        return false;
    }
    // A component starts here: "O:", "G:", "D:" or "S:".
    bool at_component() const {
        return at_ + 1 < text_.size() && text_[at_ + 1] == ':' &&
               std::string_view("OGDS").find(text_[at_]) != std::string_view::npos;
    }
    // "S-1-..." or a two-letter alias.
    std::optional<std::string_view> sid() {
        const std::size_t start = at_;
        if (take("S-")) {
            // Decimal parts; only an identifier authority may be hexadecimal ("0x..."), and a
            // component letter may follow at once ("O:S-1-5-18D:").
            while (!done() && (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '-')) {
                ++at_;
                if (text_[at_ - 1] == '0' && (peek() == 'x' || peek() == 'X')) {
                    for (++at_; !done() && std::isxdigit(static_cast<unsigned char>(peek()));) {
                        ++at_;
                    }
                }
            }
        } else if (at_ + 2 <= text_.size() && std::isupper(static_cast<unsigned char>(peek())) &&
                   std::isupper(static_cast<unsigned char>(text_[at_ + 1]))) {
            at_ += 2;
        } else {
            return std::nullopt;
        }
        return text_.substr(start, at_ - start);
    }
    // Up to (not including) the next `stop` character at this level.
    std::string_view field(char stop) {
        const std::size_t start = at_;
        while (!done() && peek() != stop && peek() != ')') {
            ++at_;
        }
        return text_.substr(start, at_ - start);
    }
    // A condition or resource attribute: balanced parentheses, quoted strings taken whole.
    bool skip_balanced() {
        int depth = 0;
        bool quoted = false;
        for (; !done(); ++at_) {
            const char c = peek();
            if (quoted) {
                quoted = c != '"';
            } else if (c == '"') {
                quoted = true;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (depth == 0) {
                    return true;
                }
                --depth;
            }
        }
        return false;
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

std::optional<std::uint8_t> parse_ace_flags(std::string_view text) {
    std::uint8_t flags = 0;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const std::string_view token = text.substr(i, 2);
        bool known = false;
        for (const Token& flag : ACE_FLAGS) {
            if (token == flag.text) {
                flags |= static_cast<std::uint8_t>(flag.value);
                known = true;
            }
        }
        for (std::string_view ignored : IGNORED_ACE_FLAGS) {
            known = known || token == ignored;
        }
        if (!known) {
            return std::nullopt;
        }
    }
    return flags;
}

std::optional<std::uint32_t> parse_rights(std::string_view text) {
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        int base = 10;
        if (text.starts_with("0x") || text.starts_with("0X")) {
            text.remove_prefix(2);
            base = 16;
        }
        std::uint32_t mask = 0;
        const auto [end, error] =
            std::from_chars(text.data(), text.data() + text.size(), mask, base);
        if (error != std::errc() || end != text.data() + text.size()) {
            return std::nullopt;
        }
        return mask;
    }
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bool known = false;
        for (const Token& right : RIGHTS) {
            if (text.substr(i, 2) == right.text) {
                mask |= right.value;
                known = true;
            }
        }
        if (!known) {
            return std::nullopt;
        }
    }
    return mask;
}

// "(type;flags;rights;object guid;inherited object guid;sid[;condition])", the reader standing
// on the opening parenthesis.
std::optional<Ace> parse_ace(Reader& reader) {
    if (!reader.take("(")) {
        return std::nullopt;
    }
    std::string_view parts[5];
    for (std::string_view& part : parts) {
        part = reader.field(';');
        if (!reader.take(";")) {
            return std::nullopt;
        }
    }
    const std::optional<std::string_view> sid = reader.sid();
    const std::optional<std::uint8_t> flags = parse_ace_flags(parts[1]);
    const std::optional<std::uint32_t> mask = parse_rights(parts[2]);
    if (!sid || !flags || !mask) {
        return std::nullopt;
    }
    if (reader.take(";") && !reader.skip_balanced()) {
        return std::nullopt;
    }
    if (!reader.take(")")) {
        return std::nullopt;
    }
    return Ace{ace_kind(parts[0]), *flags, *mask, canonical_sid(*sid)};
}

// The flags after "D:" or "S:", then the ACEs; `dacl` empty for "NO_ACCESS_CONTROL".
bool parse_acl(Reader& reader, std::optional<std::vector<Ace>>& dacl) {
    std::vector<Ace> aces;
    bool null_acl = false;
    while (!reader.done() && reader.peek() != '(' && !reader.at_component()) {
        if (reader.take("NO_ACCESS_CONTROL")) {
            null_acl = true;
        } else if (!reader.take("P") && !reader.take("AI") && !reader.take("AR")) {
            return false;
        }
    }
    while (reader.peek() == '(') {
        std::optional<Ace> ace = parse_ace(reader);
        if (!ace) {
            return false;
        }
        aces.push_back(std::move(*ace));
    }
    if (null_acl) {
        dacl.reset();
    } else {
        dacl = std::move(aces);
    }
    return true;
}

} // namespace

std::string canonical_sid(std::string_view sid) {
    if (sid == "SY") {
        return "S-1-5-18";
    }
    if (sid == "BA") {
        return "S-1-5-32-544";
    }
    return std::string(sid);
}

std::optional<OwnerAndDacl> parse_owner_and_dacl(std::string_view sddl) {
    Reader reader(sddl);
    OwnerAndDacl result;
    while (!reader.done()) {
        const bool owner = reader.take("O:");
        if (owner || reader.take("G:")) {
            const std::optional<std::string_view> sid = reader.sid();
            if (!sid || (!reader.done() && !reader.at_component())) {
                return std::nullopt;
            }
            // The group is read past: it grants nothing on a file.
            if (owner) {
                result.owner = canonical_sid(*sid);
            }
        } else if (reader.take("D:")) {
            if (!parse_acl(reader, result.dacl)) {
                return std::nullopt;
            }
        } else if (reader.take("S:")) {
            std::optional<std::vector<Ace>> sacl;
            if (!parse_acl(reader, sacl)) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    return result;
}

} // namespace kestrune::win
