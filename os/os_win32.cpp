// Win32 side of the seam: debugger output, message boxes, the registry, window messages and
// Winsock.
#include "os/os.h"
#include "os/socket_platform.h"
#include "os/win32_text.h"
#include "os/win32_wait.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <vector>

namespace Korval::os {

namespace {

// Registry strings are not guaranteed to end in a NUL; values of any other type read as
// their number or not at all. An expandable string is shown as written: the library reads no
// environment variables.
std::string registryValueText(DWORD type, const std::vector<BYTE> &data, DWORD size,
                              const std::string &defaultValue) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const auto *text = reinterpret_cast<const wchar_t *>(data.data());
        std::size_t length = size / sizeof(wchar_t);
        while (length > 0 && text[length - 1] == L'\0')
            --length;
        return narrow(text, length);
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

void endHostAfterStop() {
    ExitProcess(1);
}

void stopAfterFailure(const char *traceText, const char *boxText, const char *title) noexcept {
    // Fixed buffers: the failure may well be that memory ran out.
    wchar_t line[512] = L"canlib: ";
    const int prefix = 8;
    const int written = MultiByteToWideChar(CP_UTF8, 0, traceText, -1, line + prefix, 500 - prefix);
    const int end = written > 0 ? prefix + written - 1 : prefix;
    line[end] = L'\r';
    line[end + 1] = L'\n';
    line[end + 2] = L'\0';
    OutputDebugStringW(line);
    wchar_t text[1024] = L"";
    wchar_t caption[128] = L"";
    MultiByteToWideChar(CP_UTF8, 0, boxText, -1, text, 1024);
    MultiByteToWideChar(CP_UTF8, 0, title, -1, caption, 128);
    text[1023] = L'\0';
    caption[127] = L'\0';
    MessageBoxW(GetActiveWindow(), text, caption, MB_OK | MB_ICONERROR);
    ExitProcess(1);
}

uint32_t tickCount() {
    return GetTickCount();
}

void sleepMilliseconds(uint32_t ms) {
    Sleep(ms);
}

namespace {

void CALLBACK markHandled(HWND, UINT, ULONG_PTR sent, LRESULT) {
    reinterpret_cast<SentMessage *>(sent)->handled = true;
}

} // namespace

uint32_t windowThreadId(WindowHandle window) {
    return window != nullptr ? GetWindowThreadProcessId(static_cast<HWND>(window), nullptr) : 0;
}

bool windowBelongsTo(WindowHandle window, uint32_t thread) {
    const HWND handle = static_cast<HWND>(window);
    return IsWindow(handle) && GetWindowThreadProcessId(handle, nullptr) == thread;
}

bool sendWithoutWaiting(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                        SentMessage &sent) {
    if (window == nullptr)
        return false;
    return SendMessageCallbackW(static_cast<HWND>(window), message, wParam, lParam, &markHandled,
                                reinterpret_cast<ULONG_PTR>(&sent)) != FALSE;
}

bool waitForHandledMessages(uint32_t ms, const Signal &wake) {
    // Microsoft documents that the system calls a SendMessageCallback callback after the window
    // procedure has processed the message, and only while the sending thread calls GetMessage,
    // PeekMessage or WaitMessage: every round therefore ends in a PeekMessage, which runs the
    // callbacks that are due. The wait for QS_SENDMESSAGE merely ends the round as soon as one is
    // due (Wine and Windows queue it like a sent message); should it not, the PeekMessage at the
    // end of the round still runs it.
    const HANDLE event = reinterpret_cast<HANDLE>(wake.waitHandle());
    const DWORD result = MsgWaitForMultipleObjectsEx(wake.isValid() ? 1 : 0, &event, ms,
                                                     QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    MSG ignored;
    PeekMessageW(&ignored, nullptr, 0, 0, PM_NOREMOVE);
    return result == WAIT_OBJECT_0;
}

bool handlingMessageSentWithoutWaiting() {
    return (InSendMessageEx(nullptr) & (ISMEX_CALLBACK | ISMEX_REPLIED)) == ISMEX_CALLBACK;
}

uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

uint32_t processId() {
    return GetCurrentProcessId();
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

namespace {

SOCKET socketOf(const NativeSocket &socket) {
    return static_cast<SOCKET>(socket.handle);
}

WSAEVENT eventOf(const NativeSocket &socket) {
    return reinterpret_cast<WSAEVENT>(socket.networkEvent);
}

} // namespace

bool openStreamSocket(NativeSocket &socket, std::string &error) {
    static const int startup = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (startup != 0) {
        error = "Winsock is not available: " + errorText(startup);
        return false;
    }
    const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        error = errorText(WSAGetLastError());
        return false;
    }
    // The socket's events make it non-blocking and give its waits a handle to wait on beside
    // the stop request. An auto-reset event: the wait that wakes on it also resets it, which
    // spares the system call that would reset it otherwise.
    const WSAEVENT event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr ||
        WSAEventSelect(handle, event, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
        error = errorText(WSAGetLastError());
        if (event != nullptr)
            WSACloseEvent(event);
        closesocket(handle);
        return false;
    }
    socket.handle = static_cast<intptr_t>(handle);
    socket.networkEvent = reinterpret_cast<intptr_t>(event);
    return true;
}

void closeSocket(NativeSocket &socket) {
    if (socket.handle != INVALID_HANDLE) {
        closesocket(socketOf(socket));
        WSACloseEvent(eventOf(socket));
        socket.handle = INVALID_HANDLE;
        socket.networkEvent = 0;
    }
}

bool setNoDelay(const NativeSocket &socket, std::string &error) {
    BOOL on = TRUE;
    if (setsockopt(socketOf(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                   sizeof on) == 0)
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

int startConnect(NativeSocket &socket, const sockaddr_in &address) {
    if (::connect(socketOf(socket), reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
        0)
        return 0;
    return WSAGetLastError();
}

bool isConnectInProgress(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

int connectOutcome(NativeSocket &socket) {
    return socket.connectDone ? socket.connectError : WSAEWOULDBLOCK;
}

Readiness waitSocket(NativeSocket &socket, Want want, uint32_t ms, const StopSignal &stop,
                     std::string &error) {
    if (stop.isRaised())
        return Readiness::Stopped;
    const HANDLE handles[2] = {eventOf(socket),
                               reinterpret_cast<HANDLE>(stop.signal().waitHandle())};
    const int which = waitForObjects(handles, 2, ms, false);
    if (which == 1)
        return Readiness::Stopped;
    if (which == WAIT_TIMED_OUT)
        return Readiness::TimedOut;
    if (which == WAIT_FAILURE) {
        error = errorText(static_cast<int>(GetLastError()));
        return Readiness::Failed;
    }
    // Whatever woke the wait, the caller tries its transfer again. Only a connect needs to know
    // what happened: its outcome comes with its network event.
    if (want != Want::Connect)
        return Readiness::Ready;
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(socketOf(socket), eventOf(socket), &events) != 0) {
        error = errorText(WSAGetLastError());
        return Readiness::Failed;
    }
    if ((events.lNetworkEvents & FD_CONNECT) != 0) {
        socket.connectDone = true;
        socket.connectError = events.iErrorCode[FD_CONNECT_BIT];
    }
    return Readiness::Ready;
}

long sendSome(const NativeSocket &socket, const uint8_t *data, std::size_t length) {
    const int sent =
        ::send(socketOf(socket), reinterpret_cast<const char *>(data), static_cast<int>(length), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

long receiveSome(const NativeSocket &socket, uint8_t *buffer, std::size_t capacity) {
    const int received =
        ::recv(socketOf(socket), reinterpret_cast<char *>(buffer), static_cast<int>(capacity), 0);
    return received == SOCKET_ERROR ? -1 : received;
}

} // namespace platform

} // namespace Korval::os
