// libFuzzer target: boards that lie. The input decides each simulated board's device and
// string descriptors, the byte counts its driver reports for control and bulk transfers, the
// errors its control requests end with, the data its vendor requests answer and its bulk IN
// packets carry, and the port call before which it vanishes, while discovery, open, reads,
// writes, the board services and close run. Every status must be one the header documents,
// the receive rings must stay consistent, no transfer may be left pending into memory the
// library does not hold, and detaching must release every block and every handle.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using quorix::DeviceRecord;
using quorix::fuzz::Check;
using quorix::fuzz::kInjectable;
using quorix::fuzz::Program;
using quorix::sim::Board;
using quorix::sim::Bus;

constexpr int kMaxBoards = 3;
constexpr std::uint8_t kBulkIn = 0x86;
constexpr std::uint8_t kBulkOut = 0x02;

// How a board's driver misreports a count it moved.
enum Lie : std::uint8_t {
  kTruth,
  kOneMore,
  kPacketMore,
  kAll,  // 0xFFFFFFFF
  kNothing,
  kGiven,  // the value the input gave
  kOneLess,
  kDouble,
  kLies
};

std::uint32_t Misreport(std::uint8_t lie, std::uint32_t moved, std::uint32_t given) {
  switch (lie % kLies) {
    case kOneMore:
      return moved + 1;
    case kPacketMore:
      return moved + 512;
    case kAll:
      return 0xFFFFFFFF;
    case kNothing:
      return 0;
    case kGiven:
      return given;
    case kOneLess:
      return moved != 0 ? moved - 1 : 0;
    case kDouble:
      return moved * 2;
    default:
      return moved;
  }
}

// What one board does wrong, as the input set it.
struct Hostility {
  std::uint8_t control_lie = kTruth;
  std::uint8_t in_lie = kTruth;
  std::uint8_t out_lie = kTruth;
  std::uint32_t given = 0;
  // Lies left. A read waits for as long as completions keep coming, so a board that forever
  // reports nothing moved would hold it for ever, as the timeout bounds each wait, not the call.
  std::uint32_t lies = 0;
  // After `fail_after` more control requests, the next `fail_count` end with `fail_error`.
  std::uint32_t fail_after = 0;
  std::uint32_t fail_count = 0;
  std::uint32_t fail_error = 0;
  // When set, every IN vendor request is answered with these bytes.
  std::optional<std::vector<std::uint8_t>> vendor_answer;
};
Hostility gHostility[kMaxBoards];

std::vector<std::uint8_t> Bytes(Program& program, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = program.u8();
  return bytes;
}

void Arm(Board& board, int slot) {
  board.hook = [slot](const quorix::sim::Setup& setup,
                      std::span<const std::uint8_t>) -> std::optional<quorix::sim::Reply> {
    Hostility& h = gHostility[slot];
    if (h.fail_count != 0) {
      if (h.fail_after == 0) {
        --h.fail_count;
        return quorix::sim::Reply{h.fail_error, {}};
      }
      --h.fail_after;
    }
    if (h.vendor_answer && setup.bmRequestType == 0xC0)
      return quorix::sim::Reply{0, *h.vendor_answer};
    return std::nullopt;
  };
  board.report = [slot](std::uint8_t endpoint, std::uint32_t moved) {
    Hostility& h = gHostility[slot];
    const std::uint8_t lie = endpoint == 0         ? h.control_lie
                             : endpoint == kBulkIn ? h.in_lie
                                                   : h.out_lie;
    if (lie % kLies == kTruth || h.lies == 0) return moved;
    --h.lies;
    return Misreport(lie, moved, h.given);
  };
}

// Rewrites what the board describes itself with: bytes of the device descriptor, a string
// descriptor replaced by the input's bytes, or the device descriptor cut short.
void Deface(Board& board, Program& program) {
  const std::uint8_t how = program.u8();
  switch (how % 4) {
    case 0:
      for (int edits = 1 + how / 4 % 4; edits > 0; --edits) {
        const std::uint8_t at = program.u8() % 18;
        if (at < board.device_descriptor.size()) board.device_descriptor[at] = program.u8();
      }
      break;
    case 1: {
      // Index 0 is the language list; 1 to 3 the texts; 4 one the descriptor may name.
      const std::uint8_t index = program.u8() % 5;
      board.strings[index] = Bytes(program, program.u8() % 64);
      break;
    }
    case 2:
      board.strings.erase(program.u8() % 5);
      break;
    case 3:
      board.device_descriptor.resize(program.u8() % 19);
      break;
  }
}

void Provoke(Board& board, Hostility& h, Program& program) {
  const std::uint8_t what = program.u8();
  switch (what % 8) {
    case 0:
      h.fail_after = program.u8() % 16;
      h.fail_count = 1 + program.u8() % 8;
      h.fail_error = kInjectable[program.u8() % 6];
      break;
    case 1:
      h.control_lie = program.u8();
      h.given = program.u32();
      h.lies = 1 + program.u8();
      break;
    case 2:
      h.in_lie = program.u8();
      h.given = program.u32();
      h.lies = 1 + program.u8();
      break;
    case 3:
      h.out_lie = program.u8();
      h.lies = 1 + program.u8();
      break;
    case 4:
      if ((what & 0x80) != 0)
        h.vendor_answer.reset();
      else
        h.vendor_answer = Bytes(program, program.u8() % 80);
      break;
    case 5: {
      constexpr quorix::sim::Completion kModes[] = {quorix::sim::Completion::kLater,
                                                    quorix::sim::Completion::kAtOnce,
                                                    quorix::sim::Completion::kHold};
      board.in.completion = kModes[program.u8() % 3];
      board.out.completion = kModes[program.u8() % 3];
      break;
    }
    case 6:
      board.in.fail = program.u8() % 4 == 0 ? kInjectable[program.u8() % 6] : 0;
      board.out.refuse = program.u8() % 4 == 0 ? kInjectable[program.u8() % 6] : 0;
      board.out_accept = program.u8() % 2 == 0 ? 0xFFFFFFFF : program.u16();
      break;
    case 7: {
      constexpr quorix::sim::Source kSources[] = {quorix::sim::Source::kNone,
                                                  quorix::sim::Source::kCounter,
                                                  quorix::sim::Source::kUntouched};
      board.source = kSources[program.u8() % 3];
      board.rate = program.u8() % 4 == 0 ? quorix::sim::kRateUnlimited : program.u16() * 1024u;
      break;
    }
  }
}

// The registry as it must be between calls, whatever the boards did.
void ExpectConsistent(Bus& bus, const std::vector<Board*>& boards) {
  std::size_t reads_allowed = 0;
  for (std::uint32_t i = 0; i < quorix::GetDeviceCount(); ++i) {
    const DeviceRecord* record = quorix::GetDeviceAt(i);
    for (std::uint32_t j = i + 1; j < quorix::GetDeviceCount(); ++j)
      if (quorix::GetDeviceAt(j) == record) std::abort();
    if (record->open == 0) {
      if (record->ring != nullptr || record->bounce != nullptr) std::abort();
      continue;
    }
    if (record->ring == nullptr || record->bounce == nullptr) std::abort();
    if (record->read_index >= record->ring_size || record->write_index >= record->ring_size)
      std::abort();
    if (record->bounce_flag != 0 && record->bounce_flag != 1) std::abort();
    if (record->driver != nullptr) ++reads_allowed;
  }
  // A read may only be pending into the ring of a device that is open on its driver handle,
  // and no write outlives its call.
  std::size_t reads = 0;
  for (const Board* board : boards) {
    reads += bus.Pending(board->id, kBulkIn);
    if (bus.Pending(board->id, kBulkOut) != 0) std::abort();
  }
  if (reads > reads_allowed) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bus& bus = quorix::sim::TheBus();
  bus.Reset();
  bus.UseVirtualClock(true);
  bus.LogWire(false);
  Program program(data, size);

  const int boards = 1 + program.u8() % kMaxBoards;
  std::vector<Board*> board(boards);
  for (int slot = 0; slot < boards; ++slot) {
    quorix::sim::BoardIdentity identity;
    identity.serial = "HB-" + std::to_string(slot);
    board[slot] = &bus.AddBoard(identity);
    gHostility[slot] = {};
    Arm(*board[slot], slot);
    for (int defacements = program.u8() % 4; defacements > 0; --defacements)
      Deface(*board[slot], program);
  }
  quorix::ProcessAttach();

  QuorixHandle handles[4] = {};
  std::vector<std::uint8_t> buffer(70000);
  for (int steps = 0; !program.done() && steps < 300; ++steps) {
    const std::uint8_t op = program.u8();
    QuorixHandle& handle = handles[program.u8() % 4];
    const int slot = program.u8() % boards;
    switch (op % 16) {
      case 0: {
        std::int32_t count = 0;
        Check(QuorixCountDevices(&count));
        break;
      }
      case 1:
        if (const char* serial = QuorixGetDeviceSerialNumber(program.u8() % 4)) {
          if (std::strlen(serial) > 126) std::abort();  // no string descriptor holds more
        }
        break;
      case 2:
        Check(QuorixOpenDevice(program.u8() % 4, &handle));
        break;
      case 3:
        // Straight from the library to the library, as callers do.
        Check(QuorixOpenDeviceWithSerial(QuorixGetDeviceSerialNumber(program.u8() % 4), &handle));
        break;
      case 4:
        Check(QuorixCloseDevice(handle));
        break;
      case 5:
        Check(QuorixReadDevice(handle, program.u16() % buffer.size(), buffer.data()));
        break;
      case 6:
        Check(QuorixWriteDevice(handle, program.u16() % 5000, buffer.data()));
        break;
      case 7: {
        std::uint32_t count = 0;
        Check(QuorixNumberOfBytesAvailable(handle, &count));
        if (count > quorix::kRingSize) std::abort();
        break;
      }
      case 8:
        Check(QuorixSetTimeOut(handle, program.u8()));
        break;
      case 9:
        Provoke(*board[slot], gHostility[slot], program);
        break;
      case 10: {
        const std::uint8_t how = program.u8();
        if (how % 4 == 0)
          board[slot]->PushZeroLengthPacket();
        else if (how % 4 == 1)
          // One packet of any size: more than 512 bytes is babble.
          board[slot]->in_packets.push_back(Bytes(program, program.u16() % 1500));
        else
          board[slot]->PushIn(std::vector<std::uint8_t>(program.u16() % 5000, how));
        break;
      }
      case 11:
        bus.UnplugAt(1 + program.u8() % 64, board[slot]->id);
        break;
      case 12:
        if ((op & 0x80) != 0)
          bus.Replug(board[slot]->id);
        else
          bus.Unplug(board[slot]->id);
        bus.PassTime(program.u8());
        break;
      case 13: {
        std::uint8_t outputs = 0;
        Check(QuorixGetPortDOutputs(handle, &outputs));
        Check(QuorixReadEprom(handle, 1, program.u16(), program.u8(), buffer.data()));
        break;
      }
      case 14: {
        const std::uint8_t command[] = {'r', 'u', 'n'};
        Check(QuorixSetStartupCommand(handle, sizeof command, command));
        break;
      }
      case 15:
        if ((op & 0x80) != 0)
          Check(QuorixLoadFirmware(handle, QUORIX_FUZZ_FIRMWARE));
        else
          // Seen by the next discovery once the board is plugged in again.
          Deface(*board[slot], program);
        break;
    }
    ExpectConsistent(bus, board);
  }

  quorix::fuzz::DetachAndExpectReleased(bus);
  // No port call was made to fail, so every handle was closed.
  if (bus.LiveHandles() != 0) std::abort();
  for (const Board* each : board)
    if (bus.Pending(each->id, kBulkIn) != 0 || bus.Pending(each->id, kBulkOut) != 0) std::abort();
  return 0;
}
