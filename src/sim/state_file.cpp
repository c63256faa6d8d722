#include "sim/state_file.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "quorix/quorix_sim.h"

namespace quorix::sim {

namespace {

// "quorix-sim state", a format version, the boards, and a CRC-32 of all that, little-endian.
constexpr char kMagic[16] = {'q', 'u', 'o', 'r', 'i', 'x', '-', 's',
                             'i', 'm', ' ', 's', 't', 'a', 't', 'e'};
constexpr std::uint32_t kVersion = 1;
// A file of this many boards is far larger than any bus a test sets up.
constexpr std::uint32_t kMostBoards = 64;
constexpr std::uintmax_t kLargestFile = 64u << 20;
constexpr std::size_t kLongestSerial = 126;

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

class Writer {
 public:
  void U8(std::uint8_t value) { bytes.push_back(value); }
  void U32(std::uint32_t value) {
    for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(value >> 8 * i));
  }
  void Block(const std::vector<std::uint8_t>& block) {
    U32(static_cast<std::uint32_t>(block.size()));
    bytes.insert(bytes.end(), block.begin(), block.end());
  }
  std::vector<std::uint8_t> bytes;
};

class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t size) : at_(bytes), end_(bytes + size) {}
  bool U8(std::uint8_t* value) {
    if (at_ == end_) return false;
    *value = *at_++;
    return true;
  }
  bool U32(std::uint32_t* value) {
    if (end_ - at_ < 4) return false;
    *value = static_cast<std::uint32_t>(at_[0] | at_[1] << 8 | at_[2] << 16) |
             static_cast<std::uint32_t>(at_[3]) << 24;
    at_ += 4;
    return true;
  }
  // A block of exactly size bytes.
  bool Block(std::size_t size, std::vector<std::uint8_t>* block) {
    std::uint32_t length = 0;
    if (!U32(&length) || length != size || static_cast<std::size_t>(end_ - at_) < size)
      return false;
    block->assign(at_, at_ + size);
    at_ += size;
    return true;
  }
  bool Text(std::string* text) {
    std::uint32_t length = 0;
    if (!U32(&length) || length > kLongestSerial || static_cast<std::uint32_t>(end_ - at_) < length)
      return false;
    text->assign(reinterpret_cast<const char*>(at_), length);
    at_ += length;
    return true;
  }
  bool AtEnd() const { return at_ == end_; }

 private:
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

bool ParseBoard(Reader& in, BoardState* board) {
  std::uint8_t reset = 0, eeprom_count = 0;
  if (!in.Text(&board->serial) || !in.U8(&board->port_d) || !in.U8(&board->port_d_enable) ||
      !in.U8(&board->fpga_mode) || !in.U8(&reset) || reset > 1 || !in.U8(&eeprom_count))
    return false;
  board->cpu_reset = reset == 1;
  for (std::uint8_t i = 0; i < eeprom_count; ++i) {
    std::uint8_t select = 0;
    std::vector<std::uint8_t> bytes;
    if (!in.U8(&select) || !in.Block(kEepromSize, &bytes)) return false;
    board->eeproms.emplace_back(select, std::move(bytes));
  }
  return in.Block(kProgramRamSize, &board->program_ram) &&
         in.Block(kScratchRamSize, &board->scratch_ram);
}

// ---- the state of this process ----

enum class FileState { kLoaded, kNew, kRefused };

// Made at load only when QUORIX_SIM_STATE names a file, and freed once saved: it must outlive
// the C++ statics, which an exiting program destroys before the library's destructors run.
struct StateFile {
  std::string path;
  FileState state = FileState::kNew;
  std::map<std::string, BoardState> remembered;  // by serial number
#ifndef _WIN32
  pid_t loader = getpid();  // a forked child does not save: the file is its parent's
#endif
};
StateFile* gStateFile = nullptr;

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* reason) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::is_regular_file(status)) {
    *reason = "it is not a regular file";
    return false;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kLargestFile) {
    *reason = error ? error.message() : "it is larger than any state file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(file), {});
  if (!file.eof() && file.fail()) {
    *reason = "it cannot be read";
    return false;
  }
  return true;
}

__attribute__((constructor)) void LoadAtStart() {
  const char* path = std::getenv("QUORIX_SIM_STATE");
  if (path == nullptr || *path == '\0') return;
  gStateFile = new StateFile;
  gStateFile->path = path;
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(gStateFile->path, error))) return;
  std::vector<std::uint8_t> bytes;
  std::vector<BoardState> boards;
  std::string reason;
  if (!ReadFile(gStateFile->path, &bytes, &reason) || !Parse(bytes, &boards, &reason)) {
    gStateFile->state = FileState::kRefused;
    std::fprintf(stderr,
                 "quorix-sim: QUORIX_SIM_STATE=%s is refused: %s. The simulated boards start "
                 "afresh and the file is left as it is.\n",
                 gStateFile->path.c_str(), reason.c_str());
    return;
  }
  for (BoardState& board : boards) gStateFile->remembered[board.serial] = std::move(board);
  TheBus().Locked([] {
    for (Board* board : TheBus().Listed()) ApplyRememberedState(*board);
  });
  gStateFile->state = FileState::kLoaded;
}

void Save(StateFile& file) {
  TheBus().Locked([&file] {
    for (Board* board : TheBus().Listed()) file.remembered[board->identity.serial] = StateOf(*board);
  });
  std::vector<BoardState> boards;
  for (const auto& entry : file.remembered) boards.push_back(entry.second);
  const std::vector<std::uint8_t> bytes = Serialize(boards);
  // Whole or not at all: a new file beside it, then renamed over it.
  const std::string fresh = file.path + ".new";
  bool written = false;
  {
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    written = static_cast<bool>(out.flush());
  }
  std::error_code error;
  if (written) std::filesystem::rename(fresh, file.path, error);
  if (!written || error) {
    std::filesystem::remove(fresh, error);
    std::fprintf(stderr, "quorix-sim: the simulated boards' state could not be saved to %s\n",
                 file.path.c_str());
  }
}

// After the library's own detach (default priority) and before the bus goes (101).
__attribute__((destructor(102))) void SaveAtEnd() {
  StateFile* file = gStateFile;
  gStateFile = nullptr;
  if (file == nullptr) return;
  bool save = file->state != FileState::kRefused;
#ifndef _WIN32
  save = save && getpid() == file->loader;
#endif
  if (save) Save(*file);
  delete file;
}

}  // namespace

BoardState StateOf(const Board& board) {
  BoardState state;
  state.serial = board.identity.serial.substr(0, kLongestSerial);
  state.port_d = board.port_d;
  state.port_d_enable = board.port_d_enable;
  state.fpga_mode = board.fpga_mode;
  state.cpu_reset = board.cpu_reset;
  for (const auto& [select, eeprom] : board.eeproms)
    if (eeprom.bytes.size() == kEepromSize) state.eeproms.emplace_back(select, eeprom.bytes);
  state.program_ram = board.program_ram;
  state.scratch_ram = board.scratch_ram;
  return state;
}

void Restore(Board& board, const BoardState& state) {
  board.port_d = state.port_d;
  board.port_d_enable = state.port_d_enable;
  board.fpga_mode = state.fpga_mode;
  board.cpu_reset = state.cpu_reset;
  board.eeproms.clear();
  for (const auto& [select, bytes] : state.eeproms) board.eeproms[select].bytes = bytes;
  board.program_ram = state.program_ram;
  board.scratch_ram = state.scratch_ram;
}

std::vector<std::uint8_t> Serialize(const std::vector<BoardState>& boards) {
  Writer out;
  out.bytes.assign(kMagic, kMagic + sizeof kMagic);
  out.U32(kVersion);
  out.U32(static_cast<std::uint32_t>(boards.size()));
  for (const BoardState& board : boards) {
    out.Block({board.serial.begin(), board.serial.end()});
    out.U8(board.port_d);
    out.U8(board.port_d_enable);
    out.U8(board.fpga_mode);
    out.U8(board.cpu_reset ? 1 : 0);
    out.U8(static_cast<std::uint8_t>(board.eeproms.size()));
    for (const auto& [select, bytes] : board.eeproms) {
      out.U8(select);
      out.Block(bytes);
    }
    out.Block(board.program_ram);
    out.Block(board.scratch_ram);
  }
  out.U32(Crc32(out.bytes.data(), out.bytes.size()));
  return out.bytes;
}

bool Parse(const std::vector<std::uint8_t>& bytes, std::vector<BoardState>* boards,
           std::string* reason) {
  boards->clear();
  if (bytes.size() < sizeof kMagic + 12 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    *reason = "it is not a quorix-sim state file";
    return false;
  }
  const std::size_t body = bytes.size() - 4;
  Reader trailer(bytes.data() + body, 4);
  std::uint32_t crc = 0;
  (void)trailer.U32(&crc);
  Reader in(bytes.data() + sizeof kMagic, body - sizeof kMagic);
  std::uint32_t version = 0, count = 0;
  (void)in.U32(&version);
  if (version != kVersion) {
    *reason =
        "it has format version " + std::to_string(version) + ", not " + std::to_string(kVersion);
    return false;
  }
  if (crc != Crc32(bytes.data(), body)) {
    *reason = "it is corrupt (its checksum does not match)";
    return false;
  }
  std::vector<BoardState> read;
  bool ok = in.U32(&count) && count <= kMostBoards;
  for (std::uint32_t i = 0; ok && i < count; ++i) {
    BoardState board;
    ok = ParseBoard(in, &board);
    read.push_back(std::move(board));
  }
  if (!ok || !in.AtEnd()) {
    *reason = "it is corrupt (its contents do not have the layout of a board's state)";
    return false;
  }
  *boards = std::move(read);
  return true;
}

void ApplyRememberedState(Board& board) {
  if (gStateFile == nullptr) return;
  const auto found = gStateFile->remembered.find(board.identity.serial);
  if (found != gStateFile->remembered.end()) Restore(board, found->second);
}

}  // namespace quorix::sim

extern "C" {

QUORIX_API int QUORIX_CALL QuorixSimStateStatus(void) {
  if (quorix::sim::gStateFile == nullptr) return QUORIX_SIM_STATE_NONE;
  switch (quorix::sim::gStateFile->state) {
    case quorix::sim::FileState::kLoaded:
      return QUORIX_SIM_STATE_LOADED;
    case quorix::sim::FileState::kNew:
      return QUORIX_SIM_STATE_NEW;
    case quorix::sim::FileState::kRefused:
      return QUORIX_SIM_STATE_REFUSED;
  }
  return QUORIX_SIM_STATE_NONE;
}

}  // extern "C"
