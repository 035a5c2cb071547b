"""The one kind of frame the gateway carries, and the library's words for every other.

The library stops its host process when it is given any other frame, so the bus refuses such a
frame here, before the library sees it, with the text the library would show.
"""

import ctypes

import can

SDO_REQUEST_FIRST = 0x601  # 0x600 + node 1
SDO_REQUEST_LAST = 0x67F  # 0x600 + node 127
SDO_FRAME_LENGTH = 8

# Message flags of the C interface, for the frame as the library would be given it.
canMSG_RTR = 0x0001
canMSG_STD = 0x0002
canMSG_EXT = 0x0004
canMSG_ERROR_FRAME = 0x0020
canFDMSG_FDF = 0x010000
canFDMSG_BRS = 0x020000
canFDMSG_ESI = 0x040000


def interface_flags(msg: can.Message) -> int:
    flags = canMSG_EXT if msg.is_extended_id else canMSG_STD
    if msg.is_remote_frame:
        flags |= canMSG_RTR
    if msg.is_error_frame:
        flags |= canMSG_ERROR_FRAME
    if msg.is_fd:
        flags |= canFDMSG_FDF
        if msg.bitrate_switch:
            flags |= canFDMSG_BRS
        if msg.error_state_indicator:
            flags |= canFDMSG_ESI
    return flags


def frame_bytes(msg: can.Message) -> bytes:
    """The data bytes as the library is given them: the message's, zero-filled to eight."""
    data = bytes(msg.data or b"")[:SDO_FRAME_LENGTH]
    return data + bytes(SDO_FRAME_LENGTH - len(data))


def refusal(msg: can.Message) -> str:
    """The library's text for a frame it cannot carry, or an empty text for an SDO request."""
    flags = interface_flags(msg)
    if (
        msg.dlc == SDO_FRAME_LENGTH
        and SDO_REQUEST_FIRST <= msg.arbitration_id <= SDO_REQUEST_LAST
        and flags == canMSG_STD
    ):
        return ""
    # The library shows the identifier as a signed 32-bit number and the bytes beyond the
    # frame's length as 00.
    data = frame_bytes(msg)
    shown = bytes(data[i] if i < msg.dlc else 0 for i in range(SDO_FRAME_LENGTH))
    dlc = ctypes.c_uint32(msg.dlc).value
    frame_id = ctypes.c_int32(msg.arbitration_id).value
    return (
        "An invalid parameter was passed to canWrite:\n"
        f"dlc={dlc} id={frame_id} flag={flags} data=" + " ".join(f"{b:02X}" for b in shown)
    )
