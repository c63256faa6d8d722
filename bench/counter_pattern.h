// Follows the counter pattern through what the application reads, for the benchmarks: a gap
// (a drop at the board, or a ring the library emptied) shows as a jump at a packet boundary,
// which the first word read from there tells.
#pragma once

#include <cstdint>

#include "sim/board.h"

namespace quorix::bench {

class Pattern {
 public:
  void Check(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t i = 0;
    if (found_ == 0) {
      while (i < count && bytes[i] == quorix::sim::CounterByte(position_ + i)) ++i;
      if (i == count) {
        position_ += count;
        return;
      }
      ++gaps_;
      i = i & ~3u;
      position_ += i;
    }
    for (; found_ < 4 && i < count; ++i, ++found_) word_ |= std::uint64_t{bytes[i]} << (8 * found_);
    if (found_ < 4) return;
    position_ = 4 * word_ + 4;
    word_ = 0;
    found_ = 0;
    Check(bytes + i, count - i);
  }
  std::uint64_t gaps() const { return gaps_; }

 private:
  std::uint64_t position_ = 0;
  std::uint64_t gaps_ = 0;
  std::uint64_t word_ = 0;
  std::uint32_t found_ = 0;
};

}  // namespace quorix::bench
