// The tool's platform interface on Linux and macOS.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace quorix::tool::platform {

std::string LibraryName(bool simulated) {
#if defined(__APPLE__)
  return simulated ? "libquorix-sim.1.dylib" : "libquorix.1.dylib";
#else
  return simulated ? "libquorix-sim.so.1" : "libquorix.so.1";
#endif
}

void* OpenLibrary(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) *error = dlerror();
  return library;
}

void* Symbol(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) { dlclose(library); }

std::filesystem::path LoadedFrom(const void* symbol) {
  Dl_info info{};
  if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code error;
  const std::filesystem::path file = std::filesystem::canonical(info.dli_fname, error);
  return error ? std::filesystem::path(info.dli_fname) : file;
}

// Shared objects carry theirs in the name.
std::string FileVersion(const std::filesystem::path&) { return {}; }

std::filesystem::path ExecutableFolder() {
  std::error_code error;
#if defined(__APPLE__)
  char path[4096];
  std::uint32_t size = sizeof path;
  if (_NSGetExecutablePath(path, &size) != 0) return {};
  const std::filesystem::path exe = std::filesystem::canonical(path, error);
#else
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
#endif
  return error ? std::filesystem::path() : exe.parent_path();
}

void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

bool IsTerminal(Stream stream) { return isatty(stream == Stream::kOut ? 1 : 2) == 1; }

bool IsPipe(Stream stream) {
  struct stat status {};
  return fstat(stream == Stream::kOut ? 1 : 2, &status) == 0 &&
         (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

namespace {

constexpr int kWatched[] = {SIGINT, SIGTERM, SIGHUP};
volatile std::sig_atomic_t gSignal = 0;
bool gHandled[3] = {};  // which of kWatched have OnSignal; set before any is installed

int (*gSave)() = nullptr;

void OnSignal(int number) {
  if (gSignal == 0) {
    gSignal = number;
    return;
  }
  // A second one ends the process at once, after the save given to SaveBeforeQuitting; it is
  // delivered again, by default, once this handler returns.
  if (gSave != nullptr) gSave();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  raise(number);
}

}  // namespace

void WatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) {
    struct sigaction before {};
    sigaction(kWatched[i], nullptr, &before);
    // An ignored SIGHUP (nohup) or SIGTERM stays ignored; SIGINT is taken even when a shell
    // ignores it for a background job, so that a script can stop the tool cleanly.
    gHandled[i] = kWatched[i] == SIGINT || before.sa_handler != SIG_IGN;
  }
  for (int i = 0; i < 3; ++i)
    if (gHandled[i]) sigaction(kWatched[i], &action, nullptr);
}

int EndingSignal() { return gSignal; }

// The signals are watched for the tool's whole life.
InterruptScope::InterruptScope() = default;
InterruptScope::~InterruptScope() = default;

bool Interrupted() { return gSignal != 0; }

ReadResult ReadStandardInput(std::uintmax_t limit, std::vector<std::uint8_t>* bytes,
                             std::string* reason) {
  bytes->clear();
  std::vector<std::uint8_t> buffer(64 * 1024);
  for (;;) {
    // A terminal or a pipe may keep the tool waiting: a signal ends the wait.
    if (Interrupted()) {
      *reason = "interrupted";
      break;
    }
    pollfd ready{0, POLLIN, 0};
    const int polled = poll(&ready, 1, 100);
    if (polled < 0 && errno != EINTR) {
      *reason = std::strerror(errno);
      break;
    }
    if (polled <= 0) continue;
    const ssize_t n = read(0, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      *reason = std::strerror(errno);
      break;
    }
    if (n == 0) return ReadResult::kRead;
    if (static_cast<std::uintmax_t>(n) > limit - bytes->size()) {
      *reason = "more than " + std::to_string(limit) + " bytes";
      bytes->clear();
      return ReadResult::kTooLarge;
    }
    bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + n);
  }
  bytes->clear();
  return ReadResult::kUnreadable;
}

void SaveBeforeQuitting(int (*save)()) { gSave = save; }

ReadResult ReadRegularFile(const std::filesystem::path& path, std::uintmax_t limit,
                           std::vector<std::uint8_t>* bytes, std::string* reason) {
  bytes->clear();
  // Non-blocking, so that opening a FIFO with no writer returns at once.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return errno == ENOENT || errno == ENOTDIR ? ReadResult::kMissing : ReadResult::kUnreadable;
  }
  struct stat info {};
  ReadResult result = ReadResult::kRead;
  if (fstat(fd, &info) != 0) {
    *reason = std::strerror(errno);
    result = ReadResult::kUnreadable;
  } else if (!S_ISREG(info.st_mode)) {
    *reason = S_ISDIR(info.st_mode)    ? "a directory"
              : S_ISFIFO(info.st_mode) ? "a FIFO"
              : S_ISCHR(info.st_mode)  ? "a character device"
              : S_ISBLK(info.st_mode)  ? "a block device"
                                       : "not a regular file";
    result = ReadResult::kNotRegular;
  } else if (static_cast<std::uintmax_t>(info.st_size) > limit) {
    *reason = std::to_string(info.st_size) + " bytes";
    result = ReadResult::kTooLarge;
  } else {
    bytes->resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    // A file that grows meanwhile is read to the size it had, plus the check below.
    while (got < bytes->size()) {
      const ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    std::uint8_t more = 0;
    if (got != bytes->size()) {
      *reason = got < bytes->size() ? "it ended early" : std::strerror(errno);
      result = ReadResult::kUnreadable;
    } else if (read(fd, &more, 1) > 0) {
      *reason = "it grew while it was read";
      result = ReadResult::kTooLarge;
    }
  }
  close(fd);
  if (result != ReadResult::kRead) bytes->clear();
  return result;
}

std::filesystem::path MakePrivateFolder(std::string* reason) {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / "quorix-XXXXXX").string();
  // mkdtemp makes it with mode 0700.
  if (mkdtemp(pattern.data()) == nullptr) {
    *reason = std::strerror(errno);
    return {};
  }
  return pattern;
}

}  // namespace quorix::tool::platform
