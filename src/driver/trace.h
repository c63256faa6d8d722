// Request tracing: every request the core hands to the port, and every result it learns of an
// overlapped one, pass through these two calls. With QUORIX_TRACE set in the environment ("1"
// for stderr, anything else a file to append to) each becomes one line: the call, its decoded
// setup stage or endpoint and length, the result and the time taken. The environment is read
// once, at the first request; when tracing is off a request costs one predictable branch more.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/port.h"

namespace quorix {

namespace trace {

enum : int { kUnknown, kOff, kOn };
extern std::atomic<int> gState;

bool IoControl(port::Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned, port::Overlapped* overlapped);
bool OverlappedResult(port::Handle device, port::Overlapped* overlapped, std::uint32_t* bytes);

// Sets tracing as the environment variable would ("1", a file path, or null or "" for off),
// in place of reading it. For tests.
void Configure(const char* setting);

}  // namespace trace

// port::IoControl, traced.
inline bool DriverRequest(port::Handle device, std::uint32_t code, void* in, std::uint32_t in_size,
                          void* out, std::uint32_t out_size, std::uint32_t* returned,
                          port::Overlapped* overlapped) {
  if (trace::gState.load(std::memory_order_relaxed) == trace::kOff) [[likely]]
    return port::IoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  return trace::IoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}

// port::OverlappedResult, traced once the request has ended (a request still in progress
// is looked at often and traced never).
inline bool DriverResult(port::Handle device, port::Overlapped* overlapped, std::uint32_t* bytes) {
  if (trace::gState.load(std::memory_order_relaxed) == trace::kOff) [[likely]]
    return port::OverlappedResult(device, overlapped, bytes);
  return trace::OverlappedResult(device, overlapped, bytes);
}

}  // namespace quorix
