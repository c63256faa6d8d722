// A shared library loaded at run time, as an application loads it: dlopen on POSIX systems,
// LoadLibraryA on Windows.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>

namespace quorix::test {

class SharedLibrary {
 public:
  explicit SharedLibrary(const char* path) {
#ifdef _WIN32
    handle_ = LoadLibraryA(path);
    if (handle_ == nullptr) error_ = "LoadLibraryA failed with " + std::to_string(GetLastError());
#else
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = dlerror();
#endif
  }
  ~SharedLibrary() { Unload(); }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  // The export of that name as a function of type F, or null.
  template <typename F>
  F* get(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(handle_, name)));
#else
    return reinterpret_cast<F*>(dlsym(handle_, name));
#endif
  }

  // True when the library was unloaded (or was never loaded).
  bool Unload() {
    if (handle_ == nullptr) return true;
#ifdef _WIN32
    const bool done = FreeLibrary(handle_) != FALSE;
#else
    const bool done = dlclose(handle_) == 0;
#endif
    handle_ = nullptr;
    return done;
  }

 private:
#ifdef _WIN32
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
  std::string error_;
};

}  // namespace quorix::test

// Binds the export `name` of a loaded SharedLibrary as a local of the same name, with the
// header's type: QUORIX_BIND(library, QuorixCountDevices); then QuorixCountDevices(&count).
#define QUORIX_BIND(library, name) auto* const name = (library).get<decltype(::name)>(#name)
