#pragma once
// A small JSON reader for the test helpers' config files: objects, arrays, strings (all JSON
// escapes, \uXXXX to UTF-8 with surrogate pairs), integers (up to 64 bits, optionally
// negative), true, false and null. No fractions or exponents; they are not needed.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "win/utf.h"

namespace kestrune::test_helpers {

struct JsonValue;
using JsonObject = std::map<std::string, JsonValue>;
using JsonArray = std::vector<JsonValue>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, std::int64_t, std::string, std::shared_ptr<JsonArray>,
                 std::shared_ptr<JsonObject>>
        data;

    const std::string* string() const { return std::get_if<std::string>(&data); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&data); }
    const bool* boolean() const { return std::get_if<bool>(&data); }
    const JsonArray* array() const {
        const auto* p = std::get_if<std::shared_ptr<JsonArray>>(&data);
        return p ? p->get() : nullptr;
    }
    const JsonObject* object() const {
        const auto* p = std::get_if<std::shared_ptr<JsonObject>>(&data);
        return p ? p->get() : nullptr;
    }
    const JsonValue* member(const std::string& key) const {
        const JsonObject* o = object();
        if (o == nullptr) {
            return nullptr;
        }
        const auto it = o->find(key);
        return it == o->end() ? nullptr : &it->second;
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // The whole text as one value; the error names the byte offset where reading stopped.
    std::optional<JsonValue> read(std::string& error) {
        std::optional<JsonValue> value = read_value();
        skip_space();
        if (value && pos_ != text_.size()) {
            value.reset();
        }
        if (!value) {
            error = "invalid JSON at byte " + std::to_string(pos_);
        }
        return value;
    }

  private:
    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\n')) {
            ++pos_;
        }
    }

    bool take(char c) {
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool take_word(std::string_view word) {
        if (text_.substr(pos_, word.size()) == word) {
            pos_ += word.size();
            return true;
        }
        return false;
    }

    std::optional<JsonValue> read_value() {
        skip_space();
        if (pos_ >= text_.size()) {
            return std::nullopt;
        }
        const char c = text_[pos_];
        if (c == '{') {
            return read_object();
        }
        if (c == '[') {
            return read_array();
        }
        if (c == '"') {
            std::optional<std::string> s = read_string();
            return s ? std::optional<JsonValue>(JsonValue{std::move(*s)}) : std::nullopt;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            return read_integer();
        }
        if (take_word("true")) {
            return JsonValue{true};
        }
        if (take_word("false")) {
            return JsonValue{false};
        }
        if (take_word("null")) {
            return JsonValue{nullptr};
        }
        return std::nullopt;
    }

    std::optional<JsonValue> read_object() {
        ++pos_;
        auto object = std::make_shared<JsonObject>();
        if (take('}')) {
            return JsonValue{object};
        }
        do {
            skip_space();
            std::optional<std::string> key = read_string();
            if (!key || !take(':')) {
                return std::nullopt;
            }
            std::optional<JsonValue> value = read_value();
            if (!value) {
                return std::nullopt;
            }
            (*object)[*key] = std::move(*value);
        } while (take(','));
        return take('}') ? std::optional<JsonValue>(JsonValue{object}) : std::nullopt;
    }

    std::optional<JsonValue> read_array() {
        ++pos_;
        auto array = std::make_shared<JsonArray>();
        if (take(']')) {
            return JsonValue{array};
        }
        do {
            std::optional<JsonValue> value = read_value();
            if (!value) {
                return std::nullopt;
            }
            array->push_back(std::move(*value));
        } while (take(','));
        return take(']') ? std::optional<JsonValue>(JsonValue{array}) : std::nullopt;
    }

    std::optional<JsonValue> read_integer() {
        const bool negative = text_[pos_] == '-';
        if (negative) {
            ++pos_;
        }
        const std::size_t start = pos_;
        std::uint64_t magnitude = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
            ++pos_;
        }
        if (pos_ == start) {
            return std::nullopt;
        }
        const auto value = static_cast<std::int64_t>(magnitude);
        return JsonValue{negative ? -value : value};
    }

    std::optional<unsigned> read_hex4() {
        if (pos_ + 4 > text_.size()) {
            return std::nullopt;
        }
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        return value;
    }

    std::optional<std::string> read_string() {
        if (pos_ >= text_.size() || text_[pos_] != '"') {
            return std::nullopt;
        }
        ++pos_;
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) {
                return std::nullopt;
            }
            const char e = text_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out.push_back(e);
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'u': {
                std::optional<unsigned> unit = read_hex4();
                if (!unit) {
                    return std::nullopt;
                }
                std::u16string units(1, static_cast<char16_t>(*unit));
                if (*unit >= 0xD800 && *unit <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
                    pos_ += 2;
                    std::optional<unsigned> low = read_hex4();
                    if (!low) {
                        return std::nullopt;
                    }
                    units.push_back(static_cast<char16_t>(*low));
                }
                std::optional<std::string> utf8 = win::utf16_to_utf8(units);
                if (!utf8) {
                    return std::nullopt; // an unpaired surrogate
                }
                out += *utf8;
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace kestrune::test_helpers
