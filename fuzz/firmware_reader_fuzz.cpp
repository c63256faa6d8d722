// libFuzzer target: the firmware image reader over arbitrary bytes. Whatever it is given, it
// reads no byte beyond its input, leaks nothing, and either refuses the image or gives one
// record per line with at most 16 data bytes each.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver/sim/sim.h"
#include "firmware/firmware.h"
#include "quorix/quorix.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorix::FirmwareList list{};
  const auto* text = reinterpret_cast<const char*>(data);
  if (quorix::ReadFirmwareText(text, size, &list) == QUORIX_OK) {
    std::size_t lines = 0;
    for (std::size_t at = 0, length = 0; at < size; ++at) {
      // Lines as the reader cuts them: through a line end, or 511 characters.
      ++length;
      if (text[at] == '\n' || length == 511 || at + 1 == size) {
        ++lines;
        length = 0;
      }
    }
    if (list.count != lines) std::abort();
    for (std::uint32_t i = 0; i < list.count; ++i)
      if (list.records[i].length > quorix::kRecordDataMax) std::abort();
    quorix::ReleaseFirmwareList(&list);
  } else if (list.records != nullptr || list.count != 0) {
    std::abort();
  }
  if (quorix::sim::TheBus().LiveBlocks() != 0) std::abort();
  return 0;
}
