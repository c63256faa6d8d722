// The umockdev tests' entry: the process must run under libumockdev-preload, so the binary
// starts itself again with it when it is missing (behind the sanitizer runtime, which must be
// loaded first). One testbed serves the whole process, because libusb's hotplug monitor,
// started with the library's context, listens on the first one.
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "usb/native_fixture.h"

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

int FindSanitizer(dl_phdr_info* info, size_t, void* found) {
  const char* name = info->dlpi_name;
  if (name != nullptr && (std::strstr(name, "libasan.so") || std::strstr(name, "libclang_rt.asan")))
    *static_cast<std::string*>(found) = name;
  return 0;
}

void EnsurePreload(char** argv) {
  const char* current = std::getenv("LD_PRELOAD");
  if (current != nullptr && std::strstr(current, kPreload) != nullptr) return;
  std::string preload;
  dl_iterate_phdr(FindSanitizer, &preload);
  if (!preload.empty()) preload += ':';
  preload += kPreload;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("execv");
  std::exit(1);
}

}  // namespace

int ChildOpenFirst() {
  int32_t count = 0;
  if (QuorixCountDevices(&count) != QUORIX_OK || count != 1) return 101;
  QuorixHandle handle = nullptr;
  const int status = QuorixOpenDevice(0, &handle);
  if (status == QUORIX_OK) QuorixCloseDevice(handle);
  return status & 0xFF;
}

int main(int argc, char** argv) {
  EnsurePreload(argv);
  // The child uses its parent's testbed, found through the environment.
  if (argc == 2 && std::strcmp(argv[1], quorix::usbtest::kChildOpenFlag) == 0)
    return ChildOpenFirst();
  testing::InitGoogleTest(&argc, argv);
  quorix::usbtest::Bench::Start();
  const int result = RUN_ALL_TESTS();
  quorix::usbtest::Bench::Stop();
  return result;
}
