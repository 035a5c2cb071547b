// Reading until a frame with a given identifier comes, as a host that waits for one answer does.
#pragma once

#include "canlib.h"
#include "support/eventually.h"

namespace testsupport {

// False if none came within timeoutMs.
inline bool readUntil(int32_t wanted, unsigned timeoutMs) {
    return eventually(
        [wanted] {
            int32_t id = 0;
            return canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 500) == canOK &&
                   id == wanted;
        },
        timeoutMs);
}

} // namespace testsupport
