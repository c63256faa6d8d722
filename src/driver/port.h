// The one seam below which the operating system lives.
//
// Each library links exactly one port: win32 (SetupAPI, CreateFileA, DeviceIoControl), libusb
// (decodes the driver requests into libusb calls) or sim (a virtual driver and board in
// process). The operations mirror the Windows calls that the library was designed around, so
// every port is handed the same bytes the CyUSB kernel driver receives.
//
// Contract, for every port:
// - The core checks arguments once; ports trust them.
// - A failing operation returns false (or a null handle or pointer) and leaves its Windows
//   error code for LastError(), which the core reads right after the call on the same thread.
// - No operation throws.
// - Every operation may be called from any thread, as the Windows calls may: a transfer may
//   complete, and an event be signalled, on behalf of one thread while another waits for it.
//   The core serialises the calls on one device; the port guards what its devices share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorix::port {

// An opaque handle: a listing, a driver handle or an event. Null means none.
using Handle = void*;

// Layout of the platform's OVERLAPPED record; the win32 port hands it to the system as is.
// The file offset means nothing to a device's requests: ports that learn when a transfer
// completed (sim, libusb) store that moment there, in MonotonicMicroseconds, where Windows
// leaves the zero the core put in before posting.
struct Overlapped {
  std::uintptr_t internal;       // status, written by the driver
  std::uintptr_t internal_high;  // byte count, written by the driver
  std::uint32_t offset;
  std::uint32_t offset_high;
  Handle event;
};
inline void StampCompletion(Overlapped* overlapped, std::uint64_t microseconds) {
  overlapped->offset = static_cast<std::uint32_t>(microseconds);
  overlapped->offset_high = static_cast<std::uint32_t>(microseconds >> 32);
}
inline std::uint64_t CompletionStamp(const Overlapped* overlapped) {
  return (static_cast<std::uint64_t>(overlapped->offset_high) << 32) | overlapped->offset;
}
// The status word of an Overlapped whose request is in progress (STATUS_PENDING).
inline constexpr std::uintptr_t kStatusPending = 0x103;

// Layout of SP_DEVICE_INTERFACE_DATA: what NextInterface fills and InterfaceDetail takes.
struct InterfaceData {
  std::uint32_t size;
  std::uint8_t class_guid[16];
  std::uint32_t flags;
  std::uintptr_t reserved;
};

// The size field SetupAPI expects in a SP_DEVICE_INTERFACE_DATA: 28 on 32-bit builds, 32 on
// 64-bit ones.
inline constexpr std::uint32_t kInterfaceDataSize = sizeof(InterfaceData);

// SP_DEVICE_INTERFACE_DETAIL_DATA_A is a 32-bit size field followed by the path text. Its
// size field must hold the size of the declared record: 5 where it is packed to 1 byte
// (32-bit), 8 where it is padded (64-bit).
inline constexpr std::uint32_t kDetailPathOffset = 4;
inline constexpr std::uint32_t kDetailSizeField = sizeof(void*) == 4 ? 5 : 8;

// Windows error codes the core and the ports use by name.
namespace error {
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kGenFailure = 31;
inline constexpr std::uint32_t kNotSupported = 50;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kInsufficientBuffer = 122;
inline constexpr std::uint32_t kNoMoreItems = 259;
inline constexpr std::uint32_t kOperationAborted = 995;
inline constexpr std::uint32_t kIoIncomplete = 996;
inline constexpr std::uint32_t kIoPending = 997;
inline constexpr std::uint32_t kDeviceNotConnected = 1167;
inline constexpr std::uint32_t kInvalidUserBuffer = 1784;
}  // namespace error

// Results of WaitEvent.
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// ---- Interface listing (SetupAPI), one step per call so that each step can fail alone ----

// The present interfaces of the driver's interface class, in the platform's stable order
// (SetupDiGetClassDevsA with flags 0x12). Null on failure.
Handle OpenListing();
// Fills data (whose size field the caller set to kInterfaceDataSize) for the interface at
// index. False at the end of the listing with LastError() 259, or on another error.
bool NextInterface(Handle listing, std::uint32_t index, InterfaceData* data);
// Without a block (block null, block_size 0): stores the size the detail block needs in
// *required and returns false with 122, as SetupAPI does. With a block whose size field the
// caller set to kDetailSizeField: writes the NUL-terminated path at kDetailPathOffset.
bool InterfaceDetail(Handle listing, const InterfaceData* data, void* block,
                     std::uint32_t block_size, std::uint32_t* required);
void CloseListing(Handle listing);

// ---- Driver handles (CreateFileA, CloseHandle) ----

// Opens an interface path (CreateFileA with no security attributes and no template). Null
// when the path cannot be opened.
Handle OpenPath(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t creation,
                std::uint32_t flags);
// Closes a driver handle or an event.
bool CloseHandle(Handle handle);

// ---- Driver requests (DeviceIoControl, GetOverlappedResult) ----

// Without an overlapped record the call returns once the driver has completed the request.
// With one it may also fail with 997 (pending); the request then completes later through the
// record, whose event is signalled.
//
// Direct transfers (kIoctlDirectTransfer, always with an overlapped record), as the driver
// keeps them:
// - Any number may be in flight on one driver handle at once, on both bulk endpoints, each
//   with an overlapped record and an event of its own, which no other request touches.
// - On one endpoint they complete in the order they were posted: a read's data follows the
//   data of the reads posted before it.
// - An abort of a pipe ends every transfer in flight on it before it returns: each completes,
//   with 995 unless it had completed already, and those that did are the oldest. The buffers
//   are the caller's again, and a reset of the pipe and new transfers work after it.
// - A board that is gone fails each of them with 1167. Closing the handle ends each (995): the
//   libusb port before CloseHandle returns, Windows when the driver sees the handle's cleanup,
//   which under Wine comes a moment after. A buffer is free again once its event is signalled.
// - A transfer the system cannot take for want of memory (on Linux, usbfs's limit on memory in
//   flight, usbfs_memory_mb, 16 MB by default) is refused: this call fails with 8 and the
//   record is not pending. The transfers posted before it go on. (Where libusb cuts a
//   transfer into 16 KiB URBs, as without scatter-gather, a refusal of a later URB shows only
//   as the transfer failing at its completion, with 1117.)
// - The libusb port allocates nothing per posted transfer once a device's pool of transfers
//   has grown to the deepest queue posted on it.
bool IoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped);
// The result of an overlapped request, without waiting: true with the byte count once it has
// completed; false with 996 while it is in progress; false with its error when it failed.
bool OverlappedResult(Handle device, Overlapped* overlapped, std::uint32_t* bytes);
// Whether the board behind a driver handle is still connected, asked of the driver alone:
// nothing reaches the board. False with 1167 (or the driver's own error) once it has gone; true
// when the driver cannot tell. For when no transfer is outstanding whose failure would say so.
bool DriverConnected(Handle device);

std::uint32_t LastError();
// Sets what LastError() gives, as SetLastError does: a traced request keeps its error across
// the writing of its line.
void SetLastError(std::uint32_t error);

// ---- Events (CreateEventA, ResetEvent, WaitForSingleObject) ----

// A manual-reset, unnamed event without security attributes. Null on failure.
Handle NewEvent(bool initially_signalled);
bool ClearEvent(Handle event);
// Signals the event (SetEvent), ending the waits on it: how one thread wakes another that waits
// for a transfer, when what it waits for has happened another way.
bool SignalEvent(Handle event);
// kWaitObject0 when signalled, kWaitTimeout when the time ran out, anything else on failure.
// kInfinite waits without limit.
std::uint32_t WaitEvent(Handle event, std::uint32_t milliseconds);

// ---- Process services ----

// The general heap. Allocate and Reallocate return null when memory runs out; Reallocate then
// leaves the block as it was, and given null it allocates. Free takes null.
void* Allocate(std::size_t size);
void* Reallocate(void* block, std::size_t size);
void Free(void* block);

std::uint32_t ProcessId();
Handle ProcessSelf();
void Pause(std::uint32_t milliseconds);

// A monotonic clock in microseconds, never 0 (the simulated bus's clock in the sim port).
std::uint64_t MonotonicMicroseconds();

// ---- Threads of the library's own ----

// Starts body(argument) on a new thread. Null when no thread can be had, or when the port runs
// without them (the simulated bus on its virtual clock, which one thread at a time drives): the
// core then works without one. On Windows the thread holds a reference to the library's module
// until it ends, so the module cannot be unloaded under it.
Handle StartThread(void (*body)(void*), void* argument);
// Waits for the thread to end and releases it.
void JoinThread(Handle thread);

// ---- Ready signals (an eventfd or pipe on POSIX, an event on Windows) ----
// Native objects of the operating system whatever the port, since the application waits on
// them with its own event loop. One implementation serves every port (platform_ready.cpp).

// A signal that is not ready; null when the system gives none.
Handle NewReadySignal();
// Makes it ready (readable, signalled) or not. Idempotent.
void SetReadySignal(Handle signal, bool ready);
// What the application waits on: the descriptor (POSIX) or the event HANDLE (Windows).
std::intptr_t ReadySignalNative(Handle signal);
void CloseReadySignal(Handle signal);

// ---- Plug notifications ----
// A watch on the boards of the driver's class: the port learns of arrivals and departures
// (libusb hotplug, the configuration manager, the simulated bus's plug calls) and wakes its
// waiter, which then walks the listing. Null when the port cannot tell: the core then walks
// the listing at a fixed interval.
Handle OpenPlugWatch();
// Waits up to milliseconds for a change; true when one may have happened (or WakePlugWatch
// was called), false when the time ran out.
bool WaitPlugChange(Handle watch, std::uint32_t milliseconds);
// Ends a wait in progress, or the next one, at once: from any thread.
void WakePlugWatch(Handle watch);
void ClosePlugWatch(Handle watch);

#ifndef _WIN32
// Around fork() (pthread_atfork, in the order the core calls them): the port takes its locks
// before, gives them back after in the parent, and in the child makes them fresh, since the
// threads that held or waited on them did not come along.
void PrepareFork();
void ParentAfterFork();
void ChildAfterFork();
#endif

// Called once the process has detached: releases what the port holds for the whole process
// (the libusb context), provided that every handle has been closed.
void ReleaseProcessState();

}  // namespace quorix::port
