#include "api/stop_policy.h"

#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

#include <cstdio>

namespace Korval {

namespace {

const char CLOSING_WORDS[] = "\n\nVantrel will be terminated.";

int32_t stopHost(const std::string &text, int32_t status) {
    os::showErrorBox(text + CLOSING_WORDS, KorvalCanInterface::MSG_BOX_TITLE);
    os::endHostAfterStop();
    return status;
}

} // namespace

int32_t notImplemented(const std::string &msg) {
    os::writeTrace(msg);
    return stopHost(msg + " function not implemented!", canERR_NOT_IMPLEMENTED);
}

int32_t invalidParameter(const std::string &msg) {
    return stopHost(msg, canERR_PARAM);
}

int32_t stopForFailure(const char *functionName, const char *reason, int32_t status) noexcept {
    char trace[256];
    char box[384];
    std::snprintf(trace, sizeof trace, "%s: %s", functionName, reason);
    std::snprintf(box, sizeof box, "%s failed: %s%s", functionName, reason, CLOSING_WORDS);
    os::stopAfterFailure(trace, box, KorvalCanInterface::MSG_BOX_TITLE);
    return status;
}

} // namespace Korval
