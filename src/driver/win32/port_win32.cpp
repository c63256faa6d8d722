// The port over Win32: each operation is the system call it is named after, handed the
// caller's records as they are. The CyUSB driver does the rest.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <cstddef>
#include <cstdlib>

#include "driver/platform_thread.h"
#include "driver/port.h"
#include "driver/requests.h"

namespace quorix::port {

// The core's records are the system's: handed over without copying, so they must match.
static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, internal_high) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, offset_high) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(InterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA));
static_assert(offsetof(InterfaceData, flags) == offsetof(SP_DEVICE_INTERFACE_DATA, Flags));
static_assert(offsetof(InterfaceData, reserved) == offsetof(SP_DEVICE_INTERFACE_DATA, Reserved));
static_assert(kInterfaceDataSize == sizeof(SP_DEVICE_INTERFACE_DATA));
static_assert(kDetailSizeField == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
static_assert(kDetailPathOffset == offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));

namespace {

// The CyUSB driver's interface class, {AE18AA60-7F6A-11D4-97DD-00010229B959}.
const GUID kInterfaceClass = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

// DIGCF_PRESENT | DIGCF_DEVICEINTERFACE.
constexpr DWORD kListingFlags = 0x12;

// INVALID_HANDLE_VALUE is the system's failure; the core's is null.
Handle OrNull(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

}  // namespace

Handle OpenListing() {
  return OrNull(SetupDiGetClassDevsA(&kInterfaceClass, nullptr, nullptr, kListingFlags));
}

bool NextInterface(Handle listing, std::uint32_t index, InterfaceData* data) {
  return SetupDiEnumDeviceInterfaces(listing, nullptr, &kInterfaceClass, index,
                                     reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data)) != FALSE;
}

bool InterfaceDetail(Handle listing, const InterfaceData* data, void* block,
                     std::uint32_t block_size, std::uint32_t* required) {
  DWORD needed = 0;
  const BOOL done = SetupDiGetDeviceInterfaceDetailA(
      listing, reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(const_cast<InterfaceData*>(data)),
      static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block), block_size, &needed, nullptr);
  if (required != nullptr) *required = needed;
  return done != FALSE;
}

void CloseListing(Handle listing) { SetupDiDestroyDeviceInfoList(listing); }

Handle OpenPath(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t creation,
                std::uint32_t flags) {
  return OrNull(CreateFileA(path, access, share, nullptr, creation, flags, nullptr));
}

bool CloseHandle(Handle handle) { return ::CloseHandle(handle) != FALSE; }

bool IoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped) {
  DWORD count = 0;
  BOOL done = FALSE;
  if (overlapped != nullptr) {
    done = DeviceIoControl(device, code, in, in_size, out, out_size, &count,
                           reinterpret_cast<OVERLAPPED*>(overlapped));
  } else {
    // The driver handle is opened for overlapped I/O, where a request without a record of its
    // own may come back pending (997) or, waited for on the handle, be taken as done when the
    // outstanding read completes: the caller would free its buffer under the driver. So a
    // synchronous request gets a record and an event of its own and is waited for to its end.
    OVERLAPPED own{};
    own.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (own.hEvent == nullptr) return false;
    done = DeviceIoControl(device, code, in, in_size, out, out_size, &count, &own);
    if (!done && GetLastError() == ERROR_IO_PENDING)
      done = GetOverlappedResult(device, &own, &count, TRUE);
    const DWORD error = GetLastError();
    ::CloseHandle(own.hEvent);
    ::SetLastError(error);
  }
  if (returned != nullptr) *returned = count;
  return done != FALSE;
}

bool OverlappedResult(Handle device, Overlapped* overlapped, std::uint32_t* bytes) {
  DWORD count = 0;
  const BOOL done =
      GetOverlappedResult(device, reinterpret_cast<OVERLAPPED*>(overlapped), &count, FALSE);
  if (bytes != nullptr) *bytes = count;
  return done != FALSE;
}

// An abort of the bulk-IN pipe, asked only while no read is outstanding on it: it ends nothing,
// goes no further than the driver, and fails once the board has gone.
bool DriverConnected(Handle device) {
  std::uint8_t endpoint = kEndpointBulkIn;
  return IoControl(device, kIoctlAbortPipe, &endpoint, 1, nullptr, 0, nullptr, nullptr);
}

std::uint32_t LastError() { return GetLastError(); }
void SetLastError(std::uint32_t error) { ::SetLastError(error); }

Handle NewEvent(bool initially_signalled) {
  return CreateEventA(nullptr, TRUE, initially_signalled ? TRUE : FALSE, nullptr);
}

bool ClearEvent(Handle event) { return ResetEvent(event) != FALSE; }
bool SignalEvent(Handle event) { return SetEvent(event) != FALSE; }

std::uint32_t WaitEvent(Handle event, std::uint32_t milliseconds) {
  return WaitForSingleObject(event, milliseconds);
}

// The C runtime's heap; a zero-byte request still gets a block of its own.
void* Allocate(std::size_t size) { return std::malloc(size != 0 ? size : 1); }
void* Reallocate(void* block, std::size_t size) {
  return std::realloc(block, size != 0 ? size : 1);
}
void Free(void* block) { std::free(block); }

std::uint32_t ProcessId() { return GetCurrentProcessId(); }
Handle ProcessSelf() { return GetCurrentProcess(); }
void Pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

// The system releases everything of a process's own.
Handle StartThread(void (*body)(void*), void* argument) {
  return platform::StartThread(body, argument);
}
void JoinThread(Handle thread) { platform::JoinThread(thread); }
// Not told of changes yet: the core walks the listing at its interval.
Handle OpenPlugWatch() { return nullptr; }
bool WaitPlugChange(Handle, std::uint32_t) { return false; }
void WakePlugWatch(Handle) {}
void ClosePlugWatch(Handle) {}

std::uint64_t MonotonicMicroseconds() { return platform::MonotonicMicroseconds(); }

void ReleaseProcessState() {}

}  // namespace quorix::port
