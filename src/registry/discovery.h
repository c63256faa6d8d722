// Discovery: keeps the registry in step with the driver's present interfaces, and reads each
// new board's identity over endpoint 0.
#pragma once

#include <cstdint>

#include "registry/device_record.h"

namespace quorix {

inline constexpr std::uint32_t kAccessReadWrite = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
inline constexpr std::uint32_t kShareReadWrite = 3;            // FILE_SHARE_READ | _WRITE
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFlagOverlapped = 0x40000000;

inline constexpr std::uint8_t kDescriptorDevice = 1;
inline constexpr std::uint8_t kDescriptorString = 3;
inline constexpr std::uint16_t kDeviceDescriptorSize = 18;

// 0 when the listing was walked to its end and the registry pruned; -1 otherwise.
int RefreshDevices();
// Refreshes, then counts the records of that identity. count may be null.
int CountMatchingDevices(std::uint16_t vendor, std::uint16_t product, std::uint32_t* count);
// Refreshes, then the index-th record of that identity in registry order; null when there
// is none or the refresh failed.
DeviceRecord* FindDeviceByIndex(std::uint16_t vendor, std::uint16_t product, std::uint32_t index);

void ReadIdentity(DeviceRecord* record);
int GetDescriptor(const DeviceRecord* device, std::uint8_t type, std::uint16_t length,
                  std::uint8_t* buffer, std::uint8_t index);
// capacity counts characters without the NUL; a buffer of capacity c holds c + 1 bytes.
// Without a buffer only the character count is stored through capacity.
int ReadStringDescriptor(const DeviceRecord* device, std::uint8_t index, std::uint32_t* capacity,
                         char* buffer);
// A new NUL-terminated string that the caller owns, or null.
char* FetchStringDescriptor(const DeviceRecord* device, std::uint8_t index);

}  // namespace quorix
