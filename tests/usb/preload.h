// A program that talks to emulated boards must run under libumockdev-preload: this starts it
// again with the preload when it is missing (behind a sanitizer runtime, which must be loaded
// first).
#pragma once

#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quorix::usbtest {

inline constexpr const char* kPreload = "libumockdev-preload.so.0";

inline void EnsurePreload(char** argv) {
  const char* current = std::getenv("LD_PRELOAD");
  if (current != nullptr && std::strstr(current, kPreload) != nullptr) return;
  std::string preload;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* found) {
        const char* name = info->dlpi_name;
        if (name != nullptr &&
            (std::strstr(name, "libasan.so") || std::strstr(name, "libclang_rt.asan")))
          *static_cast<std::string*>(found) = name;
        return 0;
      },
      &preload);
  if (!preload.empty()) preload += ':';
  preload += kPreload;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("execv");
  std::exit(1);
}

}  // namespace quorix::usbtest
