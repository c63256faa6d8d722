// Board services: the board firmware's vendor requests for port D, the FPGA mode and the
// EEPROM, and the startup command stored in the EEPROM.
#pragma once

#include <cstdint>

namespace quorix {

struct DeviceRecord;

inline constexpr std::uint8_t kRequestEeprom = 0xB0;
inline constexpr std::uint8_t kRequestPortD = 0xB2;
inline constexpr std::uint8_t kRequestFpgaMode = 0xB3;

// Reads count bytes at address of the EEPROM at select: an address-only write sets the
// read position, then a data read fills buffer. The read is not sent when the address
// request fails, and buffer is written only when the read succeeds.
int ReadEeprom(const DeviceRecord* device, std::uint8_t select, std::uint16_t address,
               std::uint8_t count, std::uint8_t* buffer);
// Writes count bytes at address in one request that carries the address, high byte first,
// in front of the data. -1 without data for a non-zero count, or without memory.
int WriteEeprom(const DeviceRecord* device, std::uint8_t select, std::uint16_t address,
                std::uint8_t count, const std::uint8_t* data);

}  // namespace quorix
