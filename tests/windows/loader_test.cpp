// The Windows modules as an application meets them: loaded by name from beside the program,
// each export found by its undecorated name, the version resource read as Explorer reads it.
#include <windows.h>
// After windows.h, which it needs.
#include <winver.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ends_itself.h"
#include "quorix/quorix.h"
#include "quorix/quorix_sim.h"
#include "support/api_names.h"
#include "support/shared_library.h"

namespace quorix::test {
namespace {

constexpr const char* kNative = "KV420_FX2.dll";
constexpr const char* kSimulated = "quorix-sim.dll";

std::string ModulePath(const char* name) {
  char path[MAX_PATH] = {};
  const HMODULE module = GetModuleHandleA(name);
  if (module == nullptr || GetModuleFileNameA(module, path, MAX_PATH) == 0) return {};
  return path;
}

// The module file's version resource.
class VersionInfo {
 public:
  explicit VersionInfo(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return;
    block_.resize(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block_.data())) block_.clear();
  }

  bool read() const { return !block_.empty(); }

  const VS_FIXEDFILEINFO* fixed() const {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block_.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
      return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(value);
  }

  // A text of the US English, Unicode string table.
  std::string text(const char* name) const {
    void* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(block_.data(), key.c_str(), &value, &length) || length == 0) return {};
    return static_cast<const char*>(value);
  }

 private:
  std::vector<std::uint8_t> block_;
};

TEST(NativeModule, ExportsEveryFunctionByItsUndecoratedName) {
  SharedLibrary module(kNative);
  ASSERT_TRUE(module.loaded()) << module.error();
  for (const char* name : kApiFunctions) EXPECT_NE(module.get<void>(name), nullptr) << name;
  // No decorated or internal names, and no simulator.
  EXPECT_EQ(module.get<void>("_QuorixCountDevices"), nullptr);
  EXPECT_EQ(module.get<void>("QuorixCountDevices@4"), nullptr);
  EXPECT_EQ(module.get<void>("QuorixSimReset"), nullptr);
  EXPECT_EQ(module.get<void>("DllMain"), nullptr);
}

TEST(NativeModule, CarriesItsVersionResource) {
  SharedLibrary module(kNative);
  ASSERT_TRUE(module.loaded()) << module.error();
  const std::string path = ModulePath(kNative);
  ASSERT_FALSE(path.empty());
  const VersionInfo info(path);
  ASSERT_TRUE(info.read()) << path;
  const VS_FIXEDFILEINFO* fixed = info.fixed();
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000003u);  // .0.3
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000003u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(info.text("FileDescription"), "QuorixLib");
  EXPECT_EQ(info.text("InternalName"), "QuorixLib");
  EXPECT_EQ(info.text("FileVersion"), "1.0.0.3");
  EXPECT_EQ(info.text("ProductVersion"), "1.0.0.3");
  EXPECT_EQ(info.text("OriginalFilename"), kNative);
}

// Wine's SetupAPI lists no interface of the driver's class, so the real listing runs to its
// end at once: no board, and every board-taking call refuses.
void ExpectNoBoard(const SharedLibrary& module) {
  QUORIX_BIND(module, QuorixCountDevices);
  QUORIX_BIND(module, QuorixGetDeviceSerialNumber);
  QUORIX_BIND(module, QuorixOpenDevice);
  QUORIX_BIND(module, QuorixCloseDevice);
  ASSERT_NE(QuorixCountDevices, nullptr);
  ASSERT_NE(QuorixGetDeviceSerialNumber, nullptr);
  ASSERT_NE(QuorixOpenDevice, nullptr);
  ASSERT_NE(QuorixCloseDevice, nullptr);

  std::int32_t count = -1;
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(QuorixGetDeviceSerialNumber(0), nullptr);
  QuorixHandle handle = nullptr;
  EXPECT_EQ(QuorixOpenDevice(0, &handle), QUORIX_ERR_FAILED);
  EXPECT_EQ(QuorixCloseDevice(nullptr), QUORIX_ERR_FAILED);
}

TEST(NativeModule, FindsNoBoardUnderWineAndLoadsAgainAfterUnloading) {
  {
    SharedLibrary module(kNative);
    ASSERT_TRUE(module.loaded()) << module.error();
    ExpectNoBoard(module);
    EXPECT_TRUE(module.Unload());
  }
  EXPECT_EQ(GetModuleHandleA(kNative), nullptr) << "still loaded";
  SharedLibrary again(kNative);
  ASSERT_TRUE(again.loaded()) << again.error();
  ExpectNoBoard(again);
}

// An application switches to the simulator by loading the other module.
TEST(SimulatedModule, OffersTheSameApiOverItsDefaultBoard) {
  SharedLibrary module(kSimulated);
  ASSERT_TRUE(module.loaded()) << module.error();
  for (const char* name : kApiFunctions) EXPECT_NE(module.get<void>(name), nullptr) << name;
  QUORIX_BIND(module, QuorixSimReset);
  QUORIX_BIND(module, QuorixCountDevices);
  QUORIX_BIND(module, QuorixGetDeviceSerialNumber);
  ASSERT_NE(QuorixSimReset, nullptr);
  ASSERT_NE(QuorixCountDevices, nullptr);
  ASSERT_NE(QuorixGetDeviceSerialNumber, nullptr);

  std::int32_t count = -1;
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 1);
  ASSERT_NE(QuorixGetDeviceSerialNumber(0), nullptr);
  EXPECT_EQ(std::string(QuorixGetDeviceSerialNumber(0)), "QX-SIM-0001");
  EXPECT_EQ(QuorixSimReset(), 0);
  EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
  EXPECT_EQ(count, 0);

  const VersionInfo info(ModulePath(kSimulated));
  ASSERT_TRUE(info.read());
  EXPECT_EQ(info.text("InternalName"), "QuorixLib");
  EXPECT_EQ(info.text("OriginalFilename"), kSimulated);
}

// The simulated module's ready handle is an event that WaitForMultipleObjects wakes on: when
// bytes come, and when the board is pulled.
TEST(SimulatedModule, ItsReadyHandleWakesWaitForMultipleObjects) {
  SharedLibrary module(kSimulated);
  ASSERT_TRUE(module.loaded()) << module.error();
  QUORIX_BIND(module, QuorixOpenDeviceQueued);
  QUORIX_BIND(module, QuorixGetReadyHandle);
  QUORIX_BIND(module, QuorixReadDevice);
  QUORIX_BIND(module, QuorixCloseDevice);
  QUORIX_BIND(module, QuorixSimSetSource);
  QUORIX_BIND(module, QuorixSimPushIn);
  QUORIX_BIND(module, QuorixSimUnplug);
  ASSERT_TRUE(QuorixOpenDeviceQueued && QuorixGetReadyHandle && QuorixReadDevice &&
              QuorixCloseDevice && QuorixSimSetSource && QuorixSimPushIn && QuorixSimUnplug);
  ASSERT_EQ(QuorixSimSetSource(1, QUORIX_SIM_SOURCE_NONE, QUORIX_SIM_RATE_DEFAULT), 0);
  const QuorixReadQueue queue{4, 64 * 1024, 1 << 20};
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDeviceQueued(0, nullptr, &queue, &device), QUORIX_OK);
  QuorixNativeHandle ready = nullptr;
  ASSERT_EQ(QuorixGetReadyHandle(device, &ready), QUORIX_OK);
  EXPECT_EQ(WaitForSingleObject(ready, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto wait_while = [&](auto&& change) {
    DWORD woke = WAIT_FAILED;
    std::thread waiter([&] {
      const HANDLE objects[2] = {stop, ready};
      woke = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let it be waiting
    change();
    waiter.join();
    return woke;
  };
  const std::uint8_t bytes[100] = {1, 2, 3};
  EXPECT_EQ(wait_while([&] { EXPECT_EQ(QuorixSimPushIn(1, bytes, sizeof bytes), 0); }),
            WAIT_OBJECT_0 + 1);
  std::uint8_t got[100] = {};
  ASSERT_EQ(QuorixReadDevice(device, sizeof got, got), QUORIX_OK);
  EXPECT_EQ(got[2], 3);
  EXPECT_EQ(WaitForSingleObject(ready, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // read empty
  EXPECT_EQ(wait_while([&] { EXPECT_EQ(QuorixSimUnplug(1), 0); }), WAIT_OBJECT_0 + 1);
  CloseHandle(stop);
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST(SimulatedModule, UnloadsWhenItsLastPlugCallbackEndedItselfAfterTheApplicationLetGo) {
  EXPECT_EQ(UnloadsAfterItsCallbackEndsItself(kSimulated), "");
}

}  // namespace
}  // namespace quorix::test
