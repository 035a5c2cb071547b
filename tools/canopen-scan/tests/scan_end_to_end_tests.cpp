// canopen-scan as a user runs it: a child process that loads canlib32.dll from its folder, shows
// the connect dialog, and prints the nodes of a simulated gateway.
#include "gateway_simulator.h"
#include "support/dialog_driver.h"
#include "support/test_address.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned DIALOG_TIMEOUT_MS = 30000;
constexpr unsigned RUN_TIMEOUT_MS = 60000;
constexpr unsigned POLL_MS = 20;
constexpr unsigned KILL_TIMEOUT_MS = 10000;

std::wstring widen(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring programFolder() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// A child program with its stdout and stderr in one file of its own, killed if still running at
// the end of the test. A file rather than a pipe: a process that Wine starts on the child's
// behalf may inherit the handle and keep it open after the child has ended, and a pipe's reader
// would then wait for an end that never comes; a file is read whenever asked.
class Child {
  public:
    Child(const std::wstring &program, const std::wstring &arguments) {
        wchar_t folder[MAX_PATH] = L"";
        wchar_t path[MAX_PATH] = L"";
        if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"scn", 0, path) == 0)
            return;
        outputPath = path;
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file;
        startup.hStdError = file;
        std::wstring commandLine = L"\"" + program + L"\" " + arguments;
        started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process) != 0;
        CloseHandle(file);
    }
    ~Child() {
        if (started) {
            stop();
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        if (!outputPath.empty())
            DeleteFileW(outputPath.c_str());
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() const { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; }
    DWORD id() const { return process.dwProcessId; }

    // The exit code, or -1 if the child had to be killed after timeoutMs.
    long finish(unsigned timeoutMs) {
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            stop();
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        return static_cast<long>(code);
    }
    // Everything the child printed so far, without carriage returns: all of it once it ended.
    std::string output() const {
        const HANDLE file =
            CreateFileW(outputPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return "(the child's output cannot be read)";
        std::string clean;
        char buffer[512];
        DWORD count = 0;
        while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
            for (DWORD i = 0; i < count; ++i)
                if (buffer[i] != '\r')
                    clean += buffer[i];
        }
        CloseHandle(file);
        return clean;
    }

    bool started = false;

  private:
    void stop() {
        if (running()) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, KILL_TIMEOUT_MS);
        }
    }

    PROCESS_INFORMATION process{};
    std::wstring outputPath;
};

struct DialogSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK considerWindow(HWND window, LPARAM context) {
    auto *search = reinterpret_cast<DialogSearch *>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search->processId && IsWindowVisible(window) &&
        testsupport::className(window) == L"#32770" &&
        testsupport::windowText(window) == testsupport::CONNECT_DIALOG_CAPTION &&
        testsupport::findControls(window).edit != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The connect dialog of that child process only: another test program may show one as well.
HWND waitForDialogOf(Child &child) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < DIALOG_TIMEOUT_MS && child.running()) {
        DialogSearch search{child.id(), nullptr};
        EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        Sleep(POLL_MS);
    }
    return nullptr;
}

std::vector<std::string> splitCells(const std::string &line) {
    std::vector<std::string> cells;
    size_t start = line.find_first_not_of(' ');
    while (start != std::string::npos) {
        size_t end = line.find("  ", start);
        cells.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(' ', end);
    }
    return cells;
}

// The table's rows: the lines that start with a node id, split into cells.
std::vector<std::vector<std::string>> tableRows(const std::string &output) {
    std::vector<std::vector<std::string>> rows;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        const std::vector<std::string> cells = splitCells(output.substr(start, end - start));
        if (!cells.empty() && cells[0].find_first_not_of("0123456789") == std::string::npos)
            rows.push_back(cells);
        start = end + 1;
    }
    return rows;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::vector<std::string> expectedRow(uint8_t node) {
    const korvalsim::NodeInfo info = korvalsim::defaultNodeInfo(node);
    return {std::to_string(node),  hex(info.deviceType), info.deviceName, hex(info.vendorId),
            hex(info.productCode), hex(info.revision),   hex(info.serial)};
}

// Confirming the dialog stores the address for every later process of the prefix; other tests
// expect to find the value as they left it, so it is put back as it was.
class RememberedAddressKeeper {
  public:
    RememberedAddressKeeper() {
        DWORD size = sizeof value - sizeof(wchar_t);
        existed = RegGetValueW(HKEY_CURRENT_USER, KEY, VALUE, RRF_RT_REG_SZ, nullptr, value,
                               &size) == ERROR_SUCCESS;
    }
    ~RememberedAddressKeeper() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        if (existed)
            RegSetValueExW(key, VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                           static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key, VALUE);
        RegCloseKey(key);
    }
    RememberedAddressKeeper(const RememberedAddressKeeper &) = delete;
    RememberedAddressKeeper &operator=(const RememberedAddressKeeper &) = delete;

  private:
    static constexpr const wchar_t *KEY = L"Software\\Brenvox\\CanlibForVantrel";
    static constexpr const wchar_t *VALUE = L"IpAddress";
    wchar_t value[256] = L"";
    bool existed = false;
};

// Test addresses are unique within one Wine session only; another session running at the same
// time may hold one. Such an address is skipped.
constexpr int ADDRESS_ATTEMPTS = 8;

class CanopenScan : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        for (int attempt = 0; attempt < ADDRESS_ATTEMPTS && !simulator; ++attempt) {
            address = testsupport::uniqueLoopbackAddress();
            simulator = std::make_unique<korvalsim::GatewaySimulator>(address);
            simulator->setNodes({5, 10, 3});
            if (!simulator->start(&error))
                simulator.reset();
        }
        ASSERT_TRUE(simulator) << error;
    }

    void expectThreeNodes(const std::string &output) {
        EXPECT_NE(output.find("active nodes: 3, 5, 10\n"), std::string::npos) << output;
        const auto rows = tableRows(output);
        ASSERT_EQ(rows.size(), 3u) << output;
        EXPECT_EQ(rows[0], expectedRow(3)) << output;
        EXPECT_EQ(rows[1], expectedRow(5)) << output;
        EXPECT_EQ(rows[2], expectedRow(10)) << output;
    }

    RememberedAddressKeeper keeper;
    std::string address;
    std::unique_ptr<korvalsim::GatewaySimulator> simulator;
    const std::wstring folder = programFolder();
};

TEST_F(CanopenScan, ListsEveryNodeOfTheGatewayTypedIntoTheDialog) {
    Child scan(folder + L"canopen-scan.exe", L"--listen 3");
    ASSERT_TRUE(scan.started);
    const HWND dialog = waitForDialogOf(scan);
    ASSERT_NE(dialog, nullptr) << scan.output();
    testsupport::setHostText(dialog, widen(address));
    ASSERT_TRUE(testsupport::pressEnter(dialog));
    EXPECT_EQ(scan.finish(RUN_TIMEOUT_MS), 0) << scan.output();
    expectThreeNodes(scan.output());
}

// The demo's way: answer-dialog plays the user; the scan waits through notification messages.
TEST_F(CanopenScan, NotifiedScanAnsweredByTheDemoHelper) {
    Child scan(folder + L"canopen-scan.exe", L"--notify");
    ASSERT_TRUE(scan.started);
    Child answer(folder + L"answer-dialog.exe",
                 widen(address) + L" --timeout 30 --process " + std::to_wstring(scan.id()));
    ASSERT_TRUE(answer.started);
    EXPECT_EQ(answer.finish(RUN_TIMEOUT_MS), 0) << answer.output();
    EXPECT_EQ(scan.finish(RUN_TIMEOUT_MS), 0) << scan.output();
    const std::string output = scan.output();
    expectThreeNodes(output);
    unsigned notifications = 0;
    const size_t at = output.find("receive notifications: ");
    ASSERT_NE(at, std::string::npos) << output;
    std::sscanf(output.c_str() + at, "receive notifications: %u", &notifications);
    // At least one per heartbeat poll and one per SDO answer.
    EXPECT_GE(notifications, 3u * 6u) << output;
}

// Holds address:502 bound but not listening: connections to it are refused, and no other
// program can listen there meanwhile.
class RefusingAddress {
  public:
    RefusingAddress() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        for (int attempt = 0; attempt < ADDRESS_ATTEMPTS; ++attempt) {
            address = testsupport::uniqueLoopbackAddress();
            socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(502);
            where.sin_addr.s_addr = inet_addr(address.c_str());
            if (::bind(socket_, reinterpret_cast<const sockaddr *>(&where), sizeof where) == 0)
                return;
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }
    ~RefusingAddress() {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        WSACleanup();
    }
    RefusingAddress(const RefusingAddress &) = delete;
    RefusingAddress &operator=(const RefusingAddress &) = delete;

    bool held() const { return socket_ != INVALID_SOCKET; }
    std::string address;

  private:
    SOCKET socket_ = INVALID_SOCKET;
};

TEST(CanopenScanFailures, NothingListeningMeansNoHeartbeatAndExitCodeOne) {
    RefusingAddress refusing;
    ASSERT_TRUE(refusing.held());
    const std::string &nowhere = refusing.address;
    Child scan(programFolder() + L"canopen-scan.exe", L"--listen 2");
    ASSERT_TRUE(scan.started);
    const HWND dialog = waitForDialogOf(scan);
    ASSERT_NE(dialog, nullptr) << scan.output();
    testsupport::setHostText(dialog, widen(nowhere));
    // The close box uses the typed address for this session without storing it.
    ASSERT_TRUE(testsupport::closeWithCloseBox(dialog));
    const DWORD closed = GetTickCount();
    EXPECT_EQ(scan.finish(RUN_TIMEOUT_MS), 1) << scan.output();
    const DWORD elapsed = GetTickCount() - closed;
    EXPECT_GE(elapsed, 1900u);
    EXPECT_LE(elapsed, 2000u + 5000u);
    const std::string output = scan.output();
    EXPECT_NE(output.find("canopen-scan: no heartbeat from any node within 2 s: is the gateway "
                          "address right?\n"),
              std::string::npos)
        << output;
    EXPECT_TRUE(tableRows(output).empty()) << output;
}

TEST(CanopenScanFailures, MissingDllIsNamed) {
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"canopen-scan-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring copy = folder + L"canopen-scan.exe";
    ASSERT_TRUE(CopyFileW((programFolder() + L"canopen-scan.exe").c_str(), copy.c_str(), FALSE));
    std::string output;
    long code = 0;
    {
        Child scan(copy, L"");
        ASSERT_TRUE(scan.started);
        code = scan.finish(RUN_TIMEOUT_MS);
        output = scan.output();
    }
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_EQ(code, 1) << output;
    EXPECT_NE(output.find("canopen-scan: cannot load "), std::string::npos) << output;
    EXPECT_NE(output.find("canlib32.dll"), std::string::npos) << output;
}

TEST(CanopenScanFailures, HelpAndBadArguments) {
    Child help(programFolder() + L"canopen-scan.exe", L"--help");
    ASSERT_TRUE(help.started);
    EXPECT_EQ(help.finish(RUN_TIMEOUT_MS), 0);
    EXPECT_EQ(help.output().rfind("usage: canopen-scan", 0), 0u) << help.output();
    Child bad(programFolder() + L"canopen-scan.exe", L"--listen soon");
    ASSERT_TRUE(bad.started);
    EXPECT_EQ(bad.finish(RUN_TIMEOUT_MS), 2);
    EXPECT_NE(bad.output().find("--listen takes seconds"), std::string::npos) << bad.output();
}

} // namespace
