// Counts the heap allocations a thread makes, through malloc and everything built on it
// (operator new, calloc, realloc, the aligned forms), by interposing the allocator of the whole
// process. Only a thread that armed the counter is counted, so that emulator threads beside
// the library are left out. Each allocation is put down to the innermost loaded module on its
// call stack among those the caller names (by a piece of their file name), or to "other".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorix::bench {

class AllocationCounter {
 public:
  // The modules to tell apart, by a piece of their file name ("libusb-1.0", "umockdev").
  // Modules are looked up when counting starts, so load them first.
  explicit AllocationCounter(std::vector<std::string> modules = {});
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  // Counts the allocations of the calling thread from now until Stop.
  void Start();
  void Stop();

  std::uint64_t Total() const;
  // Allocations by module: the innermost named module on the stack, or "other".
  std::map<std::string, std::uint64_t> ByModule() const;
};

}  // namespace quorix::bench
