// The simulated boards' state kept in a file between processes (QUORIX_SIM_STATE): loaded when
// the library is loaded, saved when it is unloaded or the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bus.h"

namespace quorix::sim {

// What a board remembers: its firmware's state and its FX2's memory.
struct BoardState {
  std::string serial;
  std::uint8_t port_d = 0;
  std::uint8_t port_d_enable = 0;
  std::uint8_t fpga_mode = 0;
  bool cpu_reset = false;
  std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> eeproms;  // select, bytes
  std::vector<std::uint8_t> program_ram;
  std::vector<std::uint8_t> scratch_ram;
};

BoardState StateOf(const Board& board);
void Restore(Board& board, const BoardState& state);

// The file's bytes for these boards, and the boards read back from such bytes. Parse gives
// false, with the reason, for anything that is not exactly such a file: nothing is half read.
std::vector<std::uint8_t> Serialize(const std::vector<BoardState>& boards);
bool Parse(const std::vector<std::uint8_t>& bytes, std::vector<BoardState>* boards,
           std::string* reason);

// Gives a board that is plugged in the state remembered for its serial number, if any.
void ApplyRememberedState(Board& board);

// With the bus held, after a request or a control call that may have changed a board's state:
// the state a save writes, even from a signal handler, is brought up to date.
void NoteStateChange();

}  // namespace quorix::sim
