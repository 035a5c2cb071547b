#include "canlib_loader.h"

#include <vector>

namespace canopenscan {

namespace {

std::string narrow(const std::wstring &text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::string systemMessage(DWORD code) {
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return narrow(text) + (text.empty() ? "" : ", ") + "error " + std::to_string(code);
}

// The DLL next to the executable, not wherever the search path would find one.
std::wstring besideThisProgram(const wchar_t *fileName) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return path.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + fileName;
}

template <class Function>
void bind(HMODULE module, const char *name, Function &target, std::vector<std::string> &missing) {
    const FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        missing.push_back(name);
        return;
    }
    // Through the generic function pointer type, which converts to any other without warning.
    target = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

} // namespace

bool loadCanlib(CanlibFunctions &functions, std::string &error) {
    const std::wstring path = besideThisProgram(L"canlib32.dll");
    const HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + narrow(path) + " (" + systemMessage(GetLastError()) + ")";
        return false;
    }
    std::vector<std::string> missing;
#define CANLIB_BIND(name) bind(module, #name, functions.name, missing)
    CANLIB_BIND(canInitializeLibrary);
    CANLIB_BIND(canGetNumberOfChannels);
    CANLIB_BIND(canGetChannelData);
    CANLIB_BIND(canOpenChannel);
    CANLIB_BIND(canSetBusParams);
    CANLIB_BIND(canBusOn);
    CANLIB_BIND(canSetNotify);
    CANLIB_BIND(canWrite);
    CANLIB_BIND(canRead);
    CANLIB_BIND(canReadWait);
    CANLIB_BIND(canBusOff);
    CANLIB_BIND(canClose);
#undef CANLIB_BIND
    if (missing.empty())
        return true;
    error = narrow(path) + " does not export";
    for (size_t i = 0; i < missing.size(); ++i)
        error += (i == 0 ? " " : ", ") + missing[i];
    FreeLibrary(module);
    return false;
}

} // namespace canopenscan
