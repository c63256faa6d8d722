// What the fuzz targets over the simulated bus share: reading the input a field at a time,
// the statuses a caller may see, and the check that detaching gives everything back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sim/bus.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace quorix::fuzz {

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

// The library's own statuses, and the Windows codes that can reach a caller here: the
// simulated driver's own and the ones the targets inject.
inline bool Documented(int status) {
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

inline void Check(int status) {
  if (!Documented(status)) std::abort();
}

// Codes a failing port call or a failing board may end with.
inline constexpr std::uint32_t kInjectable[] = {5, 31, 121, 995, 1117, 1167};

// Detaches the process: nothing may be left of the registry, and no heap block.
inline void DetachAndExpectReleased(sim::Bus& bus) {
  bus.ClearFaults();
  ProcessDetach();
  if (gRegistry.count != 0 || gProcesses.count != 0) std::abort();
  if (bus.LiveBlocks() != 0) std::abort();
}

}  // namespace quorix::fuzz
