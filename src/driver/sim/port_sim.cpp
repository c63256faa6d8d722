// The port over the simulated bus.
#include <new>

#include "driver/platform_thread.h"
#include "driver/port.h"
#include "sim/bus.h"

namespace quorix::port {

using sim::TheBus;

Handle OpenListing() { return TheBus().OpenListing(); }

bool NextInterface(Handle listing, std::uint32_t index, InterfaceData* data) {
  return TheBus().NextInterface(listing, index, data);
}

bool InterfaceDetail(Handle listing, const InterfaceData* data, void* block,
                     std::uint32_t block_size, std::uint32_t* required) {
  return TheBus().InterfaceDetail(listing, data, block, block_size, required);
}

void CloseListing(Handle listing) { TheBus().CloseListing(listing); }

Handle OpenPath(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t creation,
                std::uint32_t flags) {
  return TheBus().OpenPath({path, access, share, creation, flags});
}

bool CloseHandle(Handle handle) { return TheBus().CloseHandle(handle); }

bool IoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped) {
  return TheBus().IoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}

bool OverlappedResult(Handle, Overlapped* overlapped, std::uint32_t* bytes) {
  return TheBus().Locked([&] {
    return TheBus().Enter(sim::Op::kOverlappedResult) &&
           TheBus().OverlappedResult(overlapped, bytes);
  });
}

bool DriverConnected(Handle device) { return TheBus().Connected(device); }

std::uint32_t LastError() { return TheBus().LastError(); }
void SetLastError(std::uint32_t error) { TheBus().SetLastError(error); }

Handle NewEvent(bool initially_signalled) { return TheBus().NewEvent(initially_signalled); }
bool ClearEvent(Handle event) { return TheBus().ClearEvent(event); }
bool SignalEvent(Handle event) { return TheBus().SetEvent(event); }
std::uint32_t WaitEvent(Handle event, std::uint32_t milliseconds) {
  return TheBus().WaitEvent(event, milliseconds);
}

void* Allocate(std::size_t size) { return TheBus().Allocate(size); }
void* Reallocate(void* block, std::size_t size) { return TheBus().Reallocate(block, size); }
void Free(void* block) { TheBus().Free(block); }

std::uint32_t ProcessId() { return TheBus().ProcessId(); }
// Like GetCurrentProcess: a pseudo handle that needs no closing.
Handle ProcessSelf() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

void Pause(std::uint32_t milliseconds) {
  if (TheBus().Enter(sim::Op::kPause)) TheBus().PassTime(milliseconds);
}

std::uint64_t MonotonicMicroseconds() { return TheBus().NowUs() + 1; }

// On the virtual clock one thread at a time drives the bus: the core goes without a pump.
Handle StartThread(void (*body)(void*), void* argument) {
  if (TheBus().VirtualClock()) return nullptr;
  return platform::StartThread(body, argument);
}
void JoinThread(Handle thread) { platform::JoinThread(thread); }

namespace {
struct PlugWatch {
  std::uint64_t seen;
  bool woken;
};
}  // namespace

// The bus's plug and unplug calls tell of every change.
Handle OpenPlugWatch() {
  return new (std::nothrow) PlugWatch{TheBus().PlugGeneration(), false};
}
bool WaitPlugChange(Handle watch, std::uint32_t milliseconds) {
  auto* w = static_cast<PlugWatch*>(watch);
  return TheBus().WaitPlugChange(w->seen, w->woken, milliseconds);
}
void WakePlugWatch(Handle watch) { TheBus().WakePlugWaiter(static_cast<PlugWatch*>(watch)->woken); }
void ClosePlugWatch(Handle watch) { delete static_cast<PlugWatch*>(watch); }

void PrepareFork() { TheBus().PrepareFork(); }
void ParentAfterFork() { TheBus().ParentAfterFork(); }
void ChildAfterFork() { TheBus().ChildAfterFork(); }

// The simulated bus lives as long as the process.
void ReleaseProcessState() {}

}  // namespace quorix::port
