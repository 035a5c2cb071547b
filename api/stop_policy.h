// How the library refuses what it cannot serve: a message box naming the reason, then the end
// of the host process with exit code 1. The declared results reach no caller.
#pragma once

#include <cstdint>
#include <string>

namespace Korval {

int32_t notImplemented(const std::string &msg);
int32_t invalidParameter(const std::string &msg);

} // namespace Korval
