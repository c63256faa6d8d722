// Puts test boards into a Wine prefix, or takes them out again: a Windows console program.
//
//   quorix_test_board_install install DRIVER.sys COUNT
//       copies the driver into system32\drivers, makes a demand-start kernel service of it for
//       COUNT boards, adds twice as many root-enumerated devices, the ports (ROOT\QUORIXTESTBOARD
//       \0000 and on), and starts the service, whose AddDevice and START_DEVICE then give each
//       port its interface and plug board n into port n. Returns once the control device
//       reports every board plugged in.
//   quorix_test_board_install list
//       lists the boards the running driver serves.
//   quorix_test_board_install remove
//       unplugs the boards and removes the devices, the service and the driver file.
//
// Wine's PnP manager makes a PDO for each ROOT device whose Service value names a kernel
// service when that service starts, so no INF is needed. Wine 8 also starts such a service by
// itself when its wineserver starts, and cannot unload a driver that has PnP devices: a
// driver once loaded stays until the wineserver ends. So install finds the service stopped
// only in a prefix without test boards; otherwise it removes them and exits with 3, and the
// caller starts a new wineserver and installs again.
#include <windows.h>
// After windows.h, which they need.
#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "board_control.h"

namespace {

using namespace std::chrono_literals;

// Wine sometimes answers 1053 (the service did not respond) or 1055 (the database is locked)
// for a while after a prefix is made; both pass.
constexpr auto kStartPatience = 90s;
constexpr auto kBoardPatience = 30s;

// The USB device setup class, {36FC9E60-C465-11CF-8056-444553540000}, where boards belong.
const GUID kUsbClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

class Failure {
 public:
  Failure(std::string what, DWORD error) : what_(std::move(what)), error_(error) {}
  void Print() const { std::fprintf(stderr, "%s failed with %lu\n", what_.c_str(), error_); }

 private:
  std::string what_;
  DWORD error_;
};

[[noreturn]] void Fail(const std::string& what) { throw Failure(what, GetLastError()); }

// Closes a service or the service manager when it goes out of scope.
struct CloseService {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;

std::string DriverPath() {
  char system[MAX_PATH];
  if (GetSystemDirectoryA(system, MAX_PATH) == 0) Fail("GetSystemDirectoryA");
  return std::string(system) + "\\drivers\\" QXB_DRIVER_FILE;
}

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) Fail("QueryServiceStatus");
  return status.dwCurrentState;
}

void StartService(SC_HANDLE service) {
  const auto deadline = std::chrono::steady_clock::now() + kStartPatience;
  for (int attempt = 1;; ++attempt) {
    if (::StartServiceA(service, 0, nullptr)) return;
    const DWORD error = GetLastError();
    const bool slow =
        error == ERROR_SERVICE_REQUEST_TIMEOUT || error == ERROR_SERVICE_DATABASE_LOCKED;
    if (!slow || std::chrono::steady_clock::now() > deadline)
      throw Failure("starting the service (attempt " + std::to_string(attempt) + ")", error);
    std::fprintf(stderr, "starting the service: %lu, trying again\n", error);
    std::this_thread::sleep_for(1s);
  }
}

// The test boards' devices in the prefix, removed one by one.
void RemoveDevices() {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) Fail("SetupDiGetClassDevsA");
  const std::string prefix = "ROOT\\" QXB_DEVICE_NAME "\\";
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    char id[MAX_PATH];
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) continue;
    if (_strnicmp(id, prefix.c_str(), prefix.size()) != 0) continue;
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      SetupDiDestroyDeviceInfoList(set);
      Fail(std::string("removing ") + id);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

void AddPorts(int count) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) Fail("SetupDiCreateDeviceInfoList");
  // Multi-strings: each ends with a NUL, the list with another.
  static const char kHardwareId[] = QXB_HARDWARE_ID "\0";
  static const char kService[] = QXB_SERVICE_NAME "\0";
  for (int i = 0; i < count; ++i) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const bool made =
        SetupDiCreateDeviceInfoA(set, QXB_DEVICE_NAME, &kUsbClass, "Quorix test board", nullptr,
                                 DICD_GENERATE_ID, &device) &&
        SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE*>(kHardwareId),
                                          sizeof kHardwareId) &&
        SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE,
                                          reinterpret_cast<const BYTE*>(kService),
                                          sizeof kService) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    if (!made) {
      const DWORD error = GetLastError();
      SetupDiDestroyDeviceInfoList(set);
      throw Failure("making port " + std::to_string(i), error);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

// The service's Parameters\Boards, which the driver reads when it loads.
void SetBoardCount(int count) {
  HKEY key;
  const LONG made = RegCreateKeyExA(
      HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\" QXB_SERVICE_NAME "\\Parameters",
      0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (made != ERROR_SUCCESS) throw Failure("making the service's Parameters key", made);
  const DWORD value = static_cast<DWORD>(count);
  const LONG set = RegSetValueExW(key, QXB_BOARDS_VALUE, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  if (set != ERROR_SUCCESS) throw Failure("setting the number of boards", set);
}

// One command to the control device; false when it is not there (yet).
bool AskBoards(const QxbRequest& request, void* answer, DWORD size) {
  HANDLE control =
      CreateFileA(QXB_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  QxbRequest copy = request;
  const bool done = DeviceIoControl(control, QXB_IOCTL_CONTROL, &copy, sizeof copy, answer, size,
                                    &returned, nullptr) != FALSE;
  CloseHandle(control);
  return done;
}

// Waits until the driver has count boards (any number when count is 0), each plugged in, and
// twice as many ports, and lists them.
void AwaitBoards(int count) {
  const auto deadline = std::chrono::steady_clock::now() + kBoardPatience;
  for (;;) {
    QxbRequest request{};
    request.command = QXB_BOARDS;
    QxbBoards boards{};
    std::vector<QxbState> states;
    if (AskBoards(request, &boards, sizeof boards) && boards.ports == 2 * boards.count &&
        (count == 0 || boards.count == static_cast<uint32_t>(count))) {
      for (uint32_t i = 0; i < boards.count; ++i) {
        QxbState state{};
        request.command = QXB_STATE;
        request.board = i;
        if (!AskBoards(request, &state, sizeof state) || !state.plugged) break;
        states.push_back(state);
      }
    }
    if (boards.count != 0 && states.size() == boards.count) {
      for (const QxbState& state : states)
        std::printf("board %u: %s in port %u at %s\n", state.number, state.knobs.serial, state.port,
                    state.path);
      return;
    }
    if (std::chrono::steady_clock::now() > deadline)
      throw Failure("waiting for " + std::to_string(count) + " boards", ERROR_TIMEOUT);
    std::this_thread::sleep_for(100ms);
  }
}

// Unplugs every board the running driver serves, so that none is listed any more.
void UnplugAll() {
  QxbRequest request{};
  request.command = QXB_BOARDS;
  QxbBoards boards{};
  if (!AskBoards(request, &boards, sizeof boards)) return;
  request.command = QXB_UNPLUG;
  for (request.board = 0; request.board < boards.count; ++request.board) {
    QxbState state{};
    (void)AskBoards(request, &state, sizeof state);
  }
}

// Takes the boards out of the prefix: unplugged at once, devices and service gone. The
// driver itself stays loaded until the wineserver ends.
void RemoveBoards(SC_HANDLE manager) {
  UnplugAll();
  RemoveDevices();
  ServiceHandle service(OpenServiceA(manager, QXB_SERVICE_NAME, SERVICE_ALL_ACCESS));
  if (service && !DeleteService(service.get())) Fail("DeleteService");
  // A loaded driver's file may be held; the next install overwrites it anyway.
  const std::string target = DriverPath();
  if (!DeleteFileA(target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "%s stays: %lu\n", target.c_str(), GetLastError());
}

// 0 when installed, 3 when a loaded driver had to be removed first.
int Install(const char* driver, int count) {
  const std::string target = DriverPath();
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) Fail("OpenSCManagerA");
  ServiceHandle service(OpenServiceA(manager.get(), QXB_SERVICE_NAME, SERVICE_ALL_ACCESS));
  if (service && ServiceState(service.get()) != SERVICE_STOPPED) {
    service.reset();
    RemoveBoards(manager.get());
    std::printf(
        "removed the test boards of a running driver: start a new wineserver and "
        "install again\n");
    return 3;
  }
  if (!CopyFileA(driver, target.c_str(), FALSE)) Fail("copying " + std::string(driver));
  if (service) {
    if (!ChangeServiceConfigA(service.get(), SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, target.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, "Quorix test board"))
      Fail("ChangeServiceConfigA");
  } else {
    service.reset(CreateServiceA(manager.get(), QXB_SERVICE_NAME, "Quorix test board",
                                 SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, target.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
    if (!service) Fail("CreateServiceA");
  }
  SetBoardCount(count);
  RemoveDevices();
  AddPorts(2 * count);
  StartService(service.get());
  AwaitBoards(count);
  return 0;
}

void Remove() {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) Fail("OpenSCManagerA");
  RemoveBoards(manager.get());
  std::printf("test boards removed\n");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::strcmp(argv[1], "install") == 0) {
      const int count = std::atoi(argv[3]);
      if (count < 1 || count > static_cast<int>(QXB_MAX_BOARDS)) {
        std::fprintf(stderr, "between 1 and %u boards\n", QXB_MAX_BOARDS);
        return 2;
      }
      return Install(argv[2], count);
    }
    if (argc == 2 && std::strcmp(argv[1], "list") == 0) {
      AwaitBoards(0);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "remove") == 0) {
      Remove();
      return 0;
    }
  } catch (const Failure& failure) {
    failure.Print();
    return 1;
  }
  std::fprintf(stderr, "usage: %s install DRIVER.sys COUNT | list | remove\n", argv[0]);
  return 2;
}
