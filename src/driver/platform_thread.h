// The platform's threads and monotonic clock, for the ports to offer through port.h.
#pragma once

#include <cstdint>

namespace quorix::port::platform {

void* StartThread(void (*body)(void*), void* argument);
void JoinThread(void* thread);
std::uint64_t MonotonicMicroseconds();

}  // namespace quorix::port::platform
