#include "registry/registry.h"

#include "quorix/quorix.h"

namespace quorix {

DeviceRegistry gRegistry{};
ProcessTable gProcesses{};

std::uint32_t GetDeviceCount() { return gRegistry.count; }

DeviceRecord* GetDeviceAt(std::uint32_t position) {
  return position < gRegistry.count ? gRegistry.records[position] : nullptr;
}

bool AppendDeviceRecord(DeviceRecord* record) {
  if (!ResizeStorage(gRegistry.records, gRegistry.count + 1)) return false;
  gRegistry.records[gRegistry.count++] = record;
  return true;
}

void RemoveDeviceRecord(std::uint32_t position) {
  gRegistry.count -= 1;
  gRegistry.records[position] = gRegistry.records[gRegistry.count];
  // A failed shrink keeps the larger storage; only the count matters.
  (void)ResizeStorage(gRegistry.records, gRegistry.count);
}

std::uint32_t FindDevicePosition(const void* handle) {
  std::uint32_t position = 0;
  while (position < gRegistry.count && gRegistry.records[position] != handle) ++position;
  return position;
}

int ValidateDevice(const void* handle, bool driver_required) {
  const DeviceRecord* record = GetDeviceAt(FindDevicePosition(handle));
  if (record == nullptr) return QUORIX_ERR_FAILED;
  if (driver_required && record->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
  if (record->open == 0) return QUORIX_ERR_NOT_OPEN;
  if (record->owner_pid != port::ProcessId()) return QUORIX_ERR_NOT_OPEN;
  return QUORIX_OK;
}

bool TransferOutstanding(port::Handle driver, port::Overlapped* overlapped) {
  std::uint32_t bytes = 0;
  if (port::OverlappedResult(driver, overlapped, &bytes)) return false;
  // When the question itself fails, the status word still tells, as HasOverlappedIoCompleted
  // reads it.
  return port::LastError() == port::error::kIoIncomplete ||
         overlapped->internal == port::kStatusPending;
}

void DropConnection(DeviceRecord* record) {
  CloseField(record->driver);
  FreeField(record->interface_path);
}

int ReleaseOpenDevice(std::uint32_t position) {
  DeviceRecord* record = gRegistry.records[position];
  if (record->driver != nullptr) EndBulkTransfers(record);
  ReleaseOpenState(record);
  return QUORIX_OK;
}

void EndBulkTransfers(DeviceRecord* record) {
  ResetBulkPipes(record);
  // A read that the abort did not end would go on into the ring about to be freed.
  if (ReadPosted(record) && TransferOutstanding(record->driver, &record->read_overlapped))
    DropConnection(record);
}

void ReleaseOpenState(DeviceRecord* record) {
  record->open = 0;
  record->owner_pid = 0;
  CloseField(record->write_overlapped.event);
  CloseField(record->read_overlapped.event);
  FreeField(record->bounce);
  FreeField(record->ring);
}

void DisposeDeviceRecord(DeviceRecord* record) {
  // The pipes are always reset before the driver handle is closed.
  if (record->driver != nullptr) ResetBulkPipes(record);
  ReleaseOpenState(record);
  FreeField(record->manufacturer);
  FreeField(record->product);
  FreeField(record->serial);
  FreeField(record->interface_path);
  CloseField(record->driver);
}

void ProcessAttach() {
  const std::uint32_t wanted = gProcesses.count + 1;
  if (gProcesses.count == 0) {
    gRegistry.count = 0;
    gRegistry.records = nullptr;
  }
  // When no room can be had the process is simply not recorded.
  if (!ResizeStorage(gProcesses.entries, wanted)) return;
  gProcesses.entries[gProcesses.count++] = ProcessEntry{port::ProcessSelf(), port::ProcessId()};
}

namespace {

// The last process leaves: every record is released and both tables are left without storage.
void TearDown() {
  for (std::uint32_t i = 0; i < gRegistry.count; ++i)
    if (gRegistry.records[i]->open != 0) ReleaseOpenDevice(i);
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    DisposeDeviceRecord(gRegistry.records[i]);
    port::Free(gRegistry.records[i]);
  }
  FreeField(gRegistry.records);
  gRegistry.count = 0;
  FreeField(gProcesses.entries);
}

}  // namespace

void ProcessDetach() {
  // No process recorded: this one's attach found no room. It is still the only user of what
  // its calls built, which would otherwise stay behind, driver handles and reads included.
  if (gProcesses.count == 0) {
    TearDown();
    return;
  }
  const std::uint32_t pid = port::ProcessId();
  std::uint32_t entry = 0;
  while (entry < gProcesses.count && gProcesses.entries[entry].pid != pid) ++entry;
  if (entry == gProcesses.count) return;

  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    const DeviceRecord* record = gRegistry.records[i];
    if (record->owner_pid == pid && record->open != 0) ReleaseOpenDevice(i);
  }

  gProcesses.count -= 1;
  gProcesses.entries[entry] = gProcesses.entries[gProcesses.count];
  if (gProcesses.count != 0) {
    (void)ResizeStorage(gProcesses.entries, gProcesses.count);
    return;
  }
  TearDown();
}

}  // namespace quorix
