#include "registry/discovery.h"

#include <cstring>

#include "quorix/quorix.h"
#include "registry/registry.h"

namespace quorix {

namespace {

inline constexpr std::uint32_t kMinimumDetail = 8;

// Adds the interface whose detail block is given; the block is taken on success. Returns 0
// (added, known or skipped) or -1 (the refresh must end).
int AddInterface(std::uint8_t*& marks, void* block) {
  const char* path = static_cast<const char*>(block) + port::kDetailPathOffset;
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    const char* known = InterfacePathText(gRegistry.records[i]);
    if (known != nullptr && std::strcmp(known, path) == 0) {
      marks[i] = 1;
      port::Free(block);
      return QUORIX_OK;
    }
  }
  port::Handle driver =
      port::OpenPath(path, kAccessReadWrite, kShareReadWrite, kOpenExisting, kFlagOverlapped);
  if (driver == nullptr) {
    // No record; the next refresh tries this interface again.
    port::Free(block);
    return QUORIX_OK;
  }
  DeviceRecord* record = NewDeviceRecord(driver, block);
  const bool added =
      record != nullptr && ResizeStorage(marks, gRegistry.count + 1) && AppendDeviceRecord(record);
  if (!added) {
    if (record != nullptr) {
      // The connection is the caller's to give back.
      record->driver = nullptr;
      record->interface_path = nullptr;
      DisposeDeviceRecord(record);
      port::Free(record);
    }
    (void)port::CloseHandle(driver);
    port::Free(block);
    return QUORIX_ERR_FAILED;
  }
  marks[gRegistry.count - 1] = 1;
  ReadIdentity(record);
  return QUORIX_OK;
}

// Strips and removes the records whose interface was not listed again.
void Prune(std::uint8_t* marks) {
  std::uint32_t i = 0;
  while (i < gRegistry.count) {
    DeviceRecord* record = gRegistry.records[i];
    if (marks[i] != 0) {
      ++i;
      continue;
    }
    {
      // Calls of other threads may be using the connection of an open record.
      const std::lock_guard board(record->sync->lock);
      if (record->driver != nullptr) ResetBulkPipes(record);
      DropConnection(record);
    }
    if (record->open != 0) {
      // Gone but open: it stays until its caller closes it.
      ++i;
      continue;
    }
    DisposeDeviceRecord(record);
    const std::uint32_t last = gRegistry.count - 1;
    RemoveDeviceRecord(i);
    marks[i] = marks[last];
    port::Free(record);
    i = 0;
  }
}

// Walks the listing; 0 when it ended normally, -1 otherwise.
int WalkListing(port::Handle listing, std::uint8_t*& marks) {
  for (std::uint32_t k = 0;; ++k) {
    port::InterfaceData data{};
    data.size = port::kInterfaceDataSize;
    if (!port::NextInterface(listing, k, &data))
      return port::LastError() == port::error::kNoMoreItems ? QUORIX_OK : QUORIX_ERR_FAILED;

    std::uint32_t required = 0;
    (void)port::InterfaceDetail(listing, &data, nullptr, 0, &required);
    if (required == 0) return QUORIX_ERR_FAILED;
    // Room for the size field even when the platform asks for less, and one zero byte more
    // than asked, so that the path text is terminated whatever the platform wrote.
    const std::uint32_t room = (required < kMinimumDetail ? kMinimumDetail : required) + 1;
    auto* block = static_cast<std::uint8_t*>(port::Allocate(room));
    if (block == nullptr) return QUORIX_ERR_FAILED;
    std::memset(block, 0, room);
    const std::uint32_t size_field = port::kDetailSizeField;
    std::memcpy(block, &size_field, sizeof size_field);
    if (!port::InterfaceDetail(listing, &data, block, required, nullptr)) {
      port::Free(block);
      continue;
    }
    if (AddInterface(marks, block) != QUORIX_OK) return QUORIX_ERR_FAILED;
  }
}

}  // namespace

int RefreshDevices() {
  std::uint8_t* marks = nullptr;
  if (!ResizeStorage(marks, gRegistry.count)) return QUORIX_ERR_FAILED;
  if (marks != nullptr) std::memset(marks, 0, gRegistry.count);
  port::Handle listing = port::OpenListing();
  if (listing == nullptr) {
    port::Free(marks);
    return QUORIX_ERR_FAILED;
  }
  int result = WalkListing(listing, marks);
  if (result == QUORIX_OK) Prune(marks);
  port::Free(marks);
  port::CloseListing(listing);
  return result;
}

int CountMatchingDevices(std::uint16_t vendor, std::uint16_t product, std::uint32_t* count) {
  const int result = RefreshDevices();
  if (result != QUORIX_OK) return result;
  std::uint32_t matching = 0;
  for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
    const DeviceRecord* record = GetDeviceAt(i);
    if (record->vendor_id == vendor && record->product_id == product) ++matching;
  }
  if (count != nullptr) *count = matching;
  return QUORIX_OK;
}

DeviceRecord* FindDeviceByIndex(std::uint16_t vendor, std::uint16_t product, std::uint32_t index) {
  if (RefreshDevices() != QUORIX_OK) return nullptr;
  std::uint32_t matching = 0;
  for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
    DeviceRecord* record = GetDeviceAt(i);
    if (record->vendor_id != vendor || record->product_id != product) continue;
    if (matching == index) return record;
    ++matching;
  }
  return nullptr;
}

void ReadIdentity(DeviceRecord* record) {
  std::uint8_t descriptor[kDeviceDescriptorSize];
  if (GetDescriptor(record, kDescriptorDevice, sizeof descriptor, descriptor, 0) != QUORIX_OK)
    return;
  auto word = [&](int offset) {
    return static_cast<std::uint16_t>(descriptor[offset] | descriptor[offset + 1] << 8);
  };
  record->vendor_id = word(8);
  record->product_id = word(10);
  record->release_number = word(12);
  record->manufacturer = FetchStringDescriptor(record, descriptor[14]);
  record->product = FetchStringDescriptor(record, descriptor[15]);
  record->serial = FetchStringDescriptor(record, descriptor[16]);
}

int GetDescriptor(const DeviceRecord* device, std::uint8_t type, std::uint16_t length,
                  std::uint8_t* buffer, std::uint8_t index) {
  // No language ID: wIndex is 0 for string descriptors too.
  const ControlRequest request{kDirectionIn,
                               kTypeStandard,
                               kRecipientDevice,
                               6,
                               static_cast<std::uint16_t>(type << 8 | index),
                               0};
  return ControlTransfer(device, &request, length, buffer);
}

int ReadStringDescriptor(const DeviceRecord* device, std::uint8_t index, std::uint32_t* capacity,
                         char* buffer) {
  if (capacity == nullptr) return QUORIX_ERR_FAILED;
  const std::uint32_t given = *capacity;
  std::uint8_t length = 0;
  int status = GetDescriptor(device, kDescriptorString, 1, &length, index);
  if (status != QUORIX_OK) return status;
  if (length < 2) return QUORIX_ERR_FAILED;
  const std::uint32_t characters = (length - 2u) / 2u;
  *capacity = characters;
  if (buffer == nullptr) return QUORIX_OK;
  if (given < characters) return QUORIX_ERR_FAILED;

  auto* block = static_cast<std::uint8_t*>(port::Allocate(length));
  if (block == nullptr) return QUORIX_ERR_FAILED;
  status = GetDescriptor(device, kDescriptorString, length, block, index);
  if (status != QUORIX_OK) {
    port::Free(block);
    return status;
  }
  // The low byte of each UTF-16LE unit, without code-page conversion.
  for (std::uint32_t j = 0; j < characters; ++j) buffer[j] = static_cast<char>(block[2 + 2 * j]);
  buffer[characters] = '\0';
  port::Free(block);
  return QUORIX_OK;
}

char* FetchStringDescriptor(const DeviceRecord* device, std::uint8_t index) {
  std::uint32_t characters = 0;
  if (ReadStringDescriptor(device, index, &characters, nullptr) != QUORIX_OK) return nullptr;
  auto* text = static_cast<char*>(port::Allocate(characters + 1));
  if (text == nullptr) return nullptr;
  if (ReadStringDescriptor(device, index, &characters, text) != QUORIX_OK) {
    port::Free(text);
    return nullptr;
  }
  return text;
}

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixCountDevices(int32_t* count) {
  const std::lock_guard registry(quorix::gRegistryLock);
  std::uint32_t matching = 0;
  const int status = quorix::CountMatchingDevices(QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID, &matching);
  if (status == QUORIX_OK && count != nullptr) *count = static_cast<int32_t>(matching);
  return status;
}

QUORIX_API const char* QUORIX_CALL QuorixGetDeviceSerialNumber(int32_t index) {
  const std::lock_guard registry(quorix::gRegistryLock);
  // A negative index becomes an unsigned one beyond any count, so it matches nothing.
  const quorix::DeviceRecord* record = quorix::FindDeviceByIndex(
      QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID, static_cast<std::uint32_t>(index));
  return record == nullptr ? nullptr : record->serial;
}

}  // extern "C"
