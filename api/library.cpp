// The library frame: start-up and unload, error texts, and the functions the gateway cannot
// serve, each of which stops the host with a message naming itself.
#include "api/stop_policy.h"
#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "os/os.h"

#include <cstdio>
#include <string>

using namespace Korval;

extern "C" {

void CANLIBAPI canInitializeLibrary(void) {
    guarded("canInitializeLibrary", [&] { KorvalCanInterface::Initialize(); });
}

void CANLIBAPI canUnloadLibrary(void) {
    guarded("canUnloadLibrary", [&] { os::writeTrace("canUnloadLibrary"); });
}

canStatus CANLIBAPI canGetErrorText(canStatus errCode, char *buf, uint32_t bufSize) {
    return guarded("canGetErrorText", [&]() -> canStatus {
        os::writeTrace("canGetErrorText", "err=" + std::to_string(errCode));
        // No room for even the terminating NUL: refuse rather than touch the caller's memory.
        if (buf == nullptr || bufSize == 0)
            return canERR_PARAM;
        std::snprintf(buf, bufSize, "CAN error %d", static_cast<int>(errCode));
        return canOK;
    });
}

// Each names itself exactly as exported, and never returns.
#define UNSUPPORTED(result, name)                                                                  \
    result CANLIBAPI name(...) {                                                                   \
        return guarded(#name, [] { return static_cast<result>(notImplemented(#name)); });          \
    }

// clang-format off
UNSUPPORTED(canStatus, canGetHandleData)
UNSUPPORTED(uint16_t, canGetVersion)
UNSUPPORTED(canStatus, canProbeVersion)
UNSUPPORTED(uint32_t, canGetVersionEx)
UNSUPPORTED(canStatus, canReadSpecific)
UNSUPPORTED(canStatus, canReadSpecificSkip)
UNSUPPORTED(canStatus, canReadSyncSpecific)
UNSUPPORTED(canStatus, canReadSync)
UNSUPPORTED(canStatus, canWaitForEvent)
UNSUPPORTED(canStatus, canSetDriverMode)
UNSUPPORTED(canStatus, canObjBufFreeAll)
UNSUPPORTED(canStatus, canObjBufAllocate)
UNSUPPORTED(canStatus, canObjBufFree)
UNSUPPORTED(canStatus, canObjBufWrite)
UNSUPPORTED(canStatus, canObjBufSetFilter)
UNSUPPORTED(canStatus, canObjBufSetFlags)
UNSUPPORTED(canStatus, canObjBufSetPeriod)
UNSUPPORTED(canStatus, canObjBufSetMsgCount)
UNSUPPORTED(canStatus, canObjBufEnable)
UNSUPPORTED(canStatus, canObjBufDisable)
UNSUPPORTED(canStatus, canObjBufSendBurst)
UNSUPPORTED(canStatus, canParamGetCount)
UNSUPPORTED(canStatus, canParamCommitChanges)
UNSUPPORTED(canStatus, canParamDeleteEntry)
UNSUPPORTED(canStatus, canParamCreateNewEntry)
UNSUPPORTED(canStatus, canParamSwapEntries)
UNSUPPORTED(canStatus, canParamGetName)
UNSUPPORTED(canStatus, canParamGetChannelNumber)
UNSUPPORTED(canStatus, canParamGetBusParams)
UNSUPPORTED(canStatus, canParamSetName)
UNSUPPORTED(canStatus, canParamSetChannelNumber)
UNSUPPORTED(canStatus, canParamSetBusParams)
UNSUPPORTED(canStatus, canParamFindByName)
UNSUPPORTED(canStatus, canGetBusParamsFd)
UNSUPPORTED(canStatus, canSetBusParamsFd)
UNSUPPORTED(canStatus, kvBeep)
UNSUPPORTED(canStatus, kvDeviceGetMode)
UNSUPPORTED(canStatus, kvDeviceSetMode)
UNSUPPORTED(canStatus, kvFlashLeds)
UNSUPPORTED(canStatus, kvSelfTest)
UNSUPPORTED(canStatus, kvReadDeviceCustomerData)
UNSUPPORTED(canStatus, kvGetSupportedInterfaceInfo)
UNSUPPORTED(canStatus, kvFileCopyFromDevice)
UNSUPPORTED(canStatus, kvFileCopyToDevice)
UNSUPPORTED(canStatus, kvFileDelete)
UNSUPPORTED(canStatus, kvFileGetCount)
UNSUPPORTED(canStatus, kvFileGetName)
UNSUPPORTED(canStatus, kvFileGetSystemData)
UNSUPPORTED(canStatus, kvPingRequest)
UNSUPPORTED(canStatus, kvPingGetLatest)
UNSUPPORTED(canStatus, kvReadTimer)
UNSUPPORTED(canStatus, kvReadTimer64)
UNSUPPORTED(canStatus, kvScriptStart)
UNSUPPORTED(canStatus, kvScriptStop)
UNSUPPORTED(canStatus, kvScriptUnload)
UNSUPPORTED(canStatus, kvScriptSendEvent)
UNSUPPORTED(canStatus, kvScriptStatus)
UNSUPPORTED(canStatus, kvScriptRequestText)
UNSUPPORTED(canStatus, kvScriptGetText)
UNSUPPORTED(canStatus, kvScriptLoadFileOnDevice)
UNSUPPORTED(canStatus, kvScriptLoadFile)
UNSUPPORTED(int64_t, kvScriptEnvvarOpen)
UNSUPPORTED(canStatus, kvScriptEnvvarClose)
UNSUPPORTED(canStatus, kvScriptEnvvarSetInt)
UNSUPPORTED(canStatus, kvScriptEnvvarGetInt)
UNSUPPORTED(canStatus, kvScriptEnvvarSetFloat)
UNSUPPORTED(canStatus, kvScriptEnvvarGetFloat)
UNSUPPORTED(canStatus, kvScriptEnvvarSetData)
UNSUPPORTED(canStatus, kvScriptEnvvarGetData)
UNSUPPORTED(canStatus, kvSetNotifyCallback)
UNSUPPORTED(canStatus, kvTimeDomainCreate)
UNSUPPORTED(canStatus, kvTimeDomainDelete)
UNSUPPORTED(canStatus, kvTimeDomainResetTime)
UNSUPPORTED(canStatus, kvTimeDomainAddHandle)
UNSUPPORTED(canStatus, kvTimeDomainRemoveHandle)
// clang-format on

#undef UNSUPPORTED

} // extern "C"
