// The startup command: stored where the EEPROM's own address chain says, length-prefixed, in
// 16-byte pieces, with the board's EEPROM given time after every operation.
#include <cstring>

#include "board/board.h"
#include "driver/port.h"
#include "quorix/quorix.h"
#include "registry/registry.h"

namespace quorix {

namespace {

constexpr std::uint8_t kSelect = 1;
constexpr std::uint16_t kAreaBlock = 0x1FFC;    // its second byte says the area is there
constexpr std::uint16_t kBaseAddress = 0x1FF8;  // B, little-endian
constexpr std::uint16_t kCommandPointer = 7;    // S is stored at B + 7
constexpr std::uint32_t kImageLimit = 8175;     // the image must end below it
constexpr std::uint32_t kPiece = 16;
constexpr std::uint32_t kPauseMs = 200;

std::uint16_t Little16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// One EEPROM read, then the pause, whatever the read gave.
int ReadThenPause(const DeviceRecord* device, std::uint16_t address, std::uint8_t count,
                  std::uint8_t* buffer) {
  const int status = ReadEeprom(device, kSelect, address, count, buffer);
  port::Pause(kPauseMs);
  return status;
}

// One piece, then the pause, whatever the write gave.
int WriteThenPause(const DeviceRecord* device, std::uint16_t address, std::uint32_t size,
                   const std::uint8_t* bytes) {
  const int status = WriteEeprom(device, kSelect, address, static_cast<std::uint8_t>(size), bytes);
  port::Pause(kPauseMs);
  return status;
}

// The image in pieces aligned to S. One piece is one request, so it lands whole or not at all.
// A longer image must never leave a length that promises bytes not yet written: its first
// piece goes first with a zero length (no command), the other pieces follow, and the first
// piece again, now with the length, makes the new command valid in one request.
int WriteImage(const DeviceRecord* device, std::uint16_t at, const std::uint8_t* image,
               std::uint32_t size) {
  if (size <= kPiece) return WriteThenPause(device, at, size, image);
  std::uint8_t first[kPiece];
  std::memcpy(first, image, kPiece);
  first[0] = 0;
  first[1] = 0;
  int status = WriteThenPause(device, at, kPiece, first);
  if (status != QUORIX_OK) return status;
  for (std::uint32_t k = kPiece; k < size; k += kPiece) {
    status = WriteThenPause(device, static_cast<std::uint16_t>(at + k),
                            size - k < kPiece ? size - k : kPiece, image + k);
    if (status != QUORIX_OK) return status;
  }
  return WriteThenPause(device, at, kPiece, image);
}

int SetStartupCommand(const DeviceRecord* device, std::uint16_t length,
                      const std::uint8_t* command) {
  std::uint8_t block[4];
  int status = ReadThenPause(device, kAreaBlock, sizeof block, block);
  if (status != QUORIX_OK) return status;
  if (block[1] == 0) return QUORIX_ERR_NO_STARTUP_AREA;

  std::uint8_t word[2];
  status = ReadThenPause(device, kBaseAddress, sizeof word, word);
  if (status != QUORIX_OK) return status;
  const std::uint16_t base = Little16(word);
  status =
      ReadThenPause(device, static_cast<std::uint16_t>(base + kCommandPointer), sizeof word, word);
  if (status != QUORIX_OK) return status;
  const std::uint16_t at = Little16(word);

  const std::uint32_t size = length + 2u;
  if (at + size >= kImageLimit) return QUORIX_ERR_NO_SPACE;

  auto* image = static_cast<std::uint8_t*>(port::Allocate(size));
  if (image == nullptr) return QUORIX_ERR_FAILED;
  image[0] = static_cast<std::uint8_t>(length);
  image[1] = static_cast<std::uint8_t>(length >> 8);
  if (length != 0) std::memcpy(image + 2, command, length);
  status = WriteImage(device, at, image, size);
  port::Free(image);
  return status;
}

}  // namespace

}  // namespace quorix

extern "C" {

QUORIX_API int QUORIX_CALL QuorixSetStartupCommand(QuorixHandle device, uint16_t length,
                                                   const uint8_t* command) {
  return quorix::OnBoard(device, true,
                         [&](quorix::DeviceRecord* record, quorix::BoardLock&) -> int {
                           if (length != 0 && command == nullptr) return QUORIX_ERR_FAILED;
                           return quorix::SetStartupCommand(record, length, command);
                         });
}

}  // extern "C"
