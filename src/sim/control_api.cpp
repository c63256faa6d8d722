// The QuorixSim C control API over the simulated bus. Each call holds the bus, so any thread
// may make it while others use the library.
#include <algorithm>
#include <utility>

#include "sim/bus.h"
#include "sim/state_file.h"
#include "quorix/quorix_sim.h"

using quorix::sim::TheBus;

// The C names pass straight through to the simulator's own values.
static_assert(quorix::sim::kDefaultRate == QUORIX_SIM_RATE_DEFAULT);
static_assert(quorix::sim::kRateUnlimited == QUORIX_SIM_RATE_UNLIMITED);
static_assert(quorix::sim::kSourceFifo == QUORIX_SIM_FIFO_DEFAULT);
static_assert(quorix::sim::kEepromSize == QUORIX_SIM_EEPROM_SIZE);
static_assert(QUORIX_SIM_EEPROM_SIZE == QUORIX_EEPROM_SIZE, "the simulated board's part");
static_assert(quorix::sim::kEepromPage == QUORIX_SIM_EEPROM_PAGE);
static_assert(quorix::sim::kStartupBase == QUORIX_SIM_STARTUP_BASE);
static_assert(quorix::sim::kStartupCommandAddress == QUORIX_SIM_STARTUP_COMMAND);

namespace {

quorix::sim::Eeprom* EepromOf(int board, std::uint8_t select) {
  quorix::sim::Board* found = TheBus().FindBoard(board);
  return found == nullptr ? nullptr : found->EepromAt(select);
}

}  // namespace

extern "C" {

QUORIX_API int QUORIX_CALL QuorixSimReset(void) {
  return TheBus().Locked([&]() -> int {
    TheBus().Reset();
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimAddBoard(const char* serial, uint16_t vendor,
                                             uint16_t product) {
  return TheBus().Locked([&]() -> int {
    if (serial == nullptr) return QUORIX_ERR_FAILED;
    quorix::sim::BoardIdentity identity;
    identity.serial = serial;
    identity.vendor = vendor;
    identity.product = product;
    quorix::sim::Board& board = TheBus().AddBoard(identity);
    quorix::sim::ApplyRememberedState(board);
    return board.id;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimUnplug(int board) {
  return TheBus().Locked(
      [&]() -> int { return TheBus().Unplug(board) ? QUORIX_OK : QUORIX_ERR_FAILED; });
}

QUORIX_API int QUORIX_CALL QuorixSimReplug(int board) {
  return TheBus().Locked(
      [&]() -> int { return TheBus().Replug(board) ? QUORIX_OK : QUORIX_ERR_FAILED; });
}

QUORIX_API int QUORIX_CALL QuorixSimPushIn(int board, const void* data, uint32_t count) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr || (data == nullptr && count != 0)) return QUORIX_ERR_FAILED;
    found->PushIn({static_cast<const std::uint8_t*>(data), count});
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimSetSource(int board, int source, uint32_t bytes_per_second) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr) return QUORIX_ERR_FAILED;
    quorix::sim::Source next;
    switch (source) {
      case QUORIX_SIM_SOURCE_NONE:
        next = quorix::sim::Source::kNone;
        break;
      case QUORIX_SIM_SOURCE_COUNTER:
        next = quorix::sim::Source::kCounter;
        break;
      case QUORIX_SIM_SOURCE_FIXED_RATE:
        // A source that never waits needs a rate it can keep.
        if (bytes_per_second == QUORIX_SIM_RATE_UNLIMITED) return QUORIX_ERR_FAILED;
        next = quorix::sim::Source::kFixedRate;
        break;
      default:
        return QUORIX_ERR_FAILED;
    }
    // What the old setting produced so far stands; the new one counts from now.
    TheBus().Advance();
    found->ChangeSource(next, bytes_per_second);
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimSetBoardFifo(int board, uint32_t bytes) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr || bytes % quorix::sim::kPacketSize != 0) return QUORIX_ERR_FAILED;
    TheBus().Advance();
    found->SetFifo(bytes);
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimGetDroppedBytes(int board, uint64_t* bytes) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr || bytes == nullptr) return QUORIX_ERR_FAILED;
    // Up to now: what the source dropped since it last ran counts too.
    TheBus().Advance();
    *bytes = found->dropped;
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimSetLoopback(int board, int on) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr) return QUORIX_ERR_FAILED;
    found->loopback = on != 0;
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimTakeOut(int board, void* buffer, uint32_t capacity,
                                            uint32_t* taken) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr || taken == nullptr) return QUORIX_ERR_FAILED;
    std::vector<std::uint8_t>& kept = found->out_data;
    if (buffer == nullptr) {
      *taken = static_cast<uint32_t>(std::min<std::size_t>(kept.size(), 0xFFFFFFFF));
      return QUORIX_OK;
    }
    const std::size_t size = std::min<std::size_t>(kept.size(), capacity);
    std::copy_n(kept.begin(), size, static_cast<std::uint8_t*>(buffer));
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(size));
    *taken = static_cast<uint32_t>(size);
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimReadEeprom(int board, uint8_t select, uint16_t address,
                                               uint32_t count, void* buffer) {
  return TheBus().Locked([&]() -> int {
    const quorix::sim::Eeprom* eeprom = EepromOf(board, select);
    if (eeprom == nullptr || (buffer == nullptr && count != 0)) return QUORIX_ERR_FAILED;
    const std::vector<std::uint8_t> bytes = eeprom->Read(address, count);
    std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(buffer));
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimWriteEeprom(int board, uint8_t select, uint16_t address,
                                                uint32_t count, const void* data) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Eeprom* eeprom = EepromOf(board, select);
    if (eeprom == nullptr || (data == nullptr && count != 0)) return QUORIX_ERR_FAILED;
    eeprom->Write(address, {static_cast<const std::uint8_t*>(data), count});
    quorix::sim::NoteStateChange();
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimClearStartupArea(int board) {
  const std::uint8_t none = 0;
  return QuorixSimWriteEeprom(board, quorix::sim::kEepromSelect, 0x1FFD, 1, &none);
}

QUORIX_API int QUORIX_CALL QuorixSimReadMemory(int board, uint16_t address, uint32_t count,
                                               void* buffer) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr || (buffer == nullptr && count != 0)) return QUORIX_ERR_FAILED;
    const std::uint8_t* memory = found->Memory(address, count);
    if (memory == nullptr) return QUORIX_ERR_FAILED;
    std::copy_n(memory, count, static_cast<std::uint8_t*>(buffer));
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimCpuRunning(int board) {
  return TheBus().Locked([&]() -> int {
    const quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr) return QUORIX_ERR_FAILED;
    return found->cpu_reset ? 0 : 1;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimStartSourceOnPortD(int board, uint8_t value,
                                                       uint32_t bytes_per_second) {
  return TheBus().Locked([&]() -> int {
    quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr) return QUORIX_ERR_FAILED;
    found->start_on_port_d = std::make_pair(value, bytes_per_second);
    return QUORIX_OK;
  });
}

QUORIX_API int QUORIX_CALL QuorixSimGetBoardState(int board, uint8_t* port_d,
                                                  uint8_t* port_d_enable, uint8_t* fpga_mode) {
  return TheBus().Locked([&]() -> int {
    const quorix::sim::Board* found = TheBus().FindBoard(board);
    if (found == nullptr) return QUORIX_ERR_FAILED;
    if (port_d != nullptr) *port_d = found->port_d;
    if (port_d_enable != nullptr) *port_d_enable = found->port_d_enable;
    if (fpga_mode != nullptr) *fpga_mode = found->fpga_mode;
    return QUORIX_OK;
  });
}

}  // extern "C"
