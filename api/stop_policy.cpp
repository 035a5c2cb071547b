#include "api/stop_policy.h"

#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

namespace Korval {

namespace {

[[noreturn]] void stopHost(const std::string &text) {
    os::showErrorBox(text + "\n\nVantrel will be terminated.", KorvalCanInterface::MSG_BOX_TITLE);
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

} // namespace Korval
