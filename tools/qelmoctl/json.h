// The one JSON writer of qelmoctl's machine-readable output: every string goes through
// JsonEscape, whatever its source (the plug-in's records, the registry, file names).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelmoctl {

// The text as the body of a JSON string: quotes, backslashes and control characters escaped;
// valid UTF-8 passes through, every byte that is not part of a valid UTF-8 sequence becomes
// U+FFFD (the output is always valid UTF-8).
std::string JsonEscape(std::string_view text);

// One object on one line, members in the order added: {"a":"x","b":2}.
class JsonObject {
public:
    JsonObject& String(std::string_view key, std::string_view value);
    JsonObject& Number(std::string_view key, uint64_t value);
    // A fixed-point number with the given decimals, e.g. "seconds":1.234.
    JsonObject& Fixed(std::string_view key, double value, int decimals);
    // "0x%08x" as a string, the form of result codes and identifiers.
    JsonObject& Hex32(std::string_view key, uint32_t value);

    std::string Text() const { return text_ + "}"; }

private:
    void Key(std::string_view key);
    std::string text_ = "{";
};

}  // namespace qelmoctl
