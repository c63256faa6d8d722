// A plug callback that unregisters itself and returns only after the application has let go
// of the module: the watcher thread's end then unloads the module, detaching on that thread,
// which must not wait for itself (nor for a thread of the port's watch that holds the module).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "quorix/quorix.h"

namespace quorix::test {

struct EndsItself {
  HANDLE registered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE unregistered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::uint32_t registration = 0;
  decltype(&::QuorixUnregisterPlugCallback) unregister = nullptr;

  ~EndsItself() {
    for (HANDLE event : {registered, unregistered, go}) CloseHandle(event);
  }

  static void QUORIX_CALL Call(void* context, std::int32_t, const char*, QuorixHandle) {
    auto* self = static_cast<EndsItself*>(context);
    WaitForSingleObject(self->registered, INFINITE);
    if (self->unregister(self->registration) == QUORIX_OK) SetEvent(self->unregistered);
    WaitForSingleObject(self->go, INFINITE);
  }
};

// Loads the module (which must report a board present at once), lets the callback end its own
// registration, frees the module and then lets the callback return: empty when the module
// stayed loaded until then and went after, else what went wrong. When the module's detach
// hangs, the process is ended, since its own end would hang on it too.
inline DWORD WINAPI AwaitUnloaded(void* name) {
  while (GetModuleHandleA(static_cast<const char*>(name)) != nullptr) Sleep(1);
  return 0;
}

inline std::string UnloadsAfterItsCallbackEndsItself(const char* name) {
  HMODULE module = LoadLibraryA(name);
  if (module == nullptr) return "does not load";
  auto* register_callback = reinterpret_cast<decltype(&::QuorixRegisterPlugCallback)>(
      reinterpret_cast<void*>(GetProcAddress(module, "QuorixRegisterPlugCallback")));
  EndsItself state;
  state.unregister = reinterpret_cast<decltype(&::QuorixUnregisterPlugCallback)>(
      reinterpret_cast<void*>(GetProcAddress(module, "QuorixUnregisterPlugCallback")));
  if (register_callback == nullptr || state.unregister == nullptr) return "lacks the exports";
  if (register_callback(&EndsItself::Call, &state, QUORIX_PLUG_ENUMERATE, &state.registration) !=
      QUORIX_OK)
    return "refuses the registration";
  SetEvent(state.registered);
  if (WaitForSingleObject(state.unregistered, 60000) != WAIT_OBJECT_0)
    return "the callback did not unregister itself";
  FreeLibrary(module);
  const bool kept = GetModuleHandleA(name) != nullptr;  // the watcher holds it
  SetEvent(state.go);
  // A detach stuck on the watcher would keep the loader's lock: the look is made on a thread of
  // its own, waited for with a limit.
  HANDLE looker = CreateThread(nullptr, 0, AwaitUnloaded, const_cast<char*>(name), 0, nullptr);
  if (looker == nullptr) return "no thread";
  if (WaitForSingleObject(looker, 60000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "%s: the module's detach hangs on the watcher thread\n", name);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  CloseHandle(looker);
  return kept ? "" : "unloaded while the watcher still ran";
}

}  // namespace quorix::test
