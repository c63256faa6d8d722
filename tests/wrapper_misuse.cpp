// Uses of quorix.hpp that must not compile, one for each MISUSE value; the CTest entries
// check that the compiler says why. Without MISUSE the file compiles.
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "quorix/quorix.hpp"

void Use(quorix::Device& device) {
  std::vector<std::uint32_t> words(4);
  device.Read(std::span(words));
  device.Write(std::span(words));
  [[maybe_unused]] std::vector<std::string> strings(4);
  [[maybe_unused]] const std::vector<std::uint8_t> fixed(4);
  [[maybe_unused]] std::error_code ec;
#if MISUSE == 1  // raw bytes would tear the strings
  device.Read(std::span(strings));
#elif MISUSE == 2
  device.Write(std::span(strings));
#elif MISUSE == 3
  (void)device.ReadUpTo(std::span(strings), ec);
#elif MISUSE == 4  // a read fills its span
  device.Read(std::span(fixed));
#elif MISUSE == 5
  (void)device.ReadUpTo(std::span(fixed), ec);
#elif MISUSE == 6  // a plug callback takes the event
  quorix::PlugSubscription subscription([](int) {});
#endif
}
