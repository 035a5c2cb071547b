#include "socket_faults.h"

#include "import_patch.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
#include <string>

namespace testsupport {

namespace {

const char WINSOCK[] = "ws2_32.dll";
constexpr DWORD LOOKUP_GUARD_MS = 20000;

std::atomic<int> faultLength{-1};
std::atomic<SendFault> faultKind{SendFault::Short};
std::atomic<bool> faultTaken{false};
std::atomic<SOCKET> faultedSocket{INVALID_SOCKET};

std::chrono::steady_clock::time_point faultStart;

int WSAAPI faultySend(SOCKET socket, const char *data, int length, int flags) {
    if (length == faultLength && !faultTaken.exchange(true)) {
        faultStart = std::chrono::steady_clock::now();
        faultedSocket = socket;
        OutputDebugStringA("host: send fault\r\n");
    }
    if (socket != faultedSocket)
        return send(socket, data, length, flags);
    if (faultKind == SendFault::Short)
        return send(socket, data, length / 2, flags);
    WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}

int WSAAPI closingSocket(SOCKET socket) {
    SOCKET faulted = socket;
    if (faultedSocket.compare_exchange_strong(faulted, INVALID_SOCKET)) {
        const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - faultStart);
        OutputDebugStringA(
            ("host: send fault ended after " + std::to_string(lasted.count()) + " ms\r\n").c_str());
    }
    return closesocket(socket);
}

// Set before the lookup is patched, read only by the DLL's lookups after.
std::string lookupName, lookupAddress;
HANDLE lookupStarted = nullptr, lookupRelease = nullptr;

INT WSAAPI testLookup(PCSTR node, PCSTR service, const ADDRINFOA *hints, PADDRINFOA *result) {
    if (node == nullptr || lookupName != node)
        return getaddrinfo(node, service, hints, result);
    if (lookupStarted == nullptr)
        return getaddrinfo(lookupAddress.c_str(), service, hints, result);
    SetEvent(lookupStarted);
    WaitForSingleObject(lookupRelease, LOOKUP_GUARD_MS);
    *result = nullptr;
    return WSAHOST_NOT_FOUND;
}

} // namespace

bool putSendFault(HMODULE dll, int length, SendFault fault) {
    faultLength = length;
    faultKind = fault;
    return replaceImport(dll, WINSOCK, "closesocket",
                         reinterpret_cast<const void *>(&closingSocket)) &&
           replaceImport(dll, WINSOCK, "send", reinterpret_cast<const void *>(&faultySend));
}

bool mapHostName(HMODULE dll, const std::string &name, const std::string &address) {
    lookupName = name;
    lookupAddress = address;
    return replaceImport(dll, WINSOCK, "getaddrinfo", reinterpret_cast<const void *>(&testLookup));
}

bool blockHostName(HMODULE dll, const std::string &name, HANDLE started, HANDLE release) {
    lookupName = name;
    lookupStarted = started;
    lookupRelease = release;
    return replaceImport(dll, WINSOCK, "getaddrinfo", reinterpret_cast<const void *>(&testLookup));
}

} // namespace testsupport
