// The download: the FX2's own 0xA0 request writes each data record into its memory while
// the CPU is held in reset through CPUCS.
#include "driver/requests.h"
#include "firmware/firmware.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace quorix {

namespace {

constexpr std::int32_t kTypeData = 0;
constexpr std::int32_t kTypeEndOfFile = 1;

int WriteCpucs(const DeviceRecord* device, std::uint8_t value) {
  return VendorOut(device, kRequestFirmwareLoad, kCpucsAddress, 0, 1, &value);
}

// Where the download stops: the first record that is not data, or the list's end.
std::uint32_t DownloadEnd(const FirmwareList* list) {
  std::uint32_t end = 0;
  while (end < list->count && list->records[end].type == kTypeData) ++end;
  return end;
}

// Data behind an extended-address or start-address record, and before an end-of-file
// record, would be left out while the download reported success. What follows an
// end-of-file record is not part of the image.
bool LeavesDataUnsent(const FirmwareList* list, std::uint32_t end) {
  for (std::uint32_t i = end; i < list->count; ++i) {
    if (list->records[i].type == kTypeEndOfFile) return false;
    if (list->records[i].type == kTypeData) return true;
  }
  return false;
}

}  // namespace

int DownloadFirmware(const DeviceRecord* device, const FirmwareList* list) {
  const std::uint32_t end = DownloadEnd(list);
  if (LeavesDataUnsent(list, end)) return QUORIX_ERR_FAILED;
  int status = WriteCpucs(device, 0x01);
  if (status != QUORIX_OK) return status;
  for (std::uint32_t i = 0; i < end; ++i) {
    const FirmwareRecord& record = list->records[i];
    status = VendorOut(device, kRequestFirmwareLoad, record.address, 0, record.length, record.data);
    if (status != QUORIX_OK) return status;  // the CPU stays in reset
  }
  return WriteCpucs(device, 0x00);
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixLoadFirmware(QuorixHandle device, const char* path) {
  return quorix::OnBoard(device, true,
                         [&](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
                           quorix::FirmwareList list{};
                           const int read = quorix::ReadFirmwareImage(path, &list);
                           if (read != QUORIX_OK) return read;
                           const int status = quorix::DownloadFirmware(record, &list);
                           quorix::ReleaseFirmwareList(&list);
                           return status;
                         });
}

}  // extern "C"
