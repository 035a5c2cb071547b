// UTF-8 (the library's text) to and from UTF-16 (the Win32 W functions' text).
#pragma once

#include <windows.h>

#include <string>

namespace Korval::os {

inline std::wstring widen(const std::string &text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

inline std::string narrow(const wchar_t *wide, std::size_t length) {
    if (length == 0)
        return {};
    const int size = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, size, text.data(), bytes, nullptr, nullptr);
    return text;
}

inline std::string narrow(const std::wstring &wide) {
    return narrow(wide.data(), wide.size());
}

} // namespace Korval::os
