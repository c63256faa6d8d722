// The simulated library as an application loads it: its exports and its default board.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "quorix/quorix.h"
#include "quorix/quorix_sim.h"

namespace {

class Library {
 public:
  Library() : handle_(dlopen(QUORIX_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  template <typename F>
  F* get(const char* name) const {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

TEST(SimLibrary, PresentsTheDefaultBoardWithoutAnyControlCall) {
  Library library;
  ASSERT_TRUE(library.loaded()) << dlerror();
  auto* count_devices = library.get<decltype(QuorixCountDevices)>("QuorixCountDevices");
  auto* serial_number =
      library.get<decltype(QuorixGetDeviceSerialNumber)>("QuorixGetDeviceSerialNumber");
  ASSERT_NE(count_devices, nullptr);
  ASSERT_NE(serial_number, nullptr);

  std::int32_t count = -1;
  EXPECT_EQ(count_devices(&count), QUORIX_OK);
  EXPECT_EQ(count, 1);
  ASSERT_NE(serial_number(0), nullptr);
  EXPECT_EQ(std::string(serial_number(0)), "QX-SIM-0001");
  EXPECT_EQ(serial_number(1), nullptr);
  EXPECT_EQ(serial_number(-1), nullptr);
}

TEST(SimLibrary, ControlApiShapesTheBus) {
  Library library;
  ASSERT_TRUE(library.loaded()) << dlerror();
  auto* reset = library.get<decltype(QuorixSimReset)>("QuorixSimReset");
  auto* add = library.get<decltype(QuorixSimAddBoard)>("QuorixSimAddBoard");
  auto* unplug = library.get<decltype(QuorixSimUnplug)>("QuorixSimUnplug");
  auto* replug = library.get<decltype(QuorixSimReplug)>("QuorixSimReplug");
  auto* count_devices = library.get<decltype(QuorixCountDevices)>("QuorixCountDevices");
  auto* serial_number =
      library.get<decltype(QuorixGetDeviceSerialNumber)>("QuorixGetDeviceSerialNumber");
  ASSERT_TRUE(reset && add && unplug && replug && count_devices && serial_number);

  std::int32_t count = -1;
  EXPECT_EQ(reset(), QUORIX_OK);
  EXPECT_EQ(count_devices(&count), QUORIX_OK);
  EXPECT_EQ(count, 0);

  const int a = add("A", 0xDEAD, 0xBEEF);
  const int b = add("B", 0xDEAD, 0xBEEF);
  const int other = add("X", 0x1234, 0x0001);
  EXPECT_GT(a, 0);
  EXPECT_EQ(add(nullptr, 0xDEAD, 0xBEEF), QUORIX_ERR_FAILED);
  EXPECT_EQ(count_devices(&count), QUORIX_OK);
  EXPECT_EQ(count, 2);  // the other identity is not counted

  EXPECT_EQ(unplug(a), QUORIX_OK);
  EXPECT_EQ(unplug(a), QUORIX_ERR_FAILED);
  EXPECT_EQ(count_devices(&count), QUORIX_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(std::string(serial_number(0)), "B");

  EXPECT_EQ(replug(a), QUORIX_OK);
  EXPECT_EQ(replug(a), QUORIX_ERR_FAILED);
  EXPECT_EQ(replug(9999), QUORIX_ERR_FAILED);
  EXPECT_EQ(count_devices(&count), QUORIX_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::string(serial_number(1)), "A");  // re-plugged boards list last
  (void)b;
  (void)other;
}

TEST(SimLibrary, ExportsNothingButTheApi) {
  Library library;
  ASSERT_TRUE(library.loaded()) << dlerror();
  // Internal routines are hidden: an application can reach only the C API.
  EXPECT_EQ(library.get<void>("_ZN6quorix14RefreshDevicesEv"), nullptr);
  EXPECT_EQ(library.get<void>("_ZN6quorix13ProcessAttachEv"), nullptr);
}

}  // namespace
