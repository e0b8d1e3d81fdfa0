// Strict UTF-8 decoding, one sequence at a time, as CPython's decoder does it.
//
// A valid sequence gives its code point; anything else is the maximal invalid
// subpart starting there (at least one byte), after which decoding resumes at
// the next byte, so a valid character is never swallowed by an error before
// it.  The "ignore" handler drops such bytes and "surrogateescape" maps each
// one to U+DC80..U+DCFF; both are built on this one step.
#pragma once

#include <cstddef>

namespace tarvex::engine {

struct Utf8Step {
    char32_t code_point = 0;
    int length = 1;          // bytes consumed (the invalid subpart when !valid)
    bool valid = false;
    bool truncated = false;  // invalid only because the buffer ended mid-sequence
};

inline Utf8Step decode_utf8_step(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {lead, 1, true, false};
    }
    int continuation_bytes = 0;
    char32_t code_point = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the next byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation_bytes = 1;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuation_bytes = 2;
        code_point = lead & 0x0F;
        if (lead == 0xE0) {  // no overlong forms
            low = 0xA0;
        } else if (lead == 0xED) {  // no surrogates
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuation_bytes = 3;
        code_point = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {  // nothing above U+10FFFF
            high = 0x8F;
        }
    } else {
        return {0, 1, false, false};
    }
    int length = 1;
    for (int i = 0; i < continuation_bytes; ++i) {
        if (p + length >= end) {
            return {0, length, false, true};
        }
        const unsigned char next = p[length];
        if (next < low || next > high) {
            return {0, length, false, false};
        }
        code_point = (code_point << 6) | (next & 0x3F);
        low = 0x80;
        high = 0xBF;
        ++length;
    }
    return {code_point, length, true, false};
}

// Appends the UTF-8 encoding of a code point (a scalar value) to `out`.
template <class String>
void append_utf8(String& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace tarvex::engine
