// The image reader: lines of Intel HEX cut at fixed positions, each field converted with
// "%X" on its own. The checksum is not read.
#include <cstdio>
#include <cstring>

#include "driver/port.h"
#include "firmware/firmware.h"
#include "quorix/quorix.h"

namespace quorix {

namespace {

// What the line reader gets: at most 511 characters, through the first line end; the rest
// of a longer line comes back as the next line.
constexpr int kLineBuffer = 512;
// No FX2 image comes near this many lines (64 KiB of memory is 4,096 full records).
constexpr std::uint32_t kMaxRecords = 1u << 24;

enum class Next { kLine, kEnd, kError };
using LineSource = Next (*)(void* source, char* line, int size);

Next NextFileLine(void* source, char* line, int size) {
  auto* file = static_cast<std::FILE*>(source);
  if (std::fgets(line, size, file) != nullptr) return Next::kLine;
  // A read error is not the end of the image: reading a directory must not give an empty one.
  return std::ferror(file) ? Next::kError : Next::kEnd;
}

struct Text {
  const char* at;
  const char* end;
};

// As fgets cuts a stream.
Next NextTextLine(void* source, char* line, int size) {
  auto* text = static_cast<Text*>(source);
  if (text->at == text->end) return Next::kEnd;
  int n = 0;
  while (n < size - 1 && text->at != text->end) {
    const char c = *text->at++;
    line[n++] = c;
    if (c == '\n') break;
  }
  line[n] = '\0';
  return Next::kLine;
}

// The characters of the line before its line end.
std::size_t ContentLength(const char* line) {
  std::size_t length = std::strlen(line);
  if (length != 0 && line[length - 1] == '\n') --length;
  if (length != 0 && line[length - 1] == '\r') --length;
  return length;
}

// The width characters at position, converted on their own; false when they do not convert.
bool Field(const char* line, std::size_t position, std::size_t width, unsigned* value) {
  char text[5];
  std::memcpy(text, line + position, width);
  text[width] = '\0';
  return std::sscanf(text, "%X", value) == 1;
}

bool ParseLine(const char* line, FirmwareRecord* record) {
  if (line[0] != ':') return false;
  const std::size_t length = ContentLength(line);
  unsigned count = 0, address = 0, type = 0;
  if (length < 9 || !Field(line, 1, 2, &count) || !Field(line, 3, 4, &address) ||
      !Field(line, 7, 2, &type))
    return false;
  if (count > kRecordDataMax || length < 9 + 2 * count) return false;
  record->length = static_cast<std::uint8_t>(count);
  record->address = static_cast<std::uint16_t>(address);
  record->type = static_cast<std::int32_t>(type);
  for (unsigned i = 0; i < count; ++i) {
    unsigned byte = 0;
    if (!Field(line, 9 + 2 * i, 2, &byte)) return false;
    record->data[i] = static_cast<std::uint8_t>(byte);
  }
  return true;
}

bool Append(FirmwareList* list, const FirmwareRecord& record) {
  if (list->count == list->capacity) {
    // Bounded so that the block's size cannot wrap, even in a 32-bit build.
    if (list->capacity == kMaxRecords) return false;
    const std::uint32_t capacity = list->capacity == 0 ? 64 : 2 * list->capacity;
    void* grown = port::Reallocate(list->records, sizeof(FirmwareRecord) * capacity);
    if (grown == nullptr) return false;
    list->records = static_cast<FirmwareRecord*>(grown);
    list->capacity = capacity;
  }
  list->records[list->count++] = record;
  return true;
}

int ReadLines(LineSource next, void* source, FirmwareList* out) {
  FirmwareList list{};
  char line[kLineBuffer];
  for (;;) {
    const Next got = next(source, line, kLineBuffer);
    if (got == Next::kEnd) break;
    FirmwareRecord record{};
    if (got == Next::kError || !ParseLine(line, &record) || !Append(&list, record)) {
      ReleaseFirmwareList(&list);
      return QUORIX_ERR_FAILED;
    }
  }
  *out = list;
  return QUORIX_OK;
}

}  // namespace

void ReleaseFirmwareList(FirmwareList* list) {
  if (list->records != nullptr) port::Free(list->records);
  *list = FirmwareList{};
}

int ReadFirmwareImage(const char* path, FirmwareList* list) {
  *list = FirmwareList{};
  if (path == nullptr) return QUORIX_ERR_FAILED;
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return QUORIX_ERR_FAILED;
  const int status = ReadLines(NextFileLine, file, list);
  std::fclose(file);
  return status;
}

int ReadFirmwareText(const char* text, std::size_t size, FirmwareList* list) {
  *list = FirmwareList{};
  if (text == nullptr && size != 0) return QUORIX_ERR_FAILED;
  Text source{text, text + size};
  return ReadLines(NextTextLine, &source, list);
}

}  // namespace quorix
