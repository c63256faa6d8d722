#include "registry/registry.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "driver/trace.h"
#include "quorix/quorix.h"
#include "registry/plug.h"
#include "stream/stream.h"

namespace quorix {

DeviceRegistry gRegistry{};
ProcessTable gProcesses{};
std::mutex gRegistryLock;

namespace {
// How long a process's detach waits for calls of its other threads to leave its boards.
constexpr std::uint32_t kDetachWaitMs = 2000;
}  // namespace

DeviceRecord* NewDeviceRecord(port::Handle driver, void* interface_path) {
  auto* record = static_cast<DeviceRecord*>(port::Allocate(sizeof(DeviceRecord)));
  if (record == nullptr) return nullptr;
  std::memset(record, 0, sizeof(DeviceRecord));
  void* sync = port::Allocate(sizeof(BoardSync));
  if (sync == nullptr) {
    port::Free(record);
    return nullptr;
  }
  record->sync = new (sync) BoardSync;
  record->driver = driver;
  record->interface_path = interface_path;
  record->timeout = kDefaultTimeout;
  record->ring_size = kRingSize;
  static std::uint64_t next_plug_id = 0;  // under the registry's lock, as every new record
  record->plug_id = ++next_plug_id;
  return record;
}

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
  if (record->open == 0 || record->closing != 0) return QUORIX_ERR_NOT_OPEN;
  if (record->owner_pid != port::ProcessId()) return QUORIX_ERR_NOT_OPEN;
  return QUORIX_OK;
}

int BoardUsable(const DeviceRecord* record, bool driver_required) {
  if (record->open == 0 || record->closing != 0) return QUORIX_ERR_NOT_OPEN;
  if (driver_required && record->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
  return QUORIX_OK;
}

void Unpin(DeviceRecord* record) {
  record->sync->users.fetch_sub(1, std::memory_order_relaxed);
  if (record->closing != 0) record->sync->changed.notify_all();
}

void DropConnectionOnBoard(DeviceRecord* record, BoardLock& lock) {
  Pin(record);
  lock.unlock();
  {
    const std::lock_guard registry(gRegistryLock);
    lock.lock();
    DropConnection(record);
  }
  Unpin(record);
}

void BeginClosing(DeviceRecord* record) {
  record->closing = 1;
  if (record->driver != nullptr) {
    EndBulkTransfers(record);
    // A write its abort did not end would keep its caller waiting, and the close with it.
    if (record->driver != nullptr && record->writing != 0 &&
        TransferOutstanding(record->driver, &record->write_overlapped))
      DropConnection(record);
  }
  WakePump(record);
  UpdateReady(record);
  record->sync->changed.notify_all();
}

bool AwaitLeaving(DeviceRecord* record, std::uint32_t limit_ms) {
  BoardLock lock(record->sync->lock);
  auto left = [record] { return record->sync->users.load(std::memory_order_relaxed) == 0; };
  if (limit_ms == port::kInfinite) {
    record->sync->changed.wait(lock, left);
    return true;
  }
  return record->sync->changed.wait_for(lock, std::chrono::milliseconds(limit_ms), left);
}

bool TransferOutstanding(port::Handle driver, port::Overlapped* overlapped) {
  std::uint32_t bytes = 0;
  if (DriverResult(driver, overlapped, &bytes)) return false;
  // When the question itself fails, the status word still tells, as HasOverlappedIoCompleted
  // reads it.
  return port::LastError() == port::error::kIoIncomplete ||
         overlapped->internal == port::kStatusPending;
}

void DropConnection(DeviceRecord* record) {
  CloseField(record->driver);
  FreeField(record->interface_path);
  UpdateReady(record);
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
  if ((ReadPosted(record) && TransferOutstanding(record->driver, &record->read_overlapped)) ||
      QueuedReadOutstanding(record))
    DropConnection(record);
}

void ReleaseOpenState(DeviceRecord* record) {
  record->open = 0;
  record->owner_pid = 0;
  record->closing = 0;
  record->reading = 0;
  record->writing = 0;
  record->read_waiting = 0;
  CloseField(record->write_overlapped.event);
  CloseField(record->read_overlapped.event);
  // The ready signal outlives the open state, ready: a thread that polls it while another
  // closes the device wakes to a descriptor that is still there, never to one closed under it
  // (or, worse, made anew for something else). It goes with the record, or serves its next open.
  record->ready_threshold = 0;
  UpdateReady(record);
  ReleaseQueue(record);
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
  if (record->ready != nullptr) {
    port::CloseReadySignal(record->ready);
    record->ready = nullptr;
  }
  if (record->sync != nullptr) {
    record->sync->~BoardSync();
    FreeField(record->sync);
  }
}

#ifndef _WIN32
namespace {

// A child has only the thread that forked: the locks that the parent's other threads held, and
// the conditions they waited on, would never be given back. The table's lock and the port's are
// taken around fork (the table's first, as every call takes them); the boards' locks cannot be,
// since a call may hold one for long (a startup command), so the child makes them afresh. The
// child may use none of the parent's open devices, and no call of its own is inside any yet.
void BeforeFork() {
  PlugBeforeFork();
  gRegistryLock.lock();
  port::PrepareFork();
}
void ParentAfterFork() {
  port::ParentAfterFork();
  gRegistryLock.unlock();
  PlugParentAfterFork();
}
void ChildAfterFork() {
  port::ChildAfterFork();
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) new (gRegistry.records[i]->sync) BoardSync;
  gRegistryLock.unlock();
  PlugChildAfterFork();
}

}  // namespace
#endif

void ProcessAttach() {
#ifndef _WIN32
  // Once for each load of the library: unloading it removes its handlers.
  static const bool fork_handled =
      pthread_atfork(BeforeFork, ParentAfterFork, ChildAfterFork) == 0;
  (void)fork_handled;
#endif
  const std::lock_guard registry(gRegistryLock);
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

using Clock = std::chrono::steady_clock;

// Whether a call of another thread is still inside the record: counted there, or holding its
// board (a call that the detach could not wait out).
bool InUse(DeviceRecord* record) {
  if (CallsInside(record)) return true;
  if (!record->sync->lock.try_lock()) return true;
  record->sync->lock.unlock();
  return false;
}

// The last process leaves: every record is released and both tables are left without storage.
// A record that a call of another thread is still inside is left as it is, not freed.
void TearDown() {
  for (std::uint32_t i = 0; i < gRegistry.count; ++i)
    if (gRegistry.records[i]->open != 0 && !InUse(gRegistry.records[i])) ReleaseOpenDevice(i);
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    DeviceRecord* record = gRegistry.records[i];
    if (InUse(record)) continue;
    DisposeDeviceRecord(record);
    port::Free(record);
  }
  FreeField(gRegistry.records);
  gRegistry.count = 0;
  FreeField(gProcesses.entries);
}

// Waits, without any lock, until the record's board is free, or until the deadline: whether it
// was. The board is not kept, since the registry's lock comes first.
bool AwaitBoard(DeviceRecord* record, Clock::time_point deadline) {
  for (;;) {
    if (record->sync->lock.try_lock()) {
      record->sync->lock.unlock();
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Ends the calls that threads of the process still make on its open devices: waiting reads
// and writes are woken by the close of their pipes and return -4; the rest return when their
// request ends. A board that a call holds (a startup command pauses between its requests) is
// waited for as close does, without the registry's lock. All of it within one limit: a board
// still held then, or a call still inside, is left as it is.
void EndCallsOfProcess(std::unique_lock<std::mutex>& registry, std::uint32_t pid) {
  auto ours = [pid](const DeviceRecord* record) {
    return record->open != 0 && record->owner_pid == pid;
  };
  const auto deadline = Clock::now() + std::chrono::milliseconds(kDetachWaitMs);
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    DeviceRecord* record = gRegistry.records[i];
    if (!ours(record) || record->closing != 0) continue;
    BoardLock board(record->sync->lock, std::try_to_lock);
    if (!board.owns_lock()) {
      if (Clock::now() >= deadline) continue;
      // Pinned, the record outlives a close of another thread meanwhile.
      Pin(record);
      bool free = true;
      do {
        registry.unlock();
        free = AwaitBoard(record, deadline);
        registry.lock();
      } while (free && !board.try_lock());
      Unpin(record);
      if (board.owns_lock() && ours(record) && record->closing == 0) BeginClosing(record);
      // The table may have changed meanwhile: from the start again.
      i = static_cast<std::uint32_t>(-1);
      continue;
    }
    // With the board, a call still inside is counted.
    BeginClosing(record);
  }
  for (;;) {
    DeviceRecord* busy = nullptr;
    for (std::uint32_t i = 0; i < gRegistry.count && busy == nullptr; ++i)
      if (ours(gRegistry.records[i]) && CallsInside(gRegistry.records[i]))
        busy = gRegistry.records[i];
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (busy == nullptr || left.count() <= 0) return;
    // Open records stay in the registry meanwhile: nobody else removes them.
    registry.unlock();
    const bool gone = AwaitLeaving(busy, static_cast<std::uint32_t>(left.count()));
    registry.lock();
    if (!gone) return;
  }
}

}  // namespace

void ProcessDetach(bool process_ending) {
  // The watcher refreshes the table: it goes first. At a Windows process's end it is gone.
  if (!process_ending) StopPlugWatcher(2000);
  std::unique_lock registry(gRegistryLock, std::defer_lock);
  // At a Windows process's end, a thread that was ended inside a call may have kept the lock;
  // the system takes back what the process holds anyway.
  if (process_ending) {
    if (!registry.try_lock()) return;
  } else {
    registry.lock();
  }
  // No process recorded: this one's attach found no room. It is still the only user of what
  // its calls built, which would otherwise stay behind, driver handles and reads included.
  if (gProcesses.count == 0) {
    if (!process_ending) EndCallsOfProcess(registry, port::ProcessId());
    TearDown();
    return;
  }
  const std::uint32_t pid = port::ProcessId();
  std::uint32_t entry = 0;
  while (entry < gProcesses.count && gProcesses.entries[entry].pid != pid) ++entry;
  if (entry == gProcesses.count) return;

  if (!process_ending) EndCallsOfProcess(registry, pid);
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    DeviceRecord* record = gRegistry.records[i];
    if (record->owner_pid != pid || record->open == 0 || InUse(record)) continue;
    JoinPump(record);  // it has left: a pump is counted inside while it runs
    if (record->closing != 0) {
      // Its pipes were ended already.
      const std::lock_guard board(record->sync->lock);
      ReleaseOpenState(record);
    } else {
      ReleaseOpenDevice(i);
    }
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
