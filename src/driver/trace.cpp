#include "driver/trace.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/requests.h"

namespace quorix::trace {

std::atomic<int> gState{kUnknown};

namespace {

std::chrono::steady_clock::time_point gEpoch;

#ifdef _WIN32
// A named pipe with no server fails to open at once on Windows, so fopen cannot hang here.
std::FILE* gOut = nullptr;

void Close() {
  if (gOut != nullptr && gOut != stderr) std::fclose(gOut);
  gOut = nullptr;
}

void Open(const char* path) {
  gOut = std::fopen(path, "a");
  if (gOut == nullptr)
    std::fprintf(stderr, "quorix: cannot open QUORIX_TRACE=%s for appending; tracing to stderr\n",
                 path);
  if (gOut == nullptr) gOut = stderr;
}

void Emit(const char* text, std::size_t size) {
  std::fwrite(text, 1, size, gOut);
  std::fflush(gOut);
}
#else
// Where the lines go: a file opened here, or the application's stderr (2), which is not ours
// to change. A line that cannot be written within kWaitMs (a FIFO or pipe whose reader has
// stopped reading, a terminal held by Ctrl-S) is dropped, and once one has been dropped the
// next ones do not wait until the reader makes room again; the first line written after that
// says how many were lost. So a call waits at most kWaitMs for its trace, once.
int gFd = -1;
constexpr int kWaitMs = 200;
std::atomic<bool> gStalled{false};
std::atomic<bool> gGone{false};  // the reader closed its end
std::atomic<std::uint32_t> gLost{0};

void Close() {
  if (gFd > 2) close(gFd);
  gFd = -1;
  gStalled = false;
  gGone = false;
  gLost = 0;
}

// Opens without waiting for anything: a FIFO that no program reads fails at once (ENXIO)
// instead of blocking the call until one does. Only a regular file, a character device (a
// terminal, /dev/stderr) or a FIFO with a reader is taken. Writes to a FIFO or device stay
// non-blocking.
void Open(const char* path) {
  const char* refused = nullptr;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  struct stat status {};
  if (fd < 0) {
    refused = errno == ENXIO ? "it is a FIFO that no program is reading" : std::strerror(errno);
  } else if (fstat(fd, &status) != 0) {
    refused = std::strerror(errno);
  } else if (S_ISREG(status.st_mode)) {
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  } else if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode)) {
    refused = "it is not a regular file, a terminal or other character device, or a FIFO";
  }
  if (refused != nullptr) {
    if (fd >= 0) close(fd);
    std::fprintf(stderr, "quorix: QUORIX_TRACE=%s is refused: %s; tracing to stderr\n", path,
                 refused);
    fd = 2;
  }
#ifdef F_SETNOSIGPIPE
  if (fd > 2) (void)fcntl(fd, F_SETNOSIGPIPE, 1);
#endif
  gFd = fd;
}

// write(), but a reader that has gone does not end the process with SIGPIPE.
ssize_t WriteQuietly(const char* text, std::size_t size) {
#ifdef __linux__
  sigset_t pipe_signal, previous, pending;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t written = write(gFd, text, size);
  const int error = errno;
  if (written < 0 && error == EPIPE && !was_pending) {
    const timespec now{};
    (void)sigtimedwait(&pipe_signal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
#else
  return write(gFd, text, size);
#endif
}

bool WaitForRoom(int milliseconds) {
  pollfd out{gFd, POLLOUT, 0};
  int ready;
  do ready = poll(&out, 1, milliseconds);
  while (ready < 0 && errno == EINTR);
  return ready > 0 && (out.revents & POLLOUT) != 0;
}

// One line, whole or not at all, never waiting longer than kWaitMs.
bool WriteLine(const char* text, std::size_t size) {
  const bool shared = gFd <= 2;  // blocking, perhaps: look for room first
  if (shared && !WaitForRoom(gStalled ? 0 : kWaitMs)) return false;
  while (size != 0) {
    const ssize_t written = WriteQuietly(text, size);
    if (written >= 0) {
      text += written;
      size -= static_cast<std::size_t>(written);
    } else if (errno == EPIPE) {
      gGone = true;
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitForRoom(gStalled ? 0 : kWaitMs)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

void Emit(const char* text, std::size_t size) {
  if (gGone) return;
  if (!WriteLine(text, size)) {
    gStalled = true;
    ++gLost;
    return;
  }
  gStalled = false;
  if (const std::uint32_t lost = gLost.exchange(0); lost != 0) {
    char note[96];
    const int length = std::snprintf(
        note, sizeof note, "quorix trace: %u lines lost while the reader was not reading\n", lost);
    if (!WriteLine(note, static_cast<std::size_t>(length))) gLost += lost;
  }
}
#endif

// A data stage is shown up to this many bytes.
constexpr std::uint32_t kShownBytes = 16;

// The overlapped requests still in progress, so that the line of their result can say what
// they were and how long they took. Only touched while tracing.
struct Pending {
  const void* overlapped;
  std::chrono::steady_clock::time_point issued;
  std::uint8_t endpoint;
  std::uint32_t length;
};
constexpr int kPendingSlots = 64;
Pending gPending[kPendingSlots];
std::atomic_flag gPendingLock = ATOMIC_FLAG_INIT;

class PendingLock {
 public:
  PendingLock() {
    while (gPendingLock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~PendingLock() { gPendingLock.clear(std::memory_order_release); }
  PendingLock(const PendingLock&) = delete;
  PendingLock& operator=(const PendingLock&) = delete;
};

void Remember(const void* overlapped, std::uint8_t endpoint, std::uint32_t length) {
  const PendingLock lock;
  Pending* free_slot = nullptr;
  for (Pending& slot : gPending) {
    if (slot.overlapped == overlapped) {
      free_slot = &slot;
      break;
    }
    if (slot.overlapped == nullptr && free_slot == nullptr) free_slot = &slot;
  }
  // With every slot taken the result's line goes without its time.
  if (free_slot != nullptr)
    *free_slot = {overlapped, std::chrono::steady_clock::now(), endpoint, length};
}

bool Forget(const void* overlapped, Pending* found) {
  const PendingLock lock;
  for (Pending& slot : gPending) {
    if (slot.overlapped != overlapped) continue;
    *found = slot;
    slot.overlapped = nullptr;
    return true;
  }
  return false;
}

void Use(const char* setting) {
  Close();
  if (setting == nullptr || *setting == '\0' || std::strcmp(setting, "0") == 0) {
    gState.store(kOff, std::memory_order_relaxed);
    return;
  }
  if (std::strcmp(setting, "1") != 0) {
    Open(setting);
  } else {
#ifdef _WIN32
    gOut = stderr;
#else
    gFd = 2;
#endif
  }
  gEpoch = std::chrono::steady_clock::now();
  gState.store(kOn, std::memory_order_relaxed);
}

bool Tracing() {
  if (gState.load(std::memory_order_relaxed) == kUnknown) {
    // Once per process, whichever thread comes first.
    static const bool read = (Use(std::getenv("QUORIX_TRACE")), true);
    (void)read;
  }
  return gState.load(std::memory_order_relaxed) == kOn;
}

double Milliseconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
}

// Appends printf-style text to a line of fixed size, cutting what does not fit.
class Line {
 public:
  __attribute__((format(printf, 2, 3))) void Add(const char* format, ...) {
    if (used_ >= sizeof text_ - 1) return;
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text_ + used_, sizeof text_ - used_, format, args);
    va_end(args);
    if (n > 0) used_ += static_cast<std::size_t>(n);
    if (used_ > sizeof text_ - 1) used_ = sizeof text_ - 1;
  }
  void Bytes(const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count && i < kShownBytes; ++i) Add(" %02x", bytes[i]);
    if (count > kShownBytes) Add(" ...");
  }
  // One write per line, so that lines of several threads do not mix.
  void Write() {
    if (used_ >= sizeof text_ - 1) used_ = sizeof text_ - 2;
    text_[used_++] = '\n';
    Emit(text_, used_);
  }

 private:
  char text_[320];
  std::size_t used_ = 0;
};

void Start(Line& line, port::Handle device) {
  line.Add("quorix trace +%.6f %p ", Milliseconds(gEpoch) / 1000, device);
}

void Result(Line& line, bool done, std::uint32_t error) {
  if (done)
    line.Add(" -> ok");
  else if (error == port::error::kIoPending)
    line.Add(" -> pending");
  else
    line.Add(" -> error %u", error);
}

const char* BulkName(std::uint8_t endpoint) { return endpoint & 0x80 ? "bulk-in" : "bulk-out"; }

}  // namespace

void Configure(const char* setting) { Use(setting); }

bool IoControl(port::Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned, port::Overlapped* overlapped) {
  if (!Tracing())
    return port::IoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  const auto issued = std::chrono::steady_clock::now();
  const bool done = port::IoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  const std::uint32_t error = done ? 0 : port::LastError();
  const double ms = Milliseconds(issued);
  const auto* header = static_cast<const std::uint8_t*>(in);

  Line line;
  Start(line, device);
  if (code == kIoctlControlTransfer && in_size >= kHeaderSize) {
    const std::uint32_t length = in_size - kHeaderSize;
    line.Add("control %02x %02x value %04x index %04x length %u", header[0], header[1],
             header[2] | header[3] << 8, header[4] | header[5] << 8, header[6] | header[7] << 8);
    const bool to_device = (header[0] & 0x80) == 0;
    if (to_device && length != 0) {
      line.Add(" out:");
      line.Bytes(header + kHeaderSize, length);
    }
    Result(line, done, error);
    if (done && !to_device && length != 0) {
      line.Add(", in:");
      line.Bytes(static_cast<const std::uint8_t*>(out) + kHeaderSize, length);
    }
  } else if (code == kIoctlDirectTransfer && in_size >= kHeaderSize) {
    const std::uint8_t endpoint = header[13];
    line.Add("%s 0x%02x length %u", BulkName(endpoint), endpoint, out_size);
    Result(line, done, error);
    if (done) line.Add(", %u bytes", returned != nullptr ? *returned : 0);
    if (!done && error == port::error::kIoPending) Remember(overlapped, endpoint, out_size);
  } else if ((code == kIoctlAbortPipe || code == kIoctlResetPipe) && in_size >= 1) {
    line.Add("%s pipe 0x%02x", code == kIoctlAbortPipe ? "abort" : "reset", header[0]);
    Result(line, done, error);
  } else {
    line.Add("ioctl 0x%06x in %u out %u", code, in_size, out_size);
    Result(line, done, error);
  }
  if (!done && error == port::error::kIoPending)
    line.Write();
  else {
    line.Add(" (%.3f ms)", ms);
    line.Write();
  }
  // Writing the line may have changed the thread's error code; the caller reads it next.
  if (!done) port::SetLastError(error);
  return done;
}

bool OverlappedResult(port::Handle device, port::Overlapped* overlapped, std::uint32_t* bytes) {
  if (!Tracing()) return port::OverlappedResult(device, overlapped, bytes);
  const bool done = port::OverlappedResult(device, overlapped, bytes);
  const std::uint32_t error = done ? 0 : port::LastError();
  if (!done && error == port::error::kIoIncomplete) return false;

  Pending request{};
  const bool known = Forget(overlapped, &request);
  Line line;
  Start(line, device);
  if (known)
    line.Add("%s 0x%02x length %u", BulkName(request.endpoint), request.endpoint, request.length);
  else
    line.Add("overlapped %p", static_cast<void*>(overlapped));
  line.Add(" completed");
  Result(line, done, error);
  if (done) line.Add(", %u bytes", bytes != nullptr ? *bytes : 0);
  if (known) line.Add(" (%.3f ms after it was issued)", Milliseconds(request.issued));
  line.Write();
  if (!done) port::SetLastError(error);
  return done;
}

}  // namespace quorix::trace
