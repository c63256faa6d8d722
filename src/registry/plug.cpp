// Plug and unplug notifications. A thread of the library's own, the watcher, keeps the list of
// boards it has reported present; whenever the port says that boards may have come or gone (or
// at an interval, where the port cannot tell) it refreshes the table of boards, as discovery
// does, and reports the difference. Comparing with its own list, not with the last refresh, is
// what reports each arrival and departure once, whichever thread's discovery noticed it.
// Callbacks run with no lock of the library held.
#include "registry/plug.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "quorix/quorix.h"
#include "registry/discovery.h"
#include "registry/registry.h"

namespace quorix {

namespace {

// Where the port cannot tell of a change, the listing is walked this often.
constexpr std::uint32_t kPollMs = 250;
// Where it can, the listing is walked this often anyway, for a change it did not tell.
constexpr std::uint32_t kRecheckMs = 2000;

struct Registration {
  std::uint32_t id;
  QuorixPlugCallback callback;
  void* context;
  std::uint64_t first_event;  // events from this one on are reported to it
  bool enumerate;             // the boards present are still to be reported to it
};

struct Known {
  std::uint64_t plug_id;
  char* serial;
};

struct Event {
  std::int32_t kind;
  char* serial;
  QuorixHandle device;
};

// Guards the registrations and the watcher's state. Taken before the registry's lock, never
// after it.
std::mutex gPlugLock;
std::condition_variable gPlugChanged;  // a callback returned, or the watcher was asked something
Registration* gRegistrations;
std::uint32_t gRegistrationCount;
std::uint32_t gNextId = 1;
std::uint64_t gNextEvent = 1;
port::Handle gThread;  // the watcher, until joined
port::Handle gWatch;   // the port's watch, or null
bool gRunning;         // the watcher has not left its loop yet
bool gStop;
bool gWake;            // an enumeration is waiting (where there is no port watch)
std::uint32_t gCalling;  // the registration whose callback runs now
thread_local bool tOnWatcher = false;

// The watcher's list: written by the registration that starts the watcher, then by the watcher.
Known* gKnown;
std::uint32_t gKnownCount;

char* CopyText(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(port::Allocate(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

bool Connected(const DeviceRecord* record) { return record->driver != nullptr; }

QuorixHandle OpenHere(DeviceRecord* record) {
  return record->open != 0 && record->owner_pid == port::ProcessId() ? HandleOfRecord(record)
                                                                     : nullptr;
}

DeviceRecord* RecordOf(std::uint64_t plug_id) {
  for (std::uint32_t i = 0; i < gRegistry.count; ++i)
    if (gRegistry.records[i]->plug_id == plug_id) return gRegistry.records[i];
  return nullptr;
}

void ForgetKnown() {
  for (std::uint32_t i = 0; i < gKnownCount; ++i) FreeField(gKnown[i].serial);
  FreeField(gKnown);
  gKnownCount = 0;
}

// The boards connected now become the known list. With the registry's lock held.
bool TakeBaseline() {
  ForgetKnown();
  (void)RefreshDevices();
  if (!ResizeStorage(gKnown, gRegistry.count)) return false;
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    DeviceRecord* record = gRegistry.records[i];
    if (!Connected(record)) continue;
    gKnown[gKnownCount++] = {record->plug_id, CopyText(record->serial)};
  }
  return true;
}

// Refreshes the table and turns its difference from the known list into events, oldest
// noticed first: departures, then arrivals. With the registry's lock held. Events that cannot
// be stored for want of memory are noticed again at the next look.
void Compare(Event*& events, std::uint32_t& count) {
  (void)RefreshDevices();
  count = 0;
  if (!ResizeStorage(events, gKnownCount + gRegistry.count)) return;
  std::uint32_t k = 0;
  while (k < gKnownCount) {
    DeviceRecord* record = RecordOf(gKnown[k].plug_id);
    if (record != nullptr && Connected(record)) {
      ++k;
      continue;
    }
    events[count++] = {QUORIX_BOARD_LEFT, gKnown[k].serial,
                       record != nullptr ? OpenHere(record) : nullptr};
    gKnown[k] = gKnown[--gKnownCount];
  }
  if (!ResizeStorage(gKnown, gKnownCount + gRegistry.count)) return;
  for (std::uint32_t i = 0; i < gRegistry.count; ++i) {
    DeviceRecord* record = gRegistry.records[i];
    if (!Connected(record)) continue;
    bool known = false;
    for (std::uint32_t j = 0; j < gKnownCount && !known; ++j)
      known = gKnown[j].plug_id == record->plug_id;
    if (known) continue;
    char* serial = CopyText(record->serial);
    char* reported = CopyText(record->serial);
    if (serial == nullptr || reported == nullptr) {
      FreeField(serial);
      FreeField(reported);
      continue;
    }
    gKnown[gKnownCount++] = {record->plug_id, serial};
    events[count++] = {QUORIX_BOARD_ARRIVED, reported, OpenHere(record)};
  }
}

// Calls one registration's callback with no lock held; false when it is not registered (any
// more). With gPlugLock held through lock.
bool Deliver(std::unique_lock<std::mutex>& lock, std::uint32_t id, const Event& event) {
  Registration* found = nullptr;
  for (std::uint32_t i = 0; i < gRegistrationCount && found == nullptr; ++i)
    if (gRegistrations[i].id == id) found = &gRegistrations[i];
  if (found == nullptr) return false;
  const QuorixPlugCallback callback = found->callback;
  void* context = found->context;
  gCalling = id;
  lock.unlock();
  callback(context, event.kind, event.serial != nullptr ? event.serial : "", event.device);
  lock.lock();
  gCalling = 0;
  gPlugChanged.notify_all();
  return true;
}

// The registrations, by number, to whom an event (or the enumeration) goes: gathered first,
// since callbacks may register and unregister meanwhile.
std::uint32_t* Recipients(std::uint64_t event_number, bool enumeration, std::uint32_t& count) {
  count = 0;
  auto* ids = static_cast<std::uint32_t*>(
      port::Allocate(sizeof(std::uint32_t) * (gRegistrationCount + 1)));
  if (ids == nullptr) return nullptr;
  for (std::uint32_t i = 0; i < gRegistrationCount; ++i) {
    Registration& r = gRegistrations[i];
    if (enumeration ? r.enumerate : r.first_event <= event_number) ids[count++] = r.id;
    if (enumeration) r.enumerate = false;
  }
  return ids;
}

void Enumerate(std::unique_lock<std::mutex>& lock) {
  std::uint32_t count = 0;
  std::uint32_t* ids = Recipients(0, true, count);
  if (ids == nullptr || count == 0) {
    port::Free(ids);
    return;
  }
  // The known list as it stands now: only the watcher changes it, and it is here.
  Event* present = static_cast<Event*>(port::Allocate(sizeof(Event) * (gKnownCount + 1)));
  std::uint32_t present_count = 0;
  lock.unlock();
  if (present != nullptr) {
    const std::lock_guard registry(gRegistryLock);
    for (std::uint32_t k = 0; k < gKnownCount; ++k) {
      DeviceRecord* record = RecordOf(gKnown[k].plug_id);
      present[present_count++] = {QUORIX_BOARD_ARRIVED, gKnown[k].serial,
                                  record != nullptr ? OpenHere(record) : nullptr};
    }
  }
  lock.lock();
  for (std::uint32_t i = 0; i < count; ++i)
    for (std::uint32_t e = 0; e < present_count; ++e)
      if (!Deliver(lock, ids[i], present[e])) break;
  port::Free(present);
  port::Free(ids);
}

void WatcherMain(void*) {
  tOnWatcher = true;
  Event* events = nullptr;
  std::unique_lock lock(gPlugLock);
  while (!gStop && gRegistrationCount != 0) {
    Enumerate(lock);
    std::uint32_t count = 0;
    lock.unlock();
    {
      const std::lock_guard registry(gRegistryLock);
      Compare(events, count);
    }
    lock.lock();
    for (std::uint32_t e = 0; e < count; ++e) {
      const std::uint64_t number = gNextEvent++;
      std::uint32_t recipients = 0;
      std::uint32_t* ids = Recipients(number, false, recipients);
      for (std::uint32_t i = 0; ids != nullptr && i < recipients; ++i)
        (void)Deliver(lock, ids[i], events[e]);
      port::Free(ids);
      // A departure's serial came off the known list; an arrival's is a copy.
      FreeField(events[e].serial);
    }
    if (gStop || gRegistrationCount == 0) break;
    if (gWatch != nullptr) {
      port::Handle watch = gWatch;
      lock.unlock();
      (void)port::WaitPlugChange(watch, kRecheckMs);
      lock.lock();
    } else {
      gPlugChanged.wait_for(lock, std::chrono::milliseconds(kPollMs),
                            [] { return gStop || gWake || gRegistrationCount == 0; });
      gWake = false;
    }
  }
  FreeField(events);
  // The watch goes with the watcher that waited on it: a watcher that ends on its own (its last
  // registration ended inside a callback) leaves nothing of the port's behind.
  if (gWatch != nullptr) {
    port::ClosePlugWatch(gWatch);
    gWatch = nullptr;
  }
  gRunning = false;
  gPlugChanged.notify_all();
}

void WakeWatcher() {
  gWake = true;
  gPlugChanged.notify_all();
  if (gWatch != nullptr) port::WakePlugWatch(gWatch);
}

// Joins a watcher that has left its loop; with gPlugLock held through lock.
void ReapWatcher(std::unique_lock<std::mutex>& lock) {
  if (gThread == nullptr || gRunning) return;
  port::Handle thread = gThread;
  gThread = nullptr;
  // On Windows the watcher's own end may unload the library (it gives back the module's
  // reference as it goes), detaching on that thread: it cannot wait for itself, and the
  // system takes its thread handle back with the process.
  if (tOnWatcher) return;
  lock.unlock();
  port::JoinThread(thread);
  lock.lock();
}

}  // namespace

void StopPlugWatcher(unsigned limit_ms) {
  std::unique_lock lock(gPlugLock);
  gStop = true;
  WakeWatcher();
  if (gThread != nullptr &&
      !gPlugChanged.wait_for(lock, std::chrono::milliseconds(limit_ms), [] { return !gRunning; })) {
    // Still inside a callback: it is left to end on its own, with what it uses.
    gThread = nullptr;
    return;
  }
  ReapWatcher(lock);
  FreeField(gRegistrations);
  gRegistrationCount = 0;
  ForgetKnown();
  gStop = false;
}

#ifndef _WIN32
void PlugBeforeFork() { gPlugLock.lock(); }
void PlugParentAfterFork() { gPlugLock.unlock(); }
void PlugChildAfterFork() {
  // The watcher stayed in the parent, and so do the callbacks it would call.
  new (&gPlugLock) std::mutex;
  new (&gPlugChanged) std::condition_variable;
  gThread = nullptr;
  gWatch = nullptr;
  gRunning = false;
  gCalling = 0;
  gRegistrationCount = 0;
  FreeField(gRegistrations);
  ForgetKnown();
}
#endif

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixRegisterPlugCallback(QuorixPlugCallback callback, void* context,
                                                      uint32_t flags, uint32_t* registration) {
  using namespace quorix;
  if (callback == nullptr || registration == nullptr || (flags & ~QUORIX_PLUG_ENUMERATE) != 0)
    return QUORIX_ERR_FAILED;
  std::unique_lock lock(gPlugLock);
  if (gStop) return QUORIX_ERR_FAILED;  // the library is being unloaded
  ReapWatcher(lock);
  if (!ResizeStorage(gRegistrations, gRegistrationCount + 1)) return QUORIX_ERR_FAILED;
  const bool start = !gRunning;
  if (start) {
    // The boards present now are what later events are told against.
    const std::lock_guard registry(gRegistryLock);
    if (!TakeBaseline()) return QUORIX_ERR_FAILED;
  }
  Registration& added = gRegistrations[gRegistrationCount];
  added = {gNextId, callback, context, gNextEvent, (flags & QUORIX_PLUG_ENUMERATE) != 0};
  if (start) {
    if (gWatch == nullptr) gWatch = port::OpenPlugWatch();
    gRunning = true;
    gRegistrationCount += 1;
    gThread = port::StartThread(WatcherMain, nullptr);
    if (gThread == nullptr) {
      gRunning = false;
      gRegistrationCount -= 1;
      if (gWatch != nullptr) port::ClosePlugWatch(gWatch);
      gWatch = nullptr;
      return QUORIX_ERR_FAILED;
    }
  } else {
    gRegistrationCount += 1;
    if (added.enumerate) WakeWatcher();
  }
  *registration = gNextId++;
  if (gNextId == 0) gNextId = 1;
  return QUORIX_OK;
}

QUORIX_API int QUORIX_CALL QuorixUnregisterPlugCallback(uint32_t registration) {
  using namespace quorix;
  std::unique_lock lock(gPlugLock);
  std::uint32_t at = 0;
  while (at < gRegistrationCount && gRegistrations[at].id != registration) ++at;
  if (registration == 0 || at == gRegistrationCount) return QUORIX_ERR_FAILED;
  gRegistrations[at] = gRegistrations[--gRegistrationCount];
  if (tOnWatcher) return QUORIX_OK;  // the watcher leaves its loop on its own once none is left
  // Its callback may be running: once it has returned, the context is the caller's again.
  gPlugChanged.wait(lock, [&] { return gCalling != registration; });
  if (gRegistrationCount == 0) {
    WakeWatcher();
    // Unless another thread registers meanwhile, which keeps the watcher.
    gPlugChanged.wait(lock, [] { return !gRunning || gRegistrationCount != 0; });
    ReapWatcher(lock);
  }
  return QUORIX_OK;
}

}  // extern "C"
