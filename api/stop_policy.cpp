#include "api/stop_policy.h"

#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

#include <cstdio>

namespace Korval {

namespace {

const char CLOSING_WORDS[] = "\n\nVantrel will be terminated.";

[[noreturn]] void stopHost(const std::string &text) {
    os::showErrorBox(text + CLOSING_WORDS, KorvalCanInterface::MSG_BOX_TITLE);
    os::endProcess(1);
}

} // namespace

int32_t notImplemented(const std::string &msg) {
    os::writeTrace(msg);
    stopHost(msg + " function not implemented!");
}

int32_t invalidParameter(const std::string &msg) {
    stopHost(msg);
}

void stopForFailure(const char *functionName, const char *reason) noexcept {
    char trace[256];
    char box[384];
    std::snprintf(trace, sizeof trace, "%s: %s", functionName, reason);
    std::snprintf(box, sizeof box, "%s failed: %s%s", functionName, reason, CLOSING_WORDS);
    os::stopAfterFailure(trace, box, KorvalCanInterface::MSG_BOX_TITLE);
}

} // namespace Korval
