#pragma once
// Result codes shared by every layer: 0 is success, 1..255 a device's refusal (the
// answer's command byte), 1001..1053 link, frame and connection failures, -1 only where
// an operation says so.

namespace vx4 {

enum ResultCode : int {
    OK = 0,
    LINK_BAD_ARGUMENT = 1001,
    LINK_NOT_OPEN = 1003,
    LINK_NO_MEMORY = 1007,
    LINK_WRITE_FAILED = 1010,
    LINK_READ_FAILED = 1011,
    FRAME_CHECK_FAILED = 1013,
    ECHO_WRONG_ADDRESS = 1014,
    ECHO_WRONG_COMMAND = 1015,
    LINK_TIMEOUT = 1016,
    FRAME_LENGTH_ERROR = 1017,
    PORT_GET_STATE_FAILED = 1051,
    PORT_SET_STATE_FAILED = 1052,
    PORT_SET_MASK_FAILED = 1053,
    // The user stopped an operation between its exchanges (a download, an events read);
    // never a failure of the line and never shown as one.
    OPERATION_CANCELLED = 1100,
    // A download's local side: the file could not be written (the system's errno tells
    // why), or its file system has less free space than the device announced.
    LOCAL_WRITE_FAILED = 1101,
    LOCAL_NO_SPACE = 1102,
};

// Device result codes the console knows by name.
enum DeviceCode : int {
    DEV_NO_DATA = 246,
    DEV_FILE_WRITE_ERROR = 247,
    DEV_FILE_NOT_OPEN = 248,
    DEV_SLAVE_ERROR = 249,
    DEV_NO_CONFIG = 250,
    DEV_BUSY = 251,
    DEV_BAD_COMMAND = 252,
    DEV_BAD_PARAMETER = 253,
    DEV_INIT_ERROR = 254,
};

} // namespace vx4
