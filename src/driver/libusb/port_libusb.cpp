// The port over libusb-1.0: the driver's requests decoded into libusb calls.
//
// Listing reads libusb's cached descriptors and opens nothing. A driver handle is a libusb
// device handle; endpoint-0 requests become libusb control transfers, SET_CONFIGURATION
// re-claims interface 0, and direct transfers become asynchronous bulk transfers tied to the
// caller's overlapped record, as many at once as the core posts. The kernel completes the
// URBs of one endpoint in the order they were submitted, so the transfers of an endpoint
// complete in the order they were posted. Their completions are noticed on a caller's thread,
// when the core asks for a result or waits on an event: the port starts no thread. Plug and
// unplug come from libusb's hotplug, whose callbacks run where libusb's events are handled: the
// core's watcher thread handles them while it waits for a change, so a plug is noticed with no
// device open.
//
// Threads: a completion is handled by whichever thread handles libusb's events at the time,
// not always the one that waits for it. So the port's own lock guards everything a completion
// touches (the transfer lists, events, overlapped records) and the process-wide lists. It is
// never held while libusb handles events, since the completions take it.
#include <libusb.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/libusb/errors.h"
#include "driver/platform_thread.h"
#include "driver/port.h"
#include "driver/requests.h"

namespace quorix::port {

namespace {

using libusb::WindowsErrorOf;
using libusb::WindowsErrorOfTransfer;

inline constexpr std::uint16_t kVendor = 0xDEAD;
inline constexpr std::uint16_t kProduct = 0xBEEF;
inline constexpr int kInterface = 0;
inline constexpr std::uint8_t kSetConfiguration = 9;

// The CyUSB interface class that SetupAPI would report.
inline constexpr std::uint8_t kClassGuid[16] = {0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11,
                                                0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};

// The overlapped record's status word: pending (STATUS_PENDING), success, or the failure (the
// Windows code behind a marker, where Windows keeps an NTSTATUS).
inline constexpr std::uintptr_t kStatusFailed = 0xE0000000;
constexpr std::uintptr_t TransferStatus(std::uint32_t error) {
  return error == 0 ? 0 : kStatusFailed | error;
}

// An abort waits for the cancelled transfers to report for at most this long.
inline constexpr auto kAbortLimit = std::chrono::seconds(10);

thread_local std::uint32_t tLastError = 0;

bool Fail(std::uint32_t code) {
  tLastError = code;
  return false;
}

enum class Kind : std::uint32_t {
  kListing = 0x4C495354,
  kDevice = 0x44455643,
  kEvent = 0x45564E54
};

struct Object {
  explicit Object(Kind k) : kind(k) {}
  Kind kind;
};

struct Listing : Object {
  Listing() : Object(Kind::kListing) {}
  std::vector<std::string> paths;
};

struct Event : Object {
  explicit Event(bool initially) : Object(Kind::kEvent), signalled(initially) {}
  bool signalled;
};

struct Device;

// One direct transfer with its libusb record. A device keeps the ones it has needed and reuses
// them, so that once its pool has grown to the deepest queue the library keeps, posting a read
// or a write allocates nothing. The overlapped record, the event and the device are cleared
// when an abort gives up on a transfer, so that a late completion touches nothing of the
// caller's; such a transfer frees itself when it reports.
struct Pending {
  Device* device;
  libusb_transfer* transfer;
  Overlapped* overlapped;
  Event* event;
  std::uint8_t endpoint;
};

Pending* NewPending(Device* device) {
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  auto* pending = new (std::nothrow) Pending{device, transfer, nullptr, nullptr, 0};
  if (transfer != nullptr && pending != nullptr) return pending;
  libusb_free_transfer(transfer);
  delete pending;
  return nullptr;
}

void FreePending(Pending* pending) {
  libusb_free_transfer(pending->transfer);
  delete pending;
}

// Made with each device: the classic library's read and write. A deeper queue grows the pool
// once; the transfers are kept until the handle closes.
inline constexpr std::size_t kTransfersPerDevice = 2;

struct Device : Object {
  Device(libusb_device_handle* h, std::uint32_t pid, std::string where)
      : Object(Kind::kDevice), handle(h), owner(pid), path(std::move(where)) {}
  libusb_device_handle* handle;
  // The process that opened it. A forked child inherits the object, but the handle lives on
  // its parent's context, whose file descriptors the two share: a request from the child
  // would reach the parent's board.
  std::uint32_t owner;
  std::string path;  // the listing's text of the connection it was opened on
  bool claimed = false;
  std::vector<Pending*> pending;  // in flight, in submission order
  std::vector<Pending*> idle;     // ready for the next request

  // Made once with the device: the transfers and the room to list them.
  bool Prepare() {
    try {
      pending.reserve(kTransfersPerDevice);
      idle.reserve(kTransfersPerDevice);
    } catch (const std::bad_alloc&) {
      return false;
    }
    while (idle.size() < kTransfersPerDevice) {
      Pending* made = NewPending(this);
      if (made == nullptr) return false;
      idle.push_back(made);
    }
    return true;
  }

  // A transfer for the next request, listed as in flight: an idle one, or a new one when the
  // queue is deeper than ever before (or an abort gave one up). Null when memory runs out.
  Pending* Take() {
    Pending* taken = nullptr;
    if (idle.empty()) {
      // The room to list it again once it is idle, so that its completion never allocates.
      try {
        idle.reserve(pending.size() + 1);
        pending.reserve(pending.size() + 1);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      taken = NewPending(this);
      if (taken == nullptr) return nullptr;
    } else {
      taken = idle.back();
      idle.pop_back();
    }
    pending.push_back(taken);  // cannot throw: there is room for every transfer of the device
    return taken;
  }

  // Takes a transfer back once libusb has let go of it (or never had it).
  void Recycle(Pending* done) {
    std::erase(pending, done);
    done->overlapped = nullptr;
    done->event = nullptr;
    try {
      idle.push_back(done);
    } catch (const std::bad_alloc&) {
      FreePending(done);
    }
  }

  void FreeIdle() {
    for (Pending* each : idle) FreePending(each);
    idle.clear();
  }
};

// Process-wide state: the one libusb context and what lives on it.
struct State {
  std::mutex lock;
  // Signalled with every event that is signalled, for waits that no transfer will end.
  std::condition_variable signalled;
  libusb_context* context = nullptr;
  std::uint32_t context_pid = 0;
  std::vector<Device*> devices;
  std::vector<Event*> events;
  std::size_t listings = 0;
  // Boards whose connection reported them gone while libusb still lists them: the kernel fails
  // the transfers before udev's remove event reaches libusb's hotplug thread. Each holds a
  // reference. Marked by libusb's record, not by path: a board plugged in later where the gone
  // one was (the same bus, port and address) is a new record, and must be listed.
  std::vector<libusb_device*> gone;
  // Counts the hotplug reports of our boards; a watch compares it with what it last saw.
  std::uint64_t plug_reports = 0;
  std::size_t watches = 0;  // plug watches open on this process's context
};

// Never destroyed: the process-detach handler may run after static destructors.
State& TheState() {
  static State* state = new State;
  return *state;
}

using Guard = std::unique_lock<std::mutex>;
Guard Lock() { return Guard(TheState().lock); }

// getpid is a real system call (about 1 µs here), and the gate asks for it on every call.
pid_t gPid = 0;
void RefreshPid() { gPid = getpid(); }

libusb_context* Context() {
  const Guard guard = Lock();
  if (TheState().context != nullptr && TheState().context_pid == ProcessId())
    return TheState().context;
  // A forked child cannot use its parent's context (its event threads did not come along);
  // the inherited one is left alone.
  libusb_context* context = nullptr;
  const int r = libusb_init(&context);
  if (r != 0) {
    tLastError = WindowsErrorOf(r);
    return nullptr;
  }
  TheState().context = context;
  TheState().context_pid = ProcessId();
  return context;
}

template <typename T>
T* As(Handle handle, Kind kind) {
  auto* object = static_cast<Object*>(handle);
  return object != nullptr && object->kind == kind ? static_cast<T*>(object) : nullptr;
}

// Where a board sits. The address changes at every connection, so a re-plugged board gets a
// new path text. The member order is the listing order.
struct Location {
  std::uint8_t bus = 0;
  std::vector<std::uint8_t> ports;
  std::uint8_t address = 0;
  auto operator<=>(const Location&) const = default;

  // "usb:bus-port.port:address"
  std::string Text() const {
    char text[64];
    int used = std::snprintf(text, sizeof text, "usb:%u-", bus);
    for (std::size_t i = 0; i < ports.size(); ++i)
      used += std::snprintf(text + used, sizeof text - used, i == 0 ? "%u" : ".%u", ports[i]);
    std::snprintf(text + used, sizeof text - used, ":%u", address);
    return text;
  }
};

Location LocationOf(libusb_device* device) {
  std::uint8_t ports[8] = {};
  const int depth = std::max(0, libusb_get_port_numbers(device, ports, sizeof ports));
  return {libusb_get_bus_number(device), std::vector<std::uint8_t>(ports, ports + depth),
          libusb_get_device_address(device)};
}

// The matching boards in the listing order, or false with the error.
bool ListBoards(std::vector<Location>& boards) {
  libusb_context* context = Context();
  if (context == nullptr) return false;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) return Fail(WindowsErrorOf(static_cast<int>(count)));
  {
    const Guard guard = Lock();
    std::vector<libusb_device*>& gone = TheState().gone;
    // Once libusb has dropped a gone board, its mark is no longer needed.
    std::erase_if(gone, [&](libusb_device* device) {
      if (std::find(list, list + count, device) != list + count) return false;
      libusb_unref_device(device);
      return true;
    });
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
      if (descriptor.idVendor != kVendor || descriptor.idProduct != kProduct) continue;
      if (std::find(gone.begin(), gone.end(), list[i]) != gone.end()) continue;
      boards.push_back(LocationOf(list[i]));
    }
  }
  libusb_free_device_list(list, 1);
  std::sort(boards.begin(), boards.end());
  return true;
}

// The device's connection has reported the board gone. Under the port's lock.
void NoteGone(const Device* device) {
  std::vector<libusb_device*>& gone = TheState().gone;
  libusb_device* board = libusb_get_device(device->handle);
  if (std::find(gone.begin(), gone.end(), board) != gone.end()) return;
  try {
    gone.push_back(libusb_ref_device(board));
  } catch (const std::bad_alloc&) {
    // Then only udev's remove event takes the board off the listing, a moment later.
    libusb_unref_device(board);
  }
}

// Wakes the waits that no transfer will end. Under the port's lock.
void Signal(Event* event) {
  event->signalled = true;
  TheState().signalled.notify_all();
}

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
  const Guard guard = Lock();
  auto* pending = static_cast<Pending*>(transfer->user_data);
  if (pending->overlapped != nullptr) {
    pending->overlapped->internal_high = static_cast<std::uintptr_t>(transfer->actual_length);
    pending->overlapped->internal = TransferStatus(WindowsErrorOfTransfer(transfer->status));
    // When the board last had a read to fill, for the core's account of the idle bus.
    StampCompletion(pending->overlapped, MonotonicMicroseconds());
  }
  if (pending->event != nullptr) Signal(pending->event);
  Device* device = pending->device;
  if (device != nullptr && transfer->status == LIBUSB_TRANSFER_NO_DEVICE) NoteGone(device);
  if (device == nullptr) {
    FreePending(pending);
    return;
  }
  device->Recycle(pending);
}

// This process's context, or null.
libusb_context* OwnContext() {
  const Guard guard = Lock();
  return TheState().context_pid == ProcessId() ? TheState().context : nullptr;
}

// Notices every completion that has happened, without waiting, or waits up to the time given.
// When another thread handles the events, this one waits until it has handled a round.
void HandleEvents(std::chrono::microseconds wait) {
  libusb_context* context = OwnContext();
  if (context == nullptr) return;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(wait.count() / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
  (void)libusb_handle_events_timeout_completed(context, &tv, nullptr);
}

// Cancels the transfers of the device on the endpoint (every one when endpoint is 0) and
// handles events until each has reported. The newest go first, so that no transfer is given
// data while one queued before it is being cancelled: those that complete all the same are
// the oldest, and the stream has no hole.
void CancelAndReap(Device* device, std::uint8_t endpoint) {
  auto matches = [endpoint](const Pending* p) { return endpoint == 0 || p->endpoint == endpoint; };
  Guard guard = Lock();
  for (auto each = device->pending.rbegin(); each != device->pending.rend(); ++each)
    if (matches(*each)) (void)libusb_cancel_transfer((*each)->transfer);
  const auto limit = std::chrono::steady_clock::now() + kAbortLimit;
  while (std::any_of(device->pending.begin(), device->pending.end(), matches)) {
    if (std::chrono::steady_clock::now() > limit) {
      // libusb did not report them: let go, so that nothing of the caller's is touched later.
      for (Pending* pending : device->pending) {
        if (!matches(pending)) continue;
        pending->overlapped = nullptr;
        pending->event = nullptr;
        pending->device = nullptr;
      }
      std::erase_if(device->pending, matches);
      return;
    }
    guard.unlock();
    HandleEvents(std::chrono::milliseconds(100));
    guard.lock();
  }
}

bool SetConfigurationAndClaim(Device* device, int configuration) {
  // The kernel refuses a new configuration while any interface is claimed, ours included.
  if (device->claimed) {
    (void)libusb_release_interface(device->handle, kInterface);
    device->claimed = false;
  }
  int r = libusb_set_configuration(device->handle, configuration);
  if (r == 0) r = libusb_claim_interface(device->handle, kInterface);
  if (r != 0) return Fail(WindowsErrorOf(r));
  device->claimed = true;
  return true;
}

bool Control(Device* device, std::uint8_t* request, std::uint32_t size, std::uint32_t* returned) {
  if (size < kHeaderSize) return Fail(error::kInvalidParameter);
  SingleTransfer header;
  std::memcpy(&header, request, kHeaderSize);
  if (kHeaderSize + std::uint32_t{header.wLength} > size) return Fail(error::kInvalidParameter);
  if (header.bmRequestType == 0x00 && header.bRequest == kSetConfiguration) {
    if (!SetConfigurationAndClaim(device, header.wValue)) return false;
    if (returned != nullptr) *returned = kHeaderSize;
    return true;
  }
  // The driver's timeout is in seconds; 0 waits without limit, as libusb's 0 does.
  const unsigned timeout_ms = header.timeout > 4000000 ? 4000000000u : header.timeout * 1000u;
  const int r =
      libusb_control_transfer(device->handle, header.bmRequestType, header.bRequest, header.wValue,
                              header.wIndex, request + kHeaderSize, header.wLength, timeout_ms);
  if (r == LIBUSB_ERROR_NO_DEVICE) {
    const Guard guard = Lock();
    NoteGone(device);
  }
  if (r < 0) return Fail(WindowsErrorOf(r));
  if (returned != nullptr) *returned = kHeaderSize + static_cast<std::uint32_t>(r);
  return true;
}

bool Direct(Device* device, const void* in, std::uint32_t in_size, void* out,
            std::uint32_t out_size, Overlapped* overlapped) {
  // The library issues direct transfers only with an overlapped record.
  if (in == nullptr || in_size < kHeaderSize || overlapped == nullptr ||
      out_size > static_cast<std::uint32_t>(INT32_MAX))
    return Fail(error::kInvalidParameter);
  SingleTransfer header;
  std::memcpy(&header, in, kHeaderSize);
  if (!device->claimed) {
    const int r = libusb_claim_interface(device->handle, kInterface);
    if (r != 0) return Fail(WindowsErrorOf(r));
    device->claimed = true;
  }
  const Guard guard = Lock();
  Pending* pending = device->Take();
  if (pending == nullptr) return Fail(error::kNotEnoughMemory);
  pending->overlapped = overlapped;
  pending->endpoint = header.endpoint;
  pending->event = As<Event>(overlapped->event, Kind::kEvent);
  // As DeviceIoControl does: the event is reset when the request begins.
  if (pending->event != nullptr) pending->event->signalled = false;
  libusb_fill_bulk_transfer(pending->transfer, device->handle, header.endpoint,
                            static_cast<unsigned char*>(out), static_cast<int>(out_size),
                            OnTransferDone, pending, 0);
  overlapped->internal = kStatusPending;
  overlapped->internal_high = 0;
  // usbfs counts the memory of every URB in flight against one limit (usbfs_memory_mb) and
  // refuses one beyond it with ENOMEM, which libusb gives here as LIBUSB_ERROR_NO_MEM (8) when
  // it is the transfer's first URB. A transfer cut into 16 KiB URBs (no scatter-gather) may
  // have a later URB refused: libusb takes back the ones it had submitted and reports the
  // transfer as failed on the wire (1117), which is all it tells.
  const int r = libusb_submit_transfer(pending->transfer);
  if (r != 0) {
    device->Recycle(pending);
    overlapped->internal = TransferStatus(WindowsErrorOf(r));
    return Fail(WindowsErrorOf(r));
  }
  return Fail(error::kIoPending);
}

}  // namespace

// ---- Interface listing ----

Handle OpenListing() {
  auto* listing = new (std::nothrow) Listing;
  if (listing == nullptr) {
    Fail(error::kNotEnoughMemory);
    return nullptr;
  }
  try {
    std::vector<Location> boards;
    if (!ListBoards(boards)) {
      delete listing;
      return nullptr;
    }
    for (const Location& board : boards) listing->paths.push_back(board.Text());
  } catch (const std::bad_alloc&) {
    delete listing;
    Fail(error::kNotEnoughMemory);
    return nullptr;
  }
  const Guard guard = Lock();
  ++TheState().listings;
  return listing;
}

bool NextInterface(Handle handle, std::uint32_t index, InterfaceData* data) {
  const auto* listing = As<Listing>(handle, Kind::kListing);
  if (listing == nullptr) return Fail(error::kInvalidHandle);
  if (data->size != kInterfaceDataSize) return Fail(error::kInvalidUserBuffer);
  if (index >= listing->paths.size()) return Fail(error::kNoMoreItems);
  std::memcpy(data->class_guid, kClassGuid, sizeof kClassGuid);
  data->flags = 1;  // SPINT_ACTIVE
  data->reserved = index;
  return true;
}

bool InterfaceDetail(Handle handle, const InterfaceData* data, void* block,
                     std::uint32_t block_size, std::uint32_t* required) {
  const auto* listing = As<Listing>(handle, Kind::kListing);
  if (listing == nullptr || data->reserved >= listing->paths.size())
    return Fail(error::kInvalidParameter);
  const std::string& path = listing->paths[data->reserved];
  const auto needed = static_cast<std::uint32_t>(kDetailPathOffset + path.size() + 1);
  if (required != nullptr) *required = needed;
  if (block == nullptr || block_size < needed) return Fail(error::kInsufficientBuffer);
  std::uint32_t size_field = 0;
  std::memcpy(&size_field, block, sizeof size_field);
  if (size_field != kDetailSizeField) return Fail(error::kInvalidUserBuffer);
  std::memcpy(static_cast<char*>(block) + kDetailPathOffset, path.c_str(), path.size() + 1);
  return true;
}

void CloseListing(Handle handle) {
  if (auto* listing = As<Listing>(handle, Kind::kListing)) {
    delete listing;
    const Guard guard = Lock();
    --TheState().listings;
  }
}

// ---- Driver handles ----

Handle OpenPath(const char* path, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  libusb_context* context = Context();
  if (context == nullptr) return nullptr;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    Fail(WindowsErrorOf(static_cast<int>(count)));
    return nullptr;
  }
  libusb_device_handle* handle = nullptr;
  std::string text;
  int r = LIBUSB_ERROR_NOT_FOUND;
  try {
    for (ssize_t i = 0; i < count && r == LIBUSB_ERROR_NOT_FOUND; ++i)
      if ((text = LocationOf(list[i]).Text()) == path) r = libusb_open(list[i], &handle);
  } catch (const std::bad_alloc&) {
    r = LIBUSB_ERROR_NO_MEM;
  }
  libusb_free_device_list(list, 1);
  if (r != 0) {
    Fail(WindowsErrorOf(r));
    return nullptr;
  }
  auto* device = new (std::nothrow) Device(handle, ProcessId(), std::move(text));
  bool kept = device != nullptr && device->Prepare();
  if (kept) {
    try {
      const Guard guard = Lock();
      TheState().devices.push_back(device);
    } catch (const std::bad_alloc&) {
      kept = false;
    }
  }
  if (!kept) {
    if (device != nullptr) device->FreeIdle();
    delete device;
    libusb_close(handle);
    Fail(error::kNotEnoughMemory);
    return nullptr;
  }
  return device;
}

bool CloseHandle(Handle handle) {
  if (auto* device = As<Device>(handle, Kind::kDevice)) {
    if (device->owner != ProcessId()) {
      // Inherited: the handle and its transfers are the parent's; only this copy goes. The
      // libusb records are left alone, since freeing one drops a reference on the parent's
      // device.
      const Guard guard = Lock();
      for (Pending* pending : device->pending) delete pending;
      for (Pending* pending : device->idle) delete pending;
      std::erase(TheState().devices, device);
      device->kind = Kind{};
      delete device;
      return true;
    }
    // Closing a handle ends the I/O still pending on it, as on Windows.
    CancelAndReap(device, 0);
    {
      const Guard guard = Lock();
      device->FreeIdle();
      std::erase(TheState().devices, device);
    }
    if (device->claimed) (void)libusb_release_interface(device->handle, kInterface);
    libusb_close(device->handle);
    device->kind = Kind{};
    delete device;
    return true;
  }
  if (auto* event = As<Event>(handle, Kind::kEvent)) {
    const Guard guard = Lock();
    for (Device* device : TheState().devices)
      for (Pending* pending : device->pending)
        if (pending->event == event) pending->event = nullptr;
    std::erase(TheState().events, event);
    event->kind = Kind{};
    delete event;
    return true;
  }
  return Fail(error::kInvalidHandle);
}

// ---- Driver requests ----

bool IoControl(Handle handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped) {
  if (returned != nullptr) *returned = 0;
  auto* device = As<Device>(handle, Kind::kDevice);
  if (device == nullptr || device->owner != ProcessId()) return Fail(error::kInvalidHandle);
  switch (code) {
    case kIoctlControlTransfer:
      if (in == nullptr || in != out || in_size != out_size) return Fail(error::kInvalidParameter);
      return Control(device, static_cast<std::uint8_t*>(in), in_size, returned);
    case kIoctlDirectTransfer:
      return Direct(device, in, in_size, out, out_size, overlapped);
    case kIoctlAbortPipe:
    case kIoctlResetPipe: {
      if (in == nullptr || in_size != 1) return Fail(error::kInvalidParameter);
      const std::uint8_t endpoint = *static_cast<const std::uint8_t*>(in);
      if (endpoint == 0) return Fail(error::kInvalidParameter);
      if (code == kIoctlAbortPipe) {
        CancelAndReap(device, endpoint);
        return true;
      }
      const int r = libusb_clear_halt(device->handle, endpoint);
      // The library resets the IN pipe only when it is done with the board (close, unplug,
      // detach): interface 0 goes back, so that another process can open the board while
      // this one keeps its connection. The next transfer or open claims it again.
      if ((endpoint & 0x80) != 0 && device->claimed) {
        (void)libusb_release_interface(device->handle, kInterface);
        device->claimed = false;
      }
      return r == 0 ? true : Fail(WindowsErrorOf(r));
    }
    default:
      return Fail(1);  // ERROR_INVALID_FUNCTION
  }
}

bool OverlappedResult(Handle, Overlapped* overlapped, std::uint32_t* bytes) {
  Guard guard = Lock();
  if (overlapped->internal == kStatusPending) {
    guard.unlock();
    HandleEvents(std::chrono::microseconds(0));
    guard.lock();
  }
  if (overlapped->internal == kStatusPending) return Fail(error::kIoIncomplete);
  // As GetOverlappedResult: the count also for a transfer that failed or was aborted.
  if (bytes != nullptr) *bytes = static_cast<std::uint32_t>(overlapped->internal_high);
  if (overlapped->internal != 0)
    return Fail(static_cast<std::uint32_t>(overlapped->internal & ~kStatusFailed));
  return true;
}

// libusb_kernel_driver_active asks usbfs which driver holds interface 0: an ioctl that sends
// nothing to the board and fails with ENODEV once it has gone. Any other answer says nothing.
bool DriverConnected(Handle handle) {
  auto* device = As<Device>(handle, Kind::kDevice);
  if (device == nullptr || device->owner != ProcessId()) return Fail(error::kInvalidHandle);
  if (libusb_kernel_driver_active(device->handle, kInterface) != LIBUSB_ERROR_NO_DEVICE)
    return true;
  const Guard guard = Lock();
  NoteGone(device);
  return Fail(error::kDeviceNotConnected);
}

std::uint32_t LastError() { return tLastError; }
void SetLastError(std::uint32_t error) { tLastError = error; }

// ---- Events ----

Handle NewEvent(bool initially_signalled) {
  auto* event = new (std::nothrow) Event(initially_signalled);
  if (event == nullptr) {
    Fail(error::kNotEnoughMemory);
    return nullptr;
  }
  try {
    const Guard guard = Lock();
    TheState().events.push_back(event);
  } catch (const std::bad_alloc&) {
    delete event;
    Fail(error::kNotEnoughMemory);
    return nullptr;
  }
  return event;
}

bool ClearEvent(Handle handle) {
  auto* event = As<Event>(handle, Kind::kEvent);
  if (event == nullptr) return Fail(error::kInvalidHandle);
  const Guard guard = Lock();
  event->signalled = false;
  return true;
}

bool SignalEvent(Handle handle) {
  auto* event = As<Event>(handle, Kind::kEvent);
  if (event == nullptr) return Fail(error::kInvalidHandle);
  {
    const Guard guard = Lock();
    Signal(event);
  }
  // The waiter may be the thread handling libusb's events, asleep in its poll.
  if (libusb_context* context = OwnContext()) libusb_interrupt_event_handler(context);
  return true;
}

std::uint32_t WaitEvent(Handle handle, std::uint32_t milliseconds) {
  auto* event = As<Event>(handle, Kind::kEvent);
  if (event == nullptr) {
    Fail(error::kInvalidHandle);
    return kWaitFailed;
  }
  using Clock = std::chrono::steady_clock;
  const bool forever = milliseconds == kInfinite;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  // A signal that another thread gives without a transfer may find this thread among
  // libusb's event waiters, which nothing wakes: the events are handled in short rounds.
  constexpr auto kRound = std::chrono::milliseconds(20);
  Guard guard = Lock();
  for (;;) {
    if (event->signalled) return kWaitObject0;
    const bool awaited =
        std::any_of(TheState().devices.begin(), TheState().devices.end(), [&](Device* d) {
          return std::any_of(d->pending.begin(), d->pending.end(),
                             [&](const Pending* p) { return p->event == event; });
        });
    const auto now = Clock::now();
    if (!forever && now >= deadline) return kWaitTimeout;
    const auto left = forever
                          ? std::chrono::microseconds(kRound)
                          : std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    if (!awaited) {
      // Only another thread can signal the event now.
      TheState().signalled.wait_for(guard, std::min<std::chrono::microseconds>(left, kRound));
      continue;
    }
    guard.unlock();
    HandleEvents(std::clamp<std::chrono::microseconds>(left, std::chrono::microseconds(1), kRound));
    guard.lock();
  }
}

// ---- Process services ----

void* Allocate(std::size_t size) { return std::malloc(size != 0 ? size : 1); }
void* Reallocate(void* block, std::size_t size) {
  return std::realloc(block, size != 0 ? size : 1);
}
void Free(void* block) { std::free(block); }

std::uint32_t ProcessId() {
  static const bool registered = [] {
    RefreshPid();
    return pthread_atfork(nullptr, nullptr, RefreshPid) == 0;
  }();
  (void)registered;
  return static_cast<std::uint32_t>(gPid);
}

// Like GetCurrentProcess: a pseudo handle that needs no closing.
Handle ProcessSelf() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

void Pause(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Handle StartThread(void (*body)(void*), void* argument) {
  return platform::StartThread(body, argument);
}
void JoinThread(Handle thread) { platform::JoinThread(thread); }
// ---- Plug notifications ----

namespace {

struct PlugWatch {
  libusb_context* context;
  libusb_hotplug_callback_handle callback;
  std::uint64_t seen;  // the reports counted when this watch last told of a change
  bool woken;
};

// Runs on whichever thread handles libusb's events. It touches only the port's state, never the
// watch, so that a report on its way while the watch closes finds nothing freed.
int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void*) {
  const Guard guard = Lock();
  TheState().plug_reports += 1;
  TheState().signalled.notify_all();
  return 0;  // stay registered
}

}  // namespace

// libusb's hotplug, where it has one (Linux with udev, macOS). Elsewhere null: the core walks
// the listing at its interval.
Handle OpenPlugWatch() {
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) return nullptr;
  libusb_context* context = Context();
  if (context == nullptr) return nullptr;
  auto* watch = new (std::nothrow) PlugWatch{context, 0, 0, false};
  if (watch == nullptr) return nullptr;
  {
    const Guard guard = Lock();
    watch->seen = TheState().plug_reports;
    // Counted before the callback exists, so that the context is not let go meanwhile.
    TheState().watches += 1;
  }
  const int r = libusb_hotplug_register_callback(
      context,
      static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                        LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
      static_cast<libusb_hotplug_flag>(0), kVendor, kProduct, LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug,
      nullptr, &watch->callback);
  if (r != LIBUSB_SUCCESS) {
    const Guard guard = Lock();
    TheState().watches -= 1;
    delete watch;
    return nullptr;
  }
  return watch;
}

// The hotplug callbacks run only while some thread handles libusb's events: this one does, in
// rounds short enough that a wake by another thread that finds it among libusb's event waiters
// (a pump handling the events) is noticed soon.
bool WaitPlugChange(Handle handle, std::uint32_t milliseconds) {
  auto* watch = static_cast<PlugWatch*>(handle);
  using Clock = std::chrono::steady_clock;
  constexpr auto kRound = std::chrono::milliseconds(100);
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  Guard guard = Lock();
  for (;;) {
    if (watch->woken || watch->seen != TheState().plug_reports) {
      watch->woken = false;
      watch->seen = TheState().plug_reports;
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    guard.unlock();
    HandleEvents(std::clamp<std::chrono::microseconds>(left, std::chrono::microseconds(1), kRound));
    guard.lock();
  }
}

void WakePlugWatch(Handle handle) {
  auto* watch = static_cast<PlugWatch*>(handle);
  {
    const Guard guard = Lock();
    watch->woken = true;
    TheState().signalled.notify_all();
  }
  // The watcher may be the thread handling libusb's events, asleep in its poll.
  if (OwnContext() == watch->context) libusb_interrupt_event_handler(watch->context);
}

void ClosePlugWatch(Handle handle) {
  auto* watch = static_cast<PlugWatch*>(handle);
  if (watch == nullptr) return;
  // A forked child's copy: the callback is the parent's, on the parent's context.
  if (OwnContext() == watch->context) {
    libusb_hotplug_deregister_callback(watch->context, watch->callback);
    const Guard guard = Lock();
    TheState().watches -= 1;
  }
  delete watch;
}

std::uint64_t MonotonicMicroseconds() { return platform::MonotonicMicroseconds(); }

void PrepareFork() { TheState().lock.lock(); }
void ParentAfterFork() { TheState().lock.unlock(); }
void ChildAfterFork() {
  // Not destroyed: its waiters stayed in the parent, and destroying it would wait for them.
  new (&TheState().signalled) std::condition_variable;
  // The parent's watches and marks stay with its context (the marks' references too).
  TheState().watches = 0;
  std::vector<libusb_device*>().swap(TheState().gone);
  TheState().lock.unlock();
}

void ReleaseProcessState() {
  // Only once every handle is closed: a process that still holds some keeps the context.
  Guard guard = Lock();
  if (TheState().context == nullptr || TheState().context_pid != ProcessId()) return;
  if (!TheState().devices.empty() || !TheState().events.empty() || TheState().listings != 0 ||
      TheState().watches != 0)
    return;
  libusb_context* context = TheState().context;
  TheState().context = nullptr;
  for (libusb_device* device : TheState().gone) libusb_unref_device(device);
  TheState().gone.clear();
  guard.unlock();
  libusb_exit(context);
}

}  // namespace quorix::port
