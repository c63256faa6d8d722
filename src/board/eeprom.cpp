// Byte access to the board's EEPROM through the firmware's 0xB0 request.
#include <cstring>

#include "board/board.h"
#include "driver/port.h"
#include "driver/requests.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace quorix {

namespace {

// The EEPROM address leads the data stage high byte first, whatever the host's order.
void PutAddress(std::uint8_t* stage, std::uint16_t address) {
  stage[0] = static_cast<std::uint8_t>(address >> 8);
  stage[1] = static_cast<std::uint8_t>(address);
}

}  // namespace

int ReadEeprom(const DeviceRecord* device, std::uint8_t select, std::uint16_t address,
               std::uint8_t count, std::uint8_t* buffer) {
  std::uint8_t stage[2];
  PutAddress(stage, address);
  const int status = VendorOut(device, kRequestEeprom, 0, select, sizeof stage, stage);
  if (status != QUORIX_OK) return status;
  return VendorIn(device, kRequestEeprom, 0, select, count, buffer);
}

int WriteEeprom(const DeviceRecord* device, std::uint8_t select, std::uint16_t address,
                std::uint8_t count, const std::uint8_t* data) {
  if (count != 0 && data == nullptr) return QUORIX_ERR_FAILED;
  const std::uint16_t length = static_cast<std::uint16_t>(count + 2);
  auto* stage = static_cast<std::uint8_t*>(port::Allocate(length));
  if (stage == nullptr) return QUORIX_ERR_FAILED;
  PutAddress(stage, address);
  if (count != 0) std::memcpy(stage + 2, data, count);
  const int status = VendorOut(device, kRequestEeprom, 0, select, length, stage);
  port::Free(stage);
  return status;
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixReadEprom(QuorixHandle device, uint8_t select, uint16_t address,
                                           uint8_t count, uint8_t* buffer) {
  return quorix::OnBoard(device, true,
                         [&](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
                           return quorix::ReadEeprom(record, select, address, count, buffer);
                         });
}

QUORIX_API int QUORIX_CALL QuorixWriteEprom(QuorixHandle device, uint8_t select, uint16_t address,
                                            uint8_t count, const uint8_t* data) {
  return quorix::OnBoard(device, true,
                         [&](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
                           return quorix::WriteEeprom(record, select, address, count, data);
                         });
}

}  // extern "C"
