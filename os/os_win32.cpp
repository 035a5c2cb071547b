// Win32 side of the seam: debugger output, message boxes, the registry, window messages and
// Winsock.
#include "os/os.h"
#include "os/socket_platform.h"
#include "os/win32_text.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <vector>

namespace Korval::os {

namespace {

// Registry strings are not guaranteed to end in a NUL; values of any other type read as
// their number or not at all.
std::string registryValueText(DWORD type, const std::vector<BYTE> &data, DWORD size,
                              const std::string &defaultValue) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const auto *text = reinterpret_cast<const wchar_t *>(data.data());
        std::size_t length = size / sizeof(wchar_t);
        while (length > 0 && text[length - 1] == L'\0')
            --length;
        std::wstring value(text, length);
        if (type == REG_EXPAND_SZ) {
            wchar_t expanded[1024];
            DWORD needed = ExpandEnvironmentStringsW(value.c_str(), expanded, 1024);
            if (needed > 0 && needed <= 1024)
                value = expanded;
        }
        return narrow(value.data(), value.size());
    }
    if (type == REG_DWORD && size == sizeof(DWORD))
        return std::to_string(*reinterpret_cast<const DWORD *>(data.data()));
    if (type == REG_QWORD && size == sizeof(ULONGLONG))
        return std::to_string(*reinterpret_cast<const ULONGLONG *>(data.data()));
    return defaultValue;
}

} // namespace

void writeTrace(const std::string &text) {
    std::wstring line = L"canlib: " + widen(text) + L"\r\n";
    OutputDebugStringW(line.c_str());
}

void showErrorBox(const std::string &text, const std::string &title) {
    MessageBoxW(GetActiveWindow(), widen(text).c_str(), widen(title).c_str(), MB_OK | MB_ICONERROR);
}

void endProcess(int exitCode) {
    ExitProcess(static_cast<UINT>(exitCode));
}

uint32_t tickCount() {
    return GetTickCount();
}

void sleepMilliseconds(uint32_t ms) {
    Sleep(ms);
}

void sendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    SendMessageW(static_cast<HWND>(window), message, wParam, lParam);
}

void letSentMessagesThrough(bool workerMayWaitOnThisThread) {
    if (workerMayWaitOnThisThread && InSendMessage())
        ReplyMessage(0);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

RegistryKey::RegistryKey(const std::string &path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, widen(path).c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS)
        handle = key;
}

RegistryKey::~RegistryKey() {
    if (handle != nullptr)
        RegCloseKey(static_cast<HKEY>(handle));
}

std::string RegistryKey::readString(const std::string &name,
                                    const std::string &defaultValue) const {
    if (handle == nullptr)
        return defaultValue;
    std::wstring valueName = widen(name);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(static_cast<HKEY>(handle), valueName.c_str(), nullptr, &type, nullptr,
                         &size) != ERROR_SUCCESS)
        return defaultValue;
    std::vector<BYTE> data(size + sizeof(wchar_t));
    if (RegQueryValueExW(static_cast<HKEY>(handle), valueName.c_str(), nullptr, &type, data.data(),
                         &size) != ERROR_SUCCESS)
        return defaultValue;
    return registryValueText(type, data, size, defaultValue);
}

bool RegistryKey::writeString(const std::string &name, const std::string &value) {
    if (handle == nullptr)
        return false;
    std::wstring text = widen(value);
    return RegSetValueExW(static_cast<HKEY>(handle), widen(name).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

namespace platform {

intptr_t openStreamSocket(std::string &error) {
    static const int startup = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (startup != 0) {
        error = "Winsock is not available: " + errorText(startup);
        return INVALID_HANDLE;
    }
    SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        error = errorText(WSAGetLastError());
        return INVALID_HANDLE;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        error = errorText(WSAGetLastError());
        closesocket(handle);
        return INVALID_HANDLE;
    }
    return static_cast<intptr_t>(handle);
}

void closeSocket(intptr_t handle) {
    closesocket(static_cast<SOCKET>(handle));
}

bool setNoDelay(intptr_t handle, std::string &error) {
    BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(handle), IPPROTO_TCP, TCP_NODELAY,
                   reinterpret_cast<const char *>(&on), sizeof on) == 0)
        return true;
    error = errorText(WSAGetLastError());
    return false;
}

int lastError() {
    return WSAGetLastError();
}

std::string errorText(int error) {
    wchar_t buffer[256];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, buffer, 256, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' ||
                          buffer[length - 1] == L' ' || buffer[length - 1] == L'.'))
        --length;
    std::string text = length > 0 ? narrow(buffer, length) : "socket error";
    return text + " (" + std::to_string(error) + ")";
}

std::string resolveErrorText(int code) {
    return errorText(code);
}

bool isWouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

int startConnect(intptr_t handle, const sockaddr_in &address) {
    if (::connect(static_cast<SOCKET>(handle), reinterpret_cast<const sockaddr *>(&address),
                  sizeof address) == 0)
        return 0;
    return WSAGetLastError();
}

bool isConnectInProgress(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

int connectOutcome(intptr_t handle) {
    int outcome = 0;
    int length = sizeof outcome;
    if (getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_ERROR,
                   reinterpret_cast<char *>(&outcome), &length) != 0)
        return WSAGetLastError();
    return outcome;
}

Readiness waitSocket(intptr_t handle, bool forWrite, uint32_t ms, std::string &error) {
    SOCKET socket = static_cast<SOCKET>(handle);
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    // Winsock reports a failed connect in the exception set, not as writable.
    FD_SET(socket, &failed);
    timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    int count =
        select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &limit);
    if (count == SOCKET_ERROR) {
        error = errorText(WSAGetLastError());
        return Readiness::Failed;
    }
    return count == 0 ? Readiness::NotYet : Readiness::Ready;
}

long sendSome(intptr_t handle, const uint8_t *data, std::size_t length) {
    int sent = ::send(static_cast<SOCKET>(handle), reinterpret_cast<const char *>(data),
                      static_cast<int>(length), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

long receiveSome(intptr_t handle, uint8_t *buffer, std::size_t capacity) {
    int received = ::recv(static_cast<SOCKET>(handle), reinterpret_cast<char *>(buffer),
                          static_cast<int>(capacity), 0);
    return received == SOCKET_ERROR ? -1 : received;
}

} // namespace platform

} // namespace Korval::os
