// libFuzzer target: the input is a program of public calls against the simulated bus, with
// bad handles, null pointers, large counts, injected port faults, unplugs and re-plugs mixed
// in. Every status must be one the header documents, nothing may crash, and detaching at the
// end must release every heap block the library holds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

namespace {

using quorix::fuzz::Check;
using quorix::fuzz::kInjectable;
using quorix::sim::TheBus;

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

  quorix::fuzz::Program program(data, size);
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

  // Handles are not counted: one whose close was the injected failure stays with the system.
  quorix::fuzz::DetachAndExpectReleased(bus);
  return 0;
}
