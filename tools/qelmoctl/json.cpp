#include "json.h"

#include <cmath>
#include <cstdio>

namespace qelmoctl {

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 when the byte there does not start
// one (overlong forms, surrogates and values beyond U+10FFFF are not valid).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    char escaped[8];
                    snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else {
                    out += c;
                }
        }
        ++i;
    }
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (text_.size() > 1) text_ += ',';
    text_ += '"';
    text_ += JsonEscape(key);
    text_ += "\":";
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
    Key(key);
    text_ += '"';
    text_ += JsonEscape(value);
    text_ += '"';
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Fixed(std::string_view key, double value, int decimals) {
    Key(key);
    if (!std::isfinite(value)) {  // JSON has no NaN or infinity
        text_ += "null";
        return *this;
    }
    char number[352];  // the largest double in full, with its decimals
    snprintf(number, sizeof number, "%.*f", decimals, value);
    text_ += number;
    return *this;
}

JsonObject& JsonObject::Hex32(std::string_view key, uint32_t value) {
    char number[16];
    snprintf(number, sizeof number, "0x%08x", static_cast<unsigned>(value));
    return String(key, number);
}

}  // namespace qelmoctl
