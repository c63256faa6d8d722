// libFuzzer target: the input is a program of public calls against the simulated bus, with
// bad handles, null pointers, large counts, injected port faults, unplugs and re-plugs mixed
// in. Every status must be one the header documents, nothing may crash, and detaching at the
// end must release every block and every handle the library holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/sim/sim.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace {

using quorix::sim::TheBus;

// The bytes of the input, taken one field at a time; zeros once it is used up.
class Program {
 public:
  Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
  std::uint32_t u32() { return u16() | static_cast<std::uint32_t>(u16()) << 16; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The Windows codes that can reach a caller here: the simulated driver's own and the ones
// this target injects.
bool Documented(int status) {
  if (status <= 0) return status >= QUORIX_ERR_NO_SPACE;
  switch (status) {
    case 2:
    case 5:
    case 6:
    case 8:
    case 31:
    case 87:
    case 121:
    case 122:
    case 170:
    case 259:
    case 995:
    case 1117:
    case 1167:
    case 1784:
      return true;
    default:
      return false;
  }
}

void Check(int status) {
  if (!Documented(status)) std::abort();
}

constexpr std::uint32_t kInjectable[] = {5, 31, 121, 995, 1117, 1167};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorix::sim::Bus& bus = TheBus();
  bus.Reset();
  bus.UseVirtualClock(true);
  bus.LogWire(false);
  for (const char* serial : {"FZ-0", "FZ-1", "FZ-2"}) {
    quorix::sim::BoardIdentity identity;
    identity.serial = serial;
    bus.AddBoard(identity).rate = 1u << 20;
  }
  quorix::ProcessAttach();

  Program program(data, size);
  // Handles the calls gave, and some that no call gave: null, a stack address, a heap block.
  std::int32_t not_a_record = 0;
  QuorixHandle handles[6] = {nullptr, nullptr, nullptr,
                             nullptr, nullptr, reinterpret_cast<QuorixHandle>(&not_a_record)};
  std::vector<std::uint8_t> buffer(70000);
  int steps = 0;
  while (!program.done() && ++steps < 200) {
    const std::uint8_t op = program.u8();
    QuorixHandle& handle = handles[program.u8() % 6];
    std::uint8_t* bytes = (op & 0x80) != 0 ? nullptr : buffer.data();
    switch (op % 20) {
      case 0: {
        std::int32_t count = 0;
        Check(QuorixCountDevices((op & 0x80) != 0 ? nullptr : &count));
        break;
      }
      case 1:
        (void)QuorixGetDeviceSerialNumber(static_cast<std::int8_t>(program.u8()));
        break;
      case 2:
        Check(QuorixOpenDevice(static_cast<std::int8_t>(program.u8()) % 4,
                               (op & 0x80) != 0 ? nullptr : &handle));
        break;
      case 3: {
        const char* serials[] = {"FZ-0", "FZ-2", "", nullptr};
        Check(QuorixOpenDeviceWithSerial(serials[program.u8() % 4], &handle));
        break;
      }
      case 4:
        Check(QuorixCloseDevice(handle));
        break;
      case 5: {
        std::uint32_t count = 0;
        Check(QuorixNumberOfBytesAvailable(handle, (op & 0x80) != 0 ? nullptr : &count));
        break;
      }
      case 6: {
        const std::uint32_t count = program.u16() % (bytes != nullptr ? buffer.size() : 3);
        Check(QuorixReadDevice(handle, count, bytes));
        break;
      }
      case 7: {
        const std::uint32_t count = program.u16() % (bytes != nullptr ? buffer.size() : 3);
        Check(QuorixWriteDevice(handle, count, bytes));
        break;
      }
      case 8:
        Check(QuorixSetTimeOut(handle, program.u8() % 4 == 0 ? 0 : program.u8()));
        break;
      case 9:
        Check(QuorixSetPortDOutputs(handle, program.u8()));
        break;
      case 10:
        Check(QuorixSetPortDOutputsExt(handle, program.u8(), bytes));
        break;
      case 11:
        Check(QuorixGetPortDOutputs(handle, bytes));
        break;
      case 12:
        Check(QuorixSetPortDOutputEnable(handle, program.u8()));
        Check(QuorixSetConfFpgaMode(handle, program.u8()));
        break;
      case 13:
        Check(QuorixReadEprom(handle, program.u8() % 3, program.u16(), program.u8(), bytes));
        break;
      case 14:
        Check(QuorixWriteEprom(handle, program.u8() % 3, program.u16(), program.u8(), bytes));
        break;
      case 15:
        Check(QuorixSetStartupCommand(handle, program.u16() % 5000, bytes));
        break;
      case 16: {
        const char* images[] = {QUORIX_FUZZ_FIRMWARE, "/nonexistent.hex", "/", nullptr};
        Check(QuorixLoadFirmware(handle, images[program.u8() % 4]));
        break;
      }
      case 17:
        bus.FailCall(1 + program.u8() % 16, kInjectable[program.u8() % 6]);
        break;
      case 18: {
        const int board = 1 + program.u8() % 3;
        if ((op & 0x80) != 0)
          bus.Replug(board);
        else
          bus.Unplug(board);
        break;
      }
      case 19:
        if (quorix::sim::Board* board = bus.FindBoard(1 + program.u8() % 3)) {
          if ((op & 0x80) != 0)
            bus.Stall(board->id, program.u8() % 2 != 0 ? 0x86 : 0x02);
          else
            board->PushIn(std::vector<std::uint8_t>(program.u16() % 3000, 0xA5));
        }
        bus.PassTime(program.u8());
        break;
    }
  }

  bus.ClearFaults();
  quorix::ProcessDetach();
  if (quorix::gRegistry.count != 0 || quorix::gProcesses.count != 0) std::abort();
  // Handles are not counted: one whose close was the injected failure stays with the system.
  if (bus.LiveBlocks() != 0) std::abort();
  return 0;
}
