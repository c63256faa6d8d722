// libFuzzer target: the firmware image reader over arbitrary bytes. Whatever it is given, it
// reads no byte beyond its input, leaks nothing, either refuses the image or gives one
// record per line with at most 16 data bytes each, and the file reader agrees with it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/bus.h"
#include "firmware/firmware.h"
#include "quorix/quorix.h"

namespace {

// Lines as the reader cuts them: through a line end, or 511 characters.
std::size_t Lines(const char* text, std::size_t size) {
  std::size_t lines = 0;
  for (std::size_t at = 0, length = 0; at < size; ++at) {
    ++length;
    if (text[at] == '\n' || length == 511 || at + 1 == size) {
      ++lines;
      length = 0;
    }
  }
  return lines;
}

// The same bytes read through a file: an in-memory one, named through /proc.
int ReadAsFile(const std::uint8_t* data, std::size_t size, quorix::FirmwareList* list) {
  static const int fd = memfd_create("image", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return quorix::ReadFirmwareImage(path, list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorix::FirmwareList list{};
  quorix::FirmwareList from_file{};
  const auto* text = reinterpret_cast<const char*>(data);
  const int status = quorix::ReadFirmwareText(text, size, &list);
  if (ReadAsFile(data, size, &from_file) != status) std::abort();
  if (status == QUORIX_OK) {
    if (list.count != Lines(text, size) || from_file.count != list.count) std::abort();
    for (std::uint32_t i = 0; i < list.count; ++i) {
      const quorix::FirmwareRecord& a = list.records[i];
      const quorix::FirmwareRecord& b = from_file.records[i];
      if (a.length > quorix::kRecordDataMax || a.length != b.length || a.address != b.address ||
          a.type != b.type || std::memcmp(a.data, b.data, a.length) != 0)
        std::abort();
    }
  } else if (list.records != nullptr || list.count != 0 || from_file.records != nullptr) {
    std::abort();
  }
  quorix::ReleaseFirmwareList(&list);
  quorix::ReleaseFirmwareList(&from_file);
  if (quorix::sim::TheBus().LiveBlocks() != 0) std::abort();
  return 0;
}
