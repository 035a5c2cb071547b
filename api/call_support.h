// Small helpers shared by the exported functions: the number formats of the trace lines and
// the sized integer answers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace Korval {

// {0:X2} and {0:X8}: upper-case hexadecimal, zero-filled to the width.
inline std::string hex2(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value));
    return text;
}

inline std::string hex8(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// Stores an answer of 4 or 8 bytes, the 8-byte form sign-extended; false for any other size.
inline bool storeSizedValue(void *buf, uint32_t bufSize, int32_t value) {
    if (bufSize == 4) {
        std::memcpy(buf, &value, 4);
        return true;
    }
    if (bufSize == 8) {
        const int64_t wide = value;
        std::memcpy(buf, &wide, 8);
        return true;
    }
    return false;
}

} // namespace Korval
