#include "sim/state_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <thread>

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

// By table: the state is serialized after every request that changes a board.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t crc = n;
    for (int bit = 0; bit < 8; ++bit) crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
    table[n] = crc;
  }
  return table;
}();

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ crc >> 8;
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

// The state as the file's bytes, never changed once published: a save, even from a signal
// handler, writes the latest one without taking the bus's lock or allocating.
struct Snapshot {
  std::uint64_t generation;
  std::vector<std::uint8_t> bytes;
};

// How long a process waits for another that uses the file to end before refusing it.
constexpr int kLockWaitSeconds = 30;

// Made at load only when QUORIX_SIM_STATE names a file. It must outlive the C++ statics,
// which an exiting program destroys before the library's destructors run.
struct StateFile {
  StateFile() = default;
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;
  ~StateFile() {
    delete current.load();
    for (Snapshot* snapshot : retired) delete snapshot;
  }

  std::string named;      // as QUORIX_SIM_STATE names it
  std::string path;       // the file read and written: named, or where the user's own link leads
  std::string lock_path;  // beside it, held from load to the end
  FileState state = FileState::kNew;
  // Under the bus's lock.
  std::map<std::string, BoardState> remembered;  // by serial number
  std::uint64_t generation = 0;
  std::vector<Snapshot*> retired;  // replaced while a save may still be writing them
  // Any thread, and signal handlers.
  std::atomic<Snapshot*> current{nullptr};
  std::atomic<int> saving{0};
  std::atomic<std::uint64_t> attempted{0};  // the generation the last save wrote or tried
#ifdef _WIN32
  HANDLE lock = INVALID_HANDLE_VALUE;
#else
  int lock = -1;
  pid_t loader = getpid();  // a forked child does not save: the file is its parent's
  bool keep_mode = false;   // a file that is there keeps its permissions
  mode_t mode = 0;
#endif
};
StateFile* gStateFile = nullptr;

bool IsLoader(const StateFile& file) {
#ifdef _WIN32
  (void)file;
  return true;
#else
  return getpid() == file.loader;
#endif
}

// One line on stderr in one write, put together from pieces without allocating, so that a
// save from a signal handler can report.
void SayLine(std::initializer_list<const char*> pieces) {
  char line[1536];
  std::size_t used = 0;
  for (const char* piece : pieces)
    for (; *piece != '\0' && used < sizeof line - 1; ++piece) line[used++] = *piece;
  line[used++] = '\n';
#ifdef _WIN32
  std::fwrite(line, 1, used, stderr);
  std::fflush(stderr);
#else
  while (used != 0) {
    const ssize_t n = write(2, line, used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::memmove(line, line + n, used - static_cast<std::size_t>(n));
    used -= static_cast<std::size_t>(n);
  }
#endif
}

// The reason for an error number, from a fixed table (strerror may allocate).
const char* Reason(int error, char (&number)[16]) {
  switch (error) {
    case EACCES:
      return "permission denied";
    case EPERM:
      return "operation not permitted";
    case ENOENT:
      return "no such file or folder";
    case ENOSPC:
      return "no space left on the device";
    case EROFS:
      return "read-only file system";
    case EEXIST:
      return "a file of that name is there";
    case EIO:
      return "input/output error";
    case EFBIG:
      return "larger than the process may write";
#ifndef _WIN32
    case EDQUOT:
      return "disk quota exceeded";
    case ELOOP:
      return "a symbolic link is in the way";
#endif
    default:
      break;
  }
  char digits[12];
  int count = 0;
  for (unsigned value = static_cast<unsigned>(error); count == 0 || value != 0; value /= 10)
    digits[count++] = static_cast<char>('0' + value % 10);
  std::memcpy(number, "error ", 6);
  for (int i = 0; i < count; ++i) number[6 + i] = digits[count - 1 - i];
  number[6 + count] = '\0';
  return number;
}

void SaveFailed(const StateFile& file, const char* what, int error) {
  char number[16];
  SayLine({"quorix-sim: the simulated boards' state could not be saved to ", file.path.c_str(),
           ": ", what, " (", Reason(error, number), "); the file is left as it was"});
}

// A name beside the file for the new one, from a tag: FILE.XXXXXXXX.new.
void FreshName(const std::string& path, std::uint32_t tag, char* name) {
  std::memcpy(name, path.data(), path.size());
  char* at = name + path.size();
  *at++ = '.';
  for (int digit = 7; digit >= 0; --digit) *at++ = "0123456789abcdef"[tag >> 4 * digit & 15];
  std::memcpy(at, ".new", 5);
}
constexpr std::size_t kFreshExtra = 14;
std::atomic<std::uint32_t> gFreshCount{0};

// Writes bytes to the file whole or not at all: into a new file beside it, which is made, never
// opened (nothing planted there is followed or written), then flushed to the disk and renamed
// over the file. Safe in a signal handler, and at once on several threads.
bool WriteWhole(const StateFile& file, const std::vector<std::uint8_t>& bytes) {
  char fresh[4096 + kFreshExtra];
  if (file.path.size() > 4096) {
    SaveFailed(file, "its name is too long", 0);
    return false;
  }
#ifdef _WIN32
  HANDLE out = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 16 && out == INVALID_HANDLE_VALUE; ++attempt) {
    const std::uint32_t tag = GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^
                              gFreshCount.fetch_add(1) * 40503u;
    FreshName(file.path, tag, fresh);
    out = CreateFileA(fresh, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = GetLastError();
    if (out == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS) break;
  }
  if (out == INVALID_HANDLE_VALUE) {
    SaveFailed(file, "a new file cannot be made beside it", static_cast<int>(error));
    return false;
  }
  const char* failed = nullptr;
  for (std::size_t done = 0; failed == nullptr && done < bytes.size();) {
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    if (!::WriteFile(out, bytes.data() + done, piece, &written, nullptr) || written == 0)
      failed = "it cannot be written";
    done += written;
  }
  if (failed == nullptr && !FlushFileBuffers(out)) failed = "it cannot be flushed to the disk";
  error = GetLastError();
  CloseHandle(out);
  if (failed == nullptr &&
      !MoveFileExA(fresh, file.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    failed = "the new file cannot be renamed over it";
    error = GetLastError();
  }
  if (failed != nullptr) {
    DeleteFileA(fresh);
    SaveFailed(file, failed, static_cast<int>(error));
    return false;
  }
  return true;
#else
  int out = -1;
  int error = 0;
  for (int attempt = 0; attempt < 16 && out < 0; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint32_t tag = static_cast<std::uint32_t>(getpid()) * 2654435761u ^
                              static_cast<std::uint32_t>(now.tv_nsec) ^
                              gFreshCount.fetch_add(1) * 40503u;
    FreshName(file.path, tag, fresh);
    out = open(fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    error = errno;
    if (out < 0 && error != EEXIST) break;
  }
  if (out < 0) {
    SaveFailed(file, "a new file cannot be made beside it", error);
    return false;
  }
  const char* failed = nullptr;
  if (file.keep_mode) (void)fchmod(out, file.mode);
  for (std::size_t done = 0; failed == nullptr && done < bytes.size();) {
    const ssize_t n = write(out, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = "it cannot be written";
      error = n < 0 ? errno : ENOSPC;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (failed == nullptr && fsync(out) != 0) {
    failed = "it cannot be flushed to the disk";
    error = errno;
  }
  if (close(out) != 0 && failed == nullptr && errno != EINTR) {
    failed = "it cannot be written";
    error = errno;
  }
  if (failed == nullptr && rename(fresh, file.path.c_str()) != 0) {
    failed = "the new file cannot be renamed over it";
    error = errno;
  }
  if (failed != nullptr) {
    unlink(fresh);
    SaveFailed(file, failed, error);
    return false;
  }
  return true;
#endif
}

// Saves the latest snapshot. Takes no lock and allocates nothing.
bool Write(StateFile& file) {
  file.saving.fetch_add(1);
  const Snapshot* snapshot = file.current.load();
  bool saved = true;
  if (snapshot != nullptr) {
    file.attempted.store(snapshot->generation);
    saved = WriteWhole(file, snapshot->bytes);
  }
  file.saving.fetch_sub(1);
  return saved;
}

// Under the bus's lock: publishes the boards' state as it is now, if it changed.
void Refresh(StateFile& file) {
  for (Board* board : TheBus().Listed()) file.remembered[board->identity.serial] = StateOf(*board);
  std::vector<BoardState> boards;
  for (const auto& entry : file.remembered) boards.push_back(entry.second);
  std::vector<std::uint8_t> bytes = Serialize(boards);
  Snapshot* const now = file.current.load();
  if (now != nullptr && now->bytes == bytes) return;
  Snapshot* const old = file.current.exchange(new Snapshot{++file.generation, std::move(bytes)});
  if (old != nullptr) file.retired.push_back(old);
  // A save that started before the exchange holds the count up until it has written.
  if (file.saving.load() != 0) return;
  for (Snapshot* snapshot : file.retired) delete snapshot;
  file.retired.clear();
}

// ---- the file, its links and its lock ----

enum class Read { kRead, kMissing, kRefused };

#ifdef _WIN32

// Links on Windows need a privilege to make, and the file is used as named.
bool Resolve(StateFile& file, std::string*) {
  file.path = file.named;
  return true;
}

Read ReadFile(StateFile& file, std::vector<std::uint8_t>* bytes, std::string* reason) {
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(file.path, error)))
    return Read::kMissing;
  const auto status = std::filesystem::status(file.path, error);
  if (!std::filesystem::is_regular_file(status)) {
    *reason = "it is not a regular file";
    return Read::kRefused;
  }
  const std::uintmax_t size = std::filesystem::file_size(file.path, error);
  if (error || size > kLargestFile) {
    *reason = error ? error.message() : "it is larger than any state file";
    return Read::kRefused;
  }
  std::ifstream in(file.path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), {});
  if (!in.eof() && in.fail()) {
    *reason = "it cannot be read";
    return Read::kRefused;
  }
  return Read::kRead;
}

bool Lock(StateFile& file, std::string* reason) {
  file.lock_path = file.path + ".lock";
  // Opened without sharing, it is the lock; Windows removes it when the process lets go.
  for (int waited = 0;; waited += 50) {
    file.lock = CreateFileA(file.lock_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file.lock != INVALID_HANDLE_VALUE) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
      *reason = "its lock file " + file.lock_path + " cannot be made (error " +
                std::to_string(error) + ")";
      return false;
    }
    if (waited >= kLockWaitSeconds * 1000) {
      *reason = "another process has used it for more than " + std::to_string(kLockWaitSeconds) +
                " s (it holds " + file.lock_path + ")";
      return false;
    }
    if (waited == 0)
      std::fprintf(stderr,
                   "quorix-sim: QUORIX_SIM_STATE=%s is in use by another process; waiting for "
                   "it to end (at most %d s)\n",
                   file.named.c_str(), kLockWaitSeconds);
    Sleep(50);
  }
}

void Unlock(StateFile& file) {
  if (file.lock != INVALID_HANDLE_VALUE) CloseHandle(file.lock);
  file.lock = INVALID_HANDLE_VALUE;
}

#else

std::string Describe(int error) { return std::strerror(error); }

// The file as named, or, when that is a symbolic link of the user's own (owned by the
// process's effective user), where it leads; a link of anyone else's is refused, so that a
// link planted in a shared folder cannot aim the save at another file.
bool Resolve(StateFile& file, std::string* reason) {
  std::string path = file.named;
  for (int links = 0; links <= 8; ++links) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
      if (errno != ENOENT) {
        *reason = Describe(errno);
        return false;
      }
      file.path = path;
      return true;
    }
    if (!S_ISLNK(status.st_mode)) {
      file.path = path;
      return true;
    }
    if (status.st_uid != geteuid()) {
      *reason = (links == 0 ? std::string("it is") : path + " is") +
                " a symbolic link of another user's (uid " + std::to_string(status.st_uid) +
                "); only links of the user's own are followed";
      return false;
    }
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t size = readlink(path.c_str(), target.data(), target.size() - 1);
    if (size <= 0) {
      *reason = "its link cannot be read: " + Describe(errno);
      return false;
    }
    std::string next(target.data(), static_cast<std::size_t>(size));
    if (next.front() != '/') {
      const std::size_t slash = path.rfind('/');
      if (slash != std::string::npos) next = path.substr(0, slash + 1) + next;
    }
    path = next;
  }
  *reason = "it is a chain of more than 8 symbolic links";
  return false;
}

Read ReadFile(StateFile& file, std::vector<std::uint8_t>* bytes, std::string* reason) {
  // Not blocking, so that a FIFO there is refused rather than waited on.
  const int in = open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    if (errno == ENOENT) return Read::kMissing;
    *reason = errno == ELOOP ? "it became a symbolic link" : Describe(errno);
    return Read::kRefused;
  }
  struct stat status {};
  Read result = Read::kRead;
  if (fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
    *reason = "it is not a regular file";
    result = Read::kRefused;
  } else if (static_cast<std::uintmax_t>(status.st_size) > kLargestFile) {
    *reason = "it is larger than any state file";
    result = Read::kRefused;
  } else {
    file.keep_mode = true;
    file.mode = status.st_mode & 07777;
    bytes->resize(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes->size()) {
      const ssize_t n = read(in, bytes->data() + done, bytes->size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done != bytes->size()) {
      *reason = "it cannot be read";
      result = Read::kRefused;
    }
  }
  close(in);
  return result;
}

// A lock file beside the file, held with flock from load to the end, and removed by its
// holder before it lets go; a process that finds it removed after taking it takes the new one.
bool Lock(StateFile& file, std::string* reason) {
  file.lock_path = file.path + ".lock";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockWaitSeconds);
  bool told = false;
  for (;;) {
    const int fd = open(file.lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      *reason = "its lock file " + file.lock_path + " cannot be made: " + Describe(errno);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat held {}, there {};
      if (fstat(fd, &held) == 0 && stat(file.lock_path.c_str(), &there) == 0 &&
          held.st_dev == there.st_dev && held.st_ino == there.st_ino) {
        file.lock = fd;
        return true;
      }
      close(fd);
      continue;
    }
    const int error = errno;
    close(fd);
    if (error != EWOULDBLOCK) {
      *reason = "its lock file " + file.lock_path + " cannot be locked: " + Describe(error);
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *reason = "another process has used it for more than " + std::to_string(kLockWaitSeconds) +
                " s (it holds " + file.lock_path + ")";
      return false;
    }
    if (!told)
      std::fprintf(stderr,
                   "quorix-sim: QUORIX_SIM_STATE=%s is in use by another process; waiting for "
                   "it to end (at most %d s)\n",
                   file.named.c_str(), kLockWaitSeconds);
    told = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void Unlock(StateFile& file) {
  if (file.lock < 0) return;
  // A forked child leaves its parent's lock alone.
  if (IsLoader(file)) {
    unlink(file.lock_path.c_str());
    close(file.lock);
  }
  file.lock = -1;
}

#endif

void Refuse(StateFile& file, const std::string& reason) {
  file.state = FileState::kRefused;
  std::fprintf(stderr,
               "quorix-sim: QUORIX_SIM_STATE=%s is refused: %s. The simulated boards start "
               "afresh and the file is left as it is.\n",
               file.named.c_str(), reason.c_str());
  Unlock(file);
}

__attribute__((constructor)) void LoadAtStart() {
  const char* named = std::getenv("QUORIX_SIM_STATE");
  if (named == nullptr || *named == '\0') return;
  gStateFile = new StateFile;
  StateFile& file = *gStateFile;
  file.named = named;
  std::string reason;
  if (!Resolve(file, &reason) || !Lock(file, &reason)) return Refuse(file, reason);
  std::vector<std::uint8_t> bytes;
  std::vector<BoardState> boards;
  const Read read = ReadFile(file, &bytes, &reason);
  if (read == Read::kRefused || (read == Read::kRead && !Parse(bytes, &boards, &reason)))
    return Refuse(file, reason);
  for (BoardState& board : boards) file.remembered[board.serial] = std::move(board);
  file.state = read == Read::kRead ? FileState::kLoaded : FileState::kNew;
  TheBus().Locked([&file] {
    for (Board* board : TheBus().Listed()) ApplyRememberedState(*board);
    Refresh(file);
  });
}

// After the library's own detach (default priority) and before the bus goes (101).
__attribute__((destructor(102))) void SaveAtEnd() {
  StateFile* file = gStateFile;
  if (file == nullptr) return;
  if (file->state != FileState::kRefused && IsLoader(*file)) {
    TheBus().Locked([file] { Refresh(*file); });
    const Snapshot* latest = file->current.load();
    // Saved already by QuorixSimSaveState, and not changed since: once is enough.
    if (latest != nullptr && latest->generation != file->attempted.load()) (void)Write(*file);
  }
  Unlock(*file);
  gStateFile = nullptr;
  // A save from a signal handler that is still writing keeps it.
  if (file->saving.load() == 0) delete file;
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
  if (gStateFile == nullptr || gStateFile->state == FileState::kRefused) return;
  const auto found = gStateFile->remembered.find(board.identity.serial);
  if (found != gStateFile->remembered.end()) Restore(board, found->second);
}

void NoteStateChange() {
  StateFile* file = gStateFile;
  if (file != nullptr && file->state != FileState::kRefused && IsLoader(*file)) Refresh(*file);
}

}  // namespace quorix::sim

extern "C" {

QUORIX_API int QUORIX_CALL QuorixSimSaveState(void) {
  quorix::sim::StateFile* file = quorix::sim::gStateFile;
  if (file == nullptr || file->state == quorix::sim::FileState::kRefused) return QUORIX_OK;
  if (!quorix::sim::IsLoader(*file)) return QUORIX_ERR_FAILED;
  return quorix::sim::Write(*file) ? QUORIX_OK : QUORIX_ERR_FAILED;
}

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
