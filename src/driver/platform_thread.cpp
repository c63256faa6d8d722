#include "driver/platform_thread.h"

#include <chrono>
#include <new>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace quorix::port::platform {

namespace {

struct Start {
  void (*body)(void*);
  void* argument;
#ifdef _WIN32
  HMODULE module;
#endif
};

#ifdef _WIN32
DWORD WINAPI Run(LPVOID raw) {
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.body(start.argument);
  // Gives back the module's reference and ends the thread without returning into the module,
  // which this may unload.
  FreeLibraryAndExitThread(start.module, 0);
}
#else
void* Run(void* raw) {
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.body(start.argument);
  return nullptr;
}
#endif

}  // namespace

void* StartThread(void (*body)(void*), void* argument) {
  auto* start = new (std::nothrow) Start;
  if (start == nullptr) return nullptr;
  start->body = body;
  start->argument = argument;
#ifdef _WIN32
  // While the thread runs, the module stays loaded: a FreeLibrary of the application's cannot
  // pull the code from under it, and the process detach never has to wait for it.
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&Run), &start->module)) {
    delete start;
    return nullptr;
  }
  HANDLE thread = CreateThread(nullptr, 0, Run, start, 0, nullptr);
  if (thread == nullptr) {
    FreeLibrary(start->module);
    delete start;
  }
  return thread;
#else
  pthread_t thread;
  if (pthread_create(&thread, nullptr, Run, start) != 0) {
    delete start;
    return nullptr;
  }
  auto* handle = new (std::nothrow) pthread_t(thread);
  if (handle == nullptr) {
    (void)pthread_join(thread, nullptr);
    return nullptr;
  }
  return handle;
#endif
}

void JoinThread(void* thread) {
  if (thread == nullptr) return;
#ifdef _WIN32
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
#else
  auto* handle = static_cast<pthread_t*>(thread);
  (void)pthread_join(*handle, nullptr);
  delete handle;
#endif
}

std::uint64_t MonotonicMicroseconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + 1;
}

}  // namespace quorix::port::platform
