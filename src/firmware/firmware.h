// Firmware: reading an image of Intel HEX lines, and downloading it into the FX2 while its
// CPU is held in reset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorix {

struct DeviceRecord;

inline constexpr std::uint8_t kRequestFirmwareLoad = 0xA0;
inline constexpr std::uint16_t kCpucsAddress = 0xE600;  // bit 0 holds the CPU in reset
inline constexpr std::uint32_t kRecordDataMax = 16;

// One line of an image, as read: nothing is interpreted here.
struct FirmwareRecord {
  std::uint8_t length;  // data bytes, 0 to 16
  std::uint16_t address;
  std::int32_t type;                  // 0 data, 1 end of file, every other value kept as it stands
  std::uint8_t data[kRecordDataMax];  // the first length bytes are defined
};

// The records of an image in file order, one per line; the storage is the port's heap.
struct FirmwareList {
  FirmwareRecord* records;
  std::uint32_t count;
  std::uint32_t capacity;
};

// Frees the records and empties the list.
void ReleaseFirmwareList(FirmwareList* list);

// Reads the image file at path (opened as text) into list, which is overwritten at entry
// and holds the records only on success: 0, or -1 when the file cannot be opened or read,
// or a line is malformed (no ':' first, a byte count over 16, a line too short for its
// fields, a field that does not convert as hexadecimal), or memory runs out, or the image
// has more than 16,777,216 lines. The file is closed on every path.
int ReadFirmwareImage(const char* path, FirmwareList* list);
// The same reader over size bytes in memory, cut into lines as the file reader cuts them.
int ReadFirmwareText(const char* text, std::size_t size, FirmwareList* list);

// Holds the CPU in reset, writes the data records before the first record of another type
// in list order, one request each, and releases the CPU; the first failed request's status
// ends it. When the record that ends the download is not an end-of-file record and data
// records follow it before any end-of-file record, -1 comes back before anything is sent.
int DownloadFirmware(const DeviceRecord* device, const FirmwareList* list);

}  // namespace quorix
