// The registry's operations, the validation gate, the release routines and process attach
// and detach.
#pragma once

#include <cstdint>

#include "quorix/quorix.h"
#include "registry/device_record.h"

namespace quorix {

// Resources held in records are released only if present and their field is cleared at
// once, so every release routine works on partly filled records and nothing is released
// twice.
inline void CloseField(port::Handle& handle) {
  if (handle == nullptr) return;
  (void)port::CloseHandle(handle);
  handle = nullptr;
}

template <typename T>
void FreeField(T*& block) {
  if (block == nullptr) return;
  port::Free(block);
  block = nullptr;
}

// Grows or shrinks a heap array to count entries; count 0 releases it. False (array
// untouched) when the heap refuses. The tables are sized to their count this way.
template <typename T>
bool ResizeStorage(T*& array, std::uint32_t count) {
  if (count == 0) {
    FreeField(array);
    return true;
  }
  void* resized = port::Reallocate(array, sizeof(T) * count);
  if (resized == nullptr) return false;
  array = static_cast<T*>(resized);
  return true;
}

// A device handle is its record's address; only the gate says whether it is one of ours.
inline DeviceRecord* RecordOfHandle(QuorixHandle handle) {
  return reinterpret_cast<DeviceRecord*>(handle);
}
inline QuorixHandle HandleOfRecord(DeviceRecord* record) {
  return reinterpret_cast<QuorixHandle>(record);
}

std::uint32_t GetDeviceCount();
// The record at position, or null when position is not below the count.
DeviceRecord* GetDeviceAt(std::uint32_t position);
// Appends at the end; false (registry unchanged) when the storage cannot grow.
bool AppendDeviceRecord(DeviceRecord* record);
// Takes the record out of its position; the last record moves there. The caller has released
// what the record held, and frees the record itself.
void RemoveDeviceRecord(std::uint32_t position);
// The position of the record, or the count when it is not in the registry. Compares
// addresses only, so any handle value is safe to look up.
std::uint32_t FindDevicePosition(const void* handle);

// 0, or -1 not in the registry, -2 no driver handle (when required), -4 not open or not ours.
int ValidateDevice(const void* handle, bool driver_required);

// Whether the transfer of the overlapped record is still in the driver's hands.
bool TransferOutstanding(port::Handle driver, port::Overlapped* overlapped);
// Closes the record's driver handle, which ends every transfer still on it, and drops its
// interface path: the record is then one whose board has gone, and the next discovery finds
// the board anew. For a board that was not listed again, and for transfers that an abort
// failed to end.
void DropConnection(DeviceRecord* record);

// Aborts and resets both bulk pipes of a record with a driver handle; when the abort did not
// end its read, drops the connection, so that nothing targets the ring afterwards.
void EndBulkTransfers(DeviceRecord* record);

// Releases what the open state holds and marks the record closed. Always 0.
int ReleaseOpenDevice(std::uint32_t position);
// Marks the record closed without owner, closes the two events and frees the ring and bounce
// buffers, whichever are present. Sends nothing to the board.
void ReleaseOpenState(DeviceRecord* record);
// Releases everything the record still holds so that it can be dropped.
void DisposeDeviceRecord(DeviceRecord* record);

void ProcessAttach();
void ProcessDetach();

}  // namespace quorix
