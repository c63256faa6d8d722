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
// ---- Plug notifications ----
// The configuration manager's notification for the driver's interface class where the system
// has it (Windows 8 on); otherwise a message-only window, on a thread of the watch's own, that
// registers for the class's device broadcasts (Wine 8 has only the latter). Either sets the
// watch's event. Both are reached through LoadLibrary, so that the DLL imports neither
// cfgmgr32 nor user32, which only an application that asks for plug events needs.

namespace {

// The configuration manager's filter, as cfgmgr32.h declares it from Windows 8 on.
struct CmNotifyFilter {
  DWORD size;
  DWORD flags;
  DWORD type;  // 0: a device interface class
  DWORD reserved;
  union {
    GUID interface_class;
    HANDLE target;
    WCHAR instance[200];
  } u;
};
static_assert(sizeof(CmNotifyFilter) == 416);
using CmCallback = DWORD(CALLBACK*)(HANDLE, void*, DWORD, void*, DWORD);
using CmRegister = DWORD(WINAPI*)(CmNotifyFilter*, void*, CmCallback, HANDLE*);
using CmUnregister = DWORD(WINAPI*)(HANDLE);

struct DeviceInterfaceFilter {  // DEV_BROADCAST_DEVICEINTERFACE_A
  DWORD size;
  DWORD type;
  DWORD reserved;
  GUID interface_class;
  char name[1];
};
constexpr DWORD kDeviceInterfaceType = 5;  // DBT_DEVTYP_DEVICEINTERFACE
constexpr UINT kDeviceChange = 0x0219;     // WM_DEVICECHANGE
constexpr UINT kEndWatch = WM_APP + 0x51;

// The user32 calls the window's thread makes.
struct User {
  HMODULE module;
  HWND(WINAPI* create_window)
  (DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID);
  BOOL(WINAPI* destroy_window)(HWND);
  LONG_PTR(WINAPI* set_long)(HWND, int, LONG_PTR);
  LRESULT(WINAPI* call_window_proc)(WNDPROC, HWND, UINT, WPARAM, LPARAM);
  HANDLE(WINAPI* register_notification)(HANDLE, LPVOID, DWORD);
  BOOL(WINAPI* unregister_notification)(HANDLE);
  BOOL(WINAPI* get_message)(LPMSG, HWND, UINT, UINT);
  LRESULT(WINAPI* dispatch_message)(const MSG*);
  BOOL(WINAPI* post_message)(HWND, UINT, WPARAM, LPARAM);
  void(WINAPI* post_quit)(int);
};

struct PlugWatch {
  HANDLE changed;  // auto-reset: a change may have happened, or a wake
  HMODULE self;    // held while the watch is open: its callback or window procedure is here
  // The configuration manager's way.
  HMODULE cfgmgr;
  CmUnregister unregister;
  HANDLE notification;
  // The window's way.
  User user;
  HANDLE thread;
  HANDLE started;  // set once the thread has its window registered, or has failed
  HWND window;     // null when the thread failed
  WNDPROC base;    // the STATIC class's procedure, which the watch's hands the rest to
};

// The watch whose window this thread runs: the window procedure runs on no other.
thread_local PlugWatch* tWindowWatch = nullptr;

template <typename F>
bool Bind(HMODULE module, const char* name, F& slot) {
  slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return slot != nullptr;
}

DWORD CALLBACK OnConfigurationChange(HANDLE, void* context, DWORD, void*, DWORD) {
  SetEvent(static_cast<PlugWatch*>(context)->changed);
  return ERROR_SUCCESS;
}

bool WatchWithConfigurationManager(PlugWatch* watch) {
  watch->cfgmgr = LoadLibraryA("cfgmgr32.dll");
  if (watch->cfgmgr == nullptr) return false;
  CmRegister register_notification = nullptr;
  if (Bind(watch->cfgmgr, "CM_Register_Notification", register_notification) &&
      Bind(watch->cfgmgr, "CM_Unregister_Notification", watch->unregister)) {
    CmNotifyFilter filter{};
    filter.size = sizeof filter;
    filter.u.interface_class = kInterfaceClass;
    if (register_notification(&filter, watch, OnConfigurationChange, &watch->notification) == 0 &&
        watch->notification != nullptr)
      return true;
  }
  FreeLibrary(watch->cfgmgr);
  watch->cfgmgr = nullptr;
  watch->notification = nullptr;
  return false;
}

LRESULT CALLBACK WatchWindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  PlugWatch* watch = tWindowWatch;
  // Any change of the class's interfaces, or of the device tree, is worth a look.
  if (message == kDeviceChange) {
    SetEvent(watch->changed);
    return TRUE;
  }
  if (message == kEndWatch) {
    watch->user.post_quit(0);
    return 0;
  }
  return watch->user.call_window_proc(watch->base, window, message, wparam, lparam);
}

// The window's thread: makes a message-only window of the predefined STATIC class (a class of
// the DLL's own would stay registered, with its procedure, after the DLL is unloaded), registers
// it for the class's broadcasts and runs its messages until the watch is closed.
void WatchWindowMain(void* raw) {
  auto* watch = static_cast<PlugWatch*>(raw);
  tWindowWatch = watch;
  const User& user = watch->user;
  HWND window =
      user.create_window(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  HANDLE notification = nullptr;
  if (window != nullptr) {
    watch->base = reinterpret_cast<WNDPROC>(
        user.set_long(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchWindowProcedure)));
    DeviceInterfaceFilter filter{};
    filter.size = sizeof filter;
    filter.type = kDeviceInterfaceType;
    filter.interface_class = kInterfaceClass;
    if (watch->base != nullptr)
      notification = user.register_notification(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }
  if (notification == nullptr) {
    if (window != nullptr) user.destroy_window(window);
    SetEvent(watch->started);
    return;
  }
  watch->window = window;
  SetEvent(watch->started);
  MSG message;
  while (user.get_message(&message, nullptr, 0, 0) > 0) user.dispatch_message(&message);
  user.unregister_notification(notification);
  user.destroy_window(window);
}

bool WatchWithWindow(PlugWatch* watch) {
  User& user = watch->user;
  user.module = LoadLibraryA("user32.dll");
  if (user.module == nullptr) return false;
  const bool bound =
      Bind(user.module, "CreateWindowExA", user.create_window) &&
      Bind(user.module, "DestroyWindow", user.destroy_window) &&
#ifdef _WIN64
      Bind(user.module, "SetWindowLongPtrA", user.set_long) &&
#else
      Bind(user.module, "SetWindowLongA", user.set_long) &&
#endif
      Bind(user.module, "CallWindowProcA", user.call_window_proc) &&
      Bind(user.module, "RegisterDeviceNotificationA", user.register_notification) &&
      Bind(user.module, "UnregisterDeviceNotification", user.unregister_notification) &&
      Bind(user.module, "GetMessageA", user.get_message) &&
      Bind(user.module, "DispatchMessageA", user.dispatch_message) &&
      Bind(user.module, "PostMessageA", user.post_message) &&
      Bind(user.module, "PostQuitMessage", user.post_quit);
  watch->started = bound ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (watch->started != nullptr) {
    // A thread of the port's: it holds the module while it runs.
    watch->thread = platform::StartThread(WatchWindowMain, watch);
    if (watch->thread != nullptr) {
      WaitForSingleObject(watch->started, INFINITE);
      if (watch->window != nullptr) return true;
      platform::JoinThread(watch->thread);
      watch->thread = nullptr;
    }
    ::CloseHandle(watch->started);
    watch->started = nullptr;
  }
  FreeLibrary(user.module);
  user.module = nullptr;
  return false;
}

}  // namespace

Handle OpenPlugWatch() {
  auto* watch = static_cast<PlugWatch*>(Allocate(sizeof(PlugWatch)));
  if (watch == nullptr) return nullptr;
  *watch = PlugWatch{};
  watch->changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (watch->changed != nullptr &&
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCSTR>(&OnConfigurationChange), &watch->self)) {
    if (WatchWithConfigurationManager(watch) || WatchWithWindow(watch)) return watch;
    FreeLibrary(watch->self);
  }
  if (watch->changed != nullptr) ::CloseHandle(watch->changed);
  Free(watch);
  return nullptr;
}

bool WaitPlugChange(Handle watch, std::uint32_t milliseconds) {
  return WaitForSingleObject(static_cast<PlugWatch*>(watch)->changed, milliseconds) ==
         WAIT_OBJECT_0;
}

void WakePlugWatch(Handle watch) { SetEvent(static_cast<PlugWatch*>(watch)->changed); }

// Called by a thread that holds the module besides the watch (the application's, or the
// core's watcher), never from a notification: the module stays loaded past the FreeLibrary.
void ClosePlugWatch(Handle handle) {
  auto* watch = static_cast<PlugWatch*>(handle);
  if (watch == nullptr) return;
  if (watch->notification != nullptr) {
    // Returns once no callback runs any more.
    watch->unregister(watch->notification);
    FreeLibrary(watch->cfgmgr);
  }
  if (watch->thread != nullptr) {
    watch->user.post_message(watch->window, kEndWatch, 0, 0);
    platform::JoinThread(watch->thread);
    ::CloseHandle(watch->started);
    FreeLibrary(watch->user.module);
  }
  ::CloseHandle(watch->changed);
  FreeLibrary(watch->self);
  Free(watch);
}

std::uint64_t MonotonicMicroseconds() { return platform::MonotonicMicroseconds(); }

void ReleaseProcessState() {}

}  // namespace quorix::port
