// The umockdev tests' entry: the process must run under libumockdev-preload, so the binary
// starts itself again with it when it is missing. One testbed serves the whole process,
// because libusb's hotplug monitor, started with the library's context, listens on the first
// one.
#include <gtest/gtest.h>

#include <cstring>

#include <unistd.h>

#include "usb/native_fixture.h"
#include "usb/preload.h"

int ChildOpenFirst() {
  int32_t count = 0;
  if (QuorixCountDevices(&count) != QUORIX_OK || count != 1) return 101;
  QuorixHandle handle = nullptr;
  const int status = QuorixOpenDevice(0, &handle);
  if (status == QUORIX_OK) QuorixCloseDevice(handle);
  return status & 0xFF;
}

#ifdef __SANITIZE_ADDRESS__
// A forked child ends without the parent's other threads, whose memory LeakSanitizer would then
// count as lost: leaks are checked in the parent.
static const pid_t gParent = getpid();
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return getpid() != gParent ? 1 : 0;
}
#endif

int main(int argc, char** argv) {
  quorix::usbtest::EnsurePreload(argv);
  // The child uses its parent's testbed, found through the environment.
  if (argc == 2 && std::strcmp(argv[1], quorix::usbtest::kChildOpenFlag) == 0)
    return ChildOpenFirst();
  testing::InitGoogleTest(&argc, argv);
  quorix::usbtest::Bench::Start();
  const int result = RUN_ALL_TESTS();
  quorix::usbtest::Bench::Stop();
  return result;
}
