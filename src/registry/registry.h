// The registry's operations, the validation gate, the release routines and process attach
// and detach.
#pragma once

#include <cstdint>
#include <mutex>

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

// 0, or -1 not in the registry, -2 no driver handle (when required), -4 not open, closing or
// not ours. Called with the registry's lock held.
int ValidateDevice(const void* handle, bool driver_required);

// ---- Threads ----
// The registry's lock serialises discovery, opening, closing and every change to the tables;
// each board's lock serialises the calls on that board. The registry's is always taken first:
// a thread holding a board's lock never waits for the registry's.
extern std::mutex gRegistryLock;
using BoardLock = std::unique_lock<std::mutex>;

// A new record holding the connection, with its creation values; null when there is no memory.
DeviceRecord* NewDeviceRecord(port::Handle driver, void* interface_path);

// The checks of the gate that can change while a call waits for the board's lock: -4 once the
// device is closing, -2 without a driver handle when one is required.
int BoardUsable(const DeviceRecord* record, bool driver_required);

// A call that lets go of the board's lock while it is inside (to wait for the driver, for its
// turn, for the board) is counted meanwhile, so that a close waits for it to leave: Pin before
// letting go, Unpin with the lock held again.
inline void Pin(DeviceRecord* record) {
  record->sync->users.fetch_add(1, std::memory_order_relaxed);
}
void Unpin(DeviceRecord* record);

// Waits for a driver event (port::WaitEvent's result) with the board's lock let go, so that the
// board's other calls go on meanwhile; the call stays counted inside.
inline std::uint32_t WaitWithoutBoard(DeviceRecord* record, BoardLock& lock, port::Handle event,
                                      std::uint32_t milliseconds) {
  Pin(record);
  lock.unlock();
  const std::uint32_t wait = port::WaitEvent(event, milliseconds);
  lock.lock();
  Unpin(record);
  return wait;
}

// A call on one board: the gate under the registry's lock, then body(record, lock) with the
// board's lock held. Other boards' calls go on meanwhile. Returns the gate's status or body's.
template <typename Body>
int OnBoard(const void* handle, bool driver_required, Body&& body) {
  std::unique_lock registry(gRegistryLock);
  const int gate = ValidateDevice(handle, driver_required);
  if (gate != QUORIX_OK) return gate;
  auto* record = static_cast<DeviceRecord*>(const_cast<void*>(handle));
  // The board's lock while the registry's is still held: nothing can change in between.
  BoardLock lock(record->sync->lock, std::try_to_lock);
  if (lock.owns_lock()) {
    registry.unlock();
    return body(record, lock);
  }
  // Another call has the board: wait for it without the registry's lock, which other boards'
  // calls need.
  Pin(record);
  registry.unlock();
  lock.lock();
  int status = BoardUsable(record, driver_required);
  if (status == QUORIX_OK) status = body(record, lock);
  Unpin(record);
  return status;
}

// Drops the connection from within a call on the board (see DropConnection): the board's lock
// is let go and taken again behind the registry's.
void DropConnectionOnBoard(DeviceRecord* record, BoardLock& lock);

// Starts closing an open record, with both locks held: calls give -4 from now on, the bulk
// pipes are aborted and reset, which ends a waiting read or write, and calls waiting for
// their turn are woken.
void BeginClosing(DeviceRecord* record);
// Calls counted inside the record (see Pin); with its lock held, no other call is inside.
inline bool CallsInside(const DeviceRecord* record) {
  return record->sync->users.load(std::memory_order_relaxed) != 0;
}
// Waits, without the registry's lock, until no call is inside the closing record any more.
// False when they did not all leave within the limit (milliseconds, or without one).
bool AwaitLeaving(DeviceRecord* record, std::uint32_t limit_ms);

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
// Releases everything the record still holds so that it can be dropped, its lock last: no call
// may be inside it any more.
void DisposeDeviceRecord(DeviceRecord* record);

void ProcessAttach();
// process_ending: the whole process is ending and its other threads are gone already (Windows
// at exit), so no call can still be inside the library.
void ProcessDetach(bool process_ending = false);

}  // namespace quorix
