// main for Win32 test programs that use child scenarios: the same program is both the GoogleTest
// runner and, started with --child-scenario=NAME, the child that runs one scenario.
#include "child_process.h"
#include "os/win32_text.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kUnknownScenarioExitCode = 3;

// The wide command line, because main's narrow argv loses what the ANSI code page cannot hold.
std::vector<std::wstring> wideArguments() {
    int count = 0;
    LPWSTR *list = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    if (list == nullptr)
        return arguments;
    arguments.assign(list, list + count);
    LocalFree(list);
    return arguments;
}

} // namespace

int main(int argc, char **argv) {
    const std::wstring prefix = L"--child-scenario=";
    const std::vector<std::wstring> arguments = wideArguments();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string name = Korval::os::narrow(arguments[i].substr(prefix.size()));
        const testsupport::Scenario scenario = testsupport::detail::findScenario(name);
        if (scenario == nullptr) {
            std::fprintf(stderr, "unknown scenario: %s\n", name.c_str());
            return kUnknownScenarioExitCode;
        }
        testsupport::detail::setChildArguments(
            {arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end()});
        scenario();
        // Exit code 0 tells the parent that the scenario returned.
        std::fflush(stdout);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
