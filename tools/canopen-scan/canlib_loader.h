// Loads canlib32.dll from the program's own folder at run time and binds the functions the scan
// uses by name, as host programs do: the program runs with whichever DLL lies beside it.
#pragma once

#include "canlib.h"

#include <windows.h>

#include <string>

namespace canopenscan {

struct CanlibFunctions {
    decltype(&::canInitializeLibrary) canInitializeLibrary = nullptr;
    decltype(&::canGetNumberOfChannels) canGetNumberOfChannels = nullptr;
    decltype(&::canGetChannelData) canGetChannelData = nullptr;
    decltype(&::canOpenChannel) canOpenChannel = nullptr;
    decltype(&::canSetBusParams) canSetBusParams = nullptr;
    decltype(&::canBusOn) canBusOn = nullptr;
    decltype(&::canSetNotify) canSetNotify = nullptr;
    decltype(&::canWrite) canWrite = nullptr;
    decltype(&::canRead) canRead = nullptr;
    decltype(&::canReadWait) canReadWait = nullptr;
    decltype(&::canBusOff) canBusOff = nullptr;
    decltype(&::canClose) canClose = nullptr;
};

// Fills functions from canlib32.dll beside this program. False with a readable reason when the
// file cannot be loaded or lacks a function. The DLL stays loaded until the process ends: its
// channel objects live that long.
bool loadCanlib(CanlibFunctions &functions, std::string &error);

} // namespace canopenscan
