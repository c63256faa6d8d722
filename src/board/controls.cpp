// Port D and the FPGA configuration mode: one vendor request each, passed through unchanged.
#include "board/board.h"
#include "driver/requests.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace {

constexpr std::uint16_t kPortDOutputs = 0;
constexpr std::uint16_t kPortDOutputEnable = 1;

// The gate, then one vendor request to the device with wValue 0.
int Send(QuorixHandle handle, std::uint8_t request, std::uint16_t index, std::uint16_t length,
         const std::uint8_t* data) {
  return quorix::OnBoard(handle, true,
                         [&](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
                           return quorix::VendorOut(record, request, 0, index, length, data);
                         });
}

}  // namespace

extern "C" {

QUORIX_API int QUORIX_CALL QuorixSetPortDOutputs(QuorixHandle device, uint8_t outputs) {
  return Send(device, quorix::kRequestPortD, kPortDOutputs, 1, &outputs);
}

QUORIX_API int QUORIX_CALL QuorixSetPortDOutputsExt(QuorixHandle device, uint8_t count,
                                                    const uint8_t* bytes) {
  return Send(device, quorix::kRequestPortD, kPortDOutputs, count, bytes);
}

QUORIX_API int QUORIX_CALL QuorixGetPortDOutputs(QuorixHandle device, uint8_t* outputs) {
  return quorix::OnBoard(
      device, true, [&](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
        return quorix::VendorIn(record, quorix::kRequestPortD, 0, kPortDOutputs, 1, outputs);
      });
}

QUORIX_API int QUORIX_CALL QuorixSetPortDOutputEnable(QuorixHandle device, uint8_t enable) {
  return Send(device, quorix::kRequestPortD, kPortDOutputEnable, 1, &enable);
}

QUORIX_API int QUORIX_CALL QuorixSetConfFpgaMode(QuorixHandle device, uint8_t mode) {
  return Send(device, quorix::kRequestFpgaMode, 0, 1, &mode);
}

}  // extern "C"
