// Ready signals: the objects an application's event loop waits on, so native whatever the port.
#include <new>

#include "driver/port.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif
#endif

namespace quorix::port {

#ifdef _WIN32

Handle NewReadySignal() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

void SetReadySignal(Handle signal, bool ready) {
  if (ready)
    (void)SetEvent(signal);
  else
    (void)ResetEvent(signal);
}

std::intptr_t ReadySignalNative(Handle signal) { return reinterpret_cast<std::intptr_t>(signal); }

void CloseReadySignal(Handle signal) {
  if (signal != nullptr) (void)::CloseHandle(signal);
}

#else

namespace {

// The descriptor the application polls and the one the library writes to: the same eventfd on
// Linux, the two ends of a pipe elsewhere. ready mirrors whether a byte (a count) is in it, so
// that setting the state it already has makes no system call.
struct Signal {
  int poll_fd;
  int write_fd;
  bool ready;
};

#ifndef __linux__
bool NonBlockingCloseOnExec(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}
#endif

}  // namespace

Handle NewReadySignal() {
  auto* signal = new (std::nothrow) Signal{-1, -1, false};
  if (signal == nullptr) return nullptr;
#ifdef __linux__
  signal->poll_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  signal->write_fd = signal->poll_fd;
  if (signal->poll_fd >= 0) return signal;
#else
  int fds[2];
  if (pipe(fds) == 0) {
    signal->poll_fd = fds[0];
    signal->write_fd = fds[1];
    if (NonBlockingCloseOnExec(fds[0]) && NonBlockingCloseOnExec(fds[1])) return signal;
    close(fds[0]);
    close(fds[1]);
  }
#endif
  delete signal;
  return nullptr;
}

void SetReadySignal(Handle handle, bool ready) {
  auto* signal = static_cast<Signal*>(handle);
  if (signal->ready == ready) return;
  signal->ready = ready;
  if (ready) {
#ifdef __linux__
    const std::uint64_t one = 1;
    ssize_t written;
    do written = write(signal->write_fd, &one, sizeof one);
    while (written < 0 && errno == EINTR);
#else
    const char one = 1;
    ssize_t written;
    do written = write(signal->write_fd, &one, 1);
    while (written < 0 && errno == EINTR);
#endif
    return;
  }
  // Drain: an eventfd's read takes the whole count; a pipe holds the one byte written.
  std::uint64_t sink[1];
  ssize_t got;
  do got = read(signal->poll_fd, sink, sizeof sink);
  while (got > 0 || (got < 0 && errno == EINTR));
}

std::intptr_t ReadySignalNative(Handle handle) { return static_cast<Signal*>(handle)->poll_fd; }

void CloseReadySignal(Handle handle) {
  auto* signal = static_cast<Signal*>(handle);
  if (signal == nullptr) return;
  if (signal->write_fd != signal->poll_fd) close(signal->write_fd);
  close(signal->poll_fd);
  delete signal;
}

#endif

}  // namespace quorix::port
