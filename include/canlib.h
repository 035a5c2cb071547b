/*
 * canlib.h: the C interface of canlib32.dll, the CAN driver that reaches CANopen nodes
 * through a Brenvox KORVAL gateway, and of libcanlib.so.1, the same library for Linux. Host
 * programs include this header and load or link the library. All functions use the C calling
 * convention.
 */
#ifndef CANLIB_H
#define CANLIB_H

#include <stdint.h>

#ifdef _WIN32
#define CANLIBAPI __cdecl
#elif defined(__GNUC__)
/* The Linux library is built with hidden visibility: these functions are its whole face. */
#define CANLIBAPI __attribute__((visibility("default")))
#else
#define CANLIBAPI
#endif

#ifdef __cplusplus
extern "C" {
/* The unsupported functions take any arguments and never read them. */
#define CANLIB_ANY_ARGUMENTS ...
#else
#define CANLIB_ANY_ARGUMENTS
#endif

typedef int32_t canStatus;
typedef int32_t canHandle;

/* Status codes */
#define canOK 0
#define canERR_PARAM (-1)
#define canERR_NOMSG (-2)
#define canERR_NOTFOUND (-3)  /* Linux: canOpenChannel found no gateway named, see stderr */
#define canERR_NOMEM (-4)     /* Linux: the system refused memory, see stderr */
#define canERR_HARDWARE (-15) /* also Linux: the gateway's firmware closed the link */
#define canERR_INTERNAL (-30) /* Linux: the system refused a thread or another resource */
#define canERR_NOT_IMPLEMENTED (-32)

/* Message flags and status bits */
#define canMSG_STD 0x0002
#define canSTAT_RX_PENDING 0x00000020

/* Notification: the window message announcing received frames, and its lParam */
#define canNOTIFY_RX 0x0001
#define WM__CANLIB 17378
#define canEVENT_RX 32000

/* Channel data items */
#define canCHANNELDATA_CHANNEL_FLAGS 3
#define canCHANNELDATA_CARD_TYPE 4
#define canCHANNELDATA_CHAN_NO_ON_CARD 6
#define canCHANNELDATA_CARD_SERIAL_NO 7
#define canCHANNELDATA_CHANNEL_NAME 13
#define canHWTYPE_VIRTUAL 1

/* I/O control codes */
#define canIOCTL_CLEAR_ERROR_COUNTERS 5
#define canIOCTL_SET_TIMER_SCALE 6
#define canIOCTL_GET_RX_BUFFER_LEVEL 8
#define canIOCTL_GET_TX_BUFFER_LEVEL 9
#define canIOCTL_FLUSH_RX_BUFFER 10
#define canIOCTL_FLUSH_TX_BUFFER 11
#define canIOCTL_GET_TIMER_SCALE 12
#define canIOCTL_GET_EVENTHANDLE 14
#define canIOCTL_SET_LOCAL_TXECHO 32

/* Bus output control */
#define canDRIVER_NORMAL 4

/* Library */
void CANLIBAPI canInitializeLibrary(void);
void CANLIBAPI canUnloadLibrary(void);
canStatus CANLIBAPI canGetErrorText(canStatus errCode, char *buf, uint32_t bufSize);

/* Channel lifecycle and channel information */
canHandle CANLIBAPI canOpenChannel(int32_t channel, int32_t flags);
canStatus CANLIBAPI canClose(canHandle canHdl);
canStatus CANLIBAPI canSetNotify(canHandle canHdl, void *aHWnd, uint32_t aNotifyFlags);
canStatus CANLIBAPI canGetNumberOfChannels(int32_t *countPtr);
canStatus CANLIBAPI canGetChannelData(int32_t channel, int32_t item, void *buf, uint32_t bufSize);

/* Frame transmission and reception */
canStatus CANLIBAPI canWrite(canHandle canHdl, int32_t id, const void *msg, uint32_t dlc,
                             uint32_t flag);
canStatus CANLIBAPI canWriteWait(canHandle canHdl, int32_t id, const void *msg, uint32_t dlc,
                                 uint32_t flag, uint32_t timeOut);
canStatus CANLIBAPI canWriteSync(canHandle canHdl, uint32_t timeout);
canStatus CANLIBAPI canRead(canHandle canHdl, int32_t *id, void *msg, uint32_t *dlc, uint32_t *flag,
                            uint32_t *time);
canStatus CANLIBAPI canReadWait(canHandle canHdl, int32_t *id, void *msg, uint32_t *dlc,
                                uint32_t *flag, uint32_t *time, uint32_t timeOut);
canStatus CANLIBAPI canReadStatus(canHandle canHdl, uint32_t *flags);
uint32_t CANLIBAPI canReadTimer(canHandle canHdl);
canStatus CANLIBAPI canFlushReceiveQueue(canHandle canHdl);
canStatus CANLIBAPI canFlushTransmitQueue(canHandle canHdl);

/* I/O control and bus parameters */
canStatus CANLIBAPI canIoCtl(canHandle canHdl, uint32_t func, void *buf, uint32_t buflen);
canStatus CANLIBAPI canSetBusParams(canHandle canHdl, int32_t bitRate, uint32_t tSeg1,
                                    uint32_t tSeg2, uint32_t sjw, uint32_t noSamp,
                                    uint32_t syncMode);
canStatus CANLIBAPI canTranslateBaud(int32_t *bitRate, uint32_t *tSeg1, uint32_t *tSeg2,
                                     uint32_t *sjw, uint32_t *noSamp, uint32_t *syncMode);
canStatus CANLIBAPI canGetBusParams(canHandle canHdl, int32_t *bitRate, uint32_t *tSeg1,
                                    uint32_t *tSeg2, uint32_t *sjw, uint32_t *noSamp,
                                    uint32_t *syncMode);
canStatus CANLIBAPI canSetBitrate(canHandle canHdl, int32_t bitRate);
uint32_t CANLIBAPI canSetBusParamsC200(canHandle canHdl, uint8_t btr0, uint8_t btr1);
canStatus CANLIBAPI canGetBusStatistics(canHandle canHdl, void *stat, uint32_t bufSize);
canStatus CANLIBAPI canRequestBusStatistics(canHandle canHdl);
canStatus CANLIBAPI canBusOn(canHandle canHdl);
canStatus CANLIBAPI canBusOff(canHandle canHdl);
canStatus CANLIBAPI canSetBusOutputControl(canHandle canHdl, uint32_t drivertype);
canStatus CANLIBAPI canGetBusOutputControl(canHandle canHdl, uint32_t *driverType);
canStatus CANLIBAPI canAccept(canHandle canHdl, int32_t envelope, uint32_t flag);
canStatus CANLIBAPI canSetAcceptanceFilter(canHandle canHdl, uint32_t code, uint32_t mask,
                                           int32_t isExtended);
canStatus CANLIBAPI canReadErrorCounters(canHandle canHdl, uint32_t *txErr, uint32_t *rxErr,
                                         uint32_t *ovErr);
canStatus CANLIBAPI canRequestChipStatus(canHandle canHdl);
canStatus CANLIBAPI canResetBus(canHandle canHdl);
uint32_t CANLIBAPI canGetDriverMode(canHandle canHdl, int32_t *lineMode, int32_t *resNet);

/*
 * Functions the gateway cannot serve. Each one shows a message naming itself and ends the
 * host process with exit code 1; none of them returns.
 */
/* Handle data and version */
canStatus CANLIBAPI canGetHandleData(CANLIB_ANY_ARGUMENTS);
uint16_t CANLIBAPI canGetVersion(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canProbeVersion(CANLIB_ANY_ARGUMENTS);
uint32_t CANLIBAPI canGetVersionEx(CANLIB_ANY_ARGUMENTS);

/* Further read and wait variants */
canStatus CANLIBAPI canReadSpecific(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canReadSpecificSkip(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canReadSyncSpecific(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canReadSync(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canWaitForEvent(CANLIB_ANY_ARGUMENTS);

/* Driver mode */
canStatus CANLIBAPI canSetDriverMode(CANLIB_ANY_ARGUMENTS);

/* Object buffers */
canStatus CANLIBAPI canObjBufFreeAll(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufAllocate(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufFree(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufWrite(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufSetFilter(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufSetFlags(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufSetPeriod(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufSetMsgCount(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufEnable(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufDisable(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canObjBufSendBurst(CANLIB_ANY_ARGUMENTS);

/* Parameter store */
canStatus CANLIBAPI canParamGetCount(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamCommitChanges(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamDeleteEntry(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamCreateNewEntry(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamSwapEntries(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamGetName(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamGetChannelNumber(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamGetBusParams(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamSetName(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamSetChannelNumber(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamSetBusParams(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canParamFindByName(CANLIB_ANY_ARGUMENTS);

/* CAN FD bus parameters */
canStatus CANLIBAPI canGetBusParamsFd(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI canSetBusParamsFd(CANLIB_ANY_ARGUMENTS);

/* Device functions */
canStatus CANLIBAPI kvBeep(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvDeviceGetMode(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvDeviceSetMode(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvFlashLeds(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvSelfTest(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvReadDeviceCustomerData(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvGetSupportedInterfaceInfo(CANLIB_ANY_ARGUMENTS);

/* Files on the device */
canStatus CANLIBAPI kvFileCopyFromDevice(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvFileCopyToDevice(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvFileDelete(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvFileGetCount(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvFileGetName(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvFileGetSystemData(CANLIB_ANY_ARGUMENTS);

/* Ping and device timers */
canStatus CANLIBAPI kvPingRequest(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvPingGetLatest(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvReadTimer(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvReadTimer64(CANLIB_ANY_ARGUMENTS);

/* Scripts */
canStatus CANLIBAPI kvScriptStart(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptStop(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptUnload(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptSendEvent(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptStatus(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptRequestText(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptGetText(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptLoadFileOnDevice(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptLoadFile(CANLIB_ANY_ARGUMENTS);

/* Script environment variables */
int64_t CANLIBAPI kvScriptEnvvarOpen(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarClose(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarSetInt(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarGetInt(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarSetFloat(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarGetFloat(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarSetData(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvScriptEnvvarGetData(CANLIB_ANY_ARGUMENTS);

/* Notification callback */
canStatus CANLIBAPI kvSetNotifyCallback(CANLIB_ANY_ARGUMENTS);

/* Time domains */
canStatus CANLIBAPI kvTimeDomainCreate(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvTimeDomainDelete(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvTimeDomainResetTime(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvTimeDomainAddHandle(CANLIB_ANY_ARGUMENTS);
canStatus CANLIBAPI kvTimeDomainRemoveHandle(CANLIB_ANY_ARGUMENTS);
#ifdef __cplusplus
}
#endif

#endif /* CANLIB_H */
