// The names of the C API's exports, which every build of the library must offer.
#pragma once

namespace quorix::test {

inline constexpr const char* kApiFunctions[] = {
    "QuorixCountDevices",         "QuorixGetDeviceSerialNumber", "QuorixOpenDevice",
    "QuorixOpenDeviceWithSerial", "QuorixCloseDevice",           "QuorixNumberOfBytesAvailable",
    "QuorixReadDevice",           "QuorixWriteDevice",           "QuorixSetTimeOut",
    "QuorixSetPortDOutputs",      "QuorixSetPortDOutputsExt",    "QuorixGetPortDOutputs",
    "QuorixSetPortDOutputEnable", "QuorixSetConfFpgaMode",       "QuorixReadEprom",
    "QuorixWriteEprom",           "QuorixSetStartupCommand",     "QuorixLoadFirmware",
    // Beyond the classic calls.
    "QuorixOpenDeviceQueued",     "QuorixGetReadQueue",          "QuorixGetStreamStatistics",
    "QuorixGetReadyHandle",       "QuorixSetReadyThreshold",     "QuorixWaitForBytes",
    "QuorixRegisterPlugCallback", "QuorixUnregisterPlugCallback"};
static_assert(sizeof kApiFunctions / sizeof kApiFunctions[0] == 26);

}  // namespace quorix::test
