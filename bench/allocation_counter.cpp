#include "allocation_counter.h"

#include <execinfo.h>
#include <link.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

// glibc's own allocator, under the names it keeps for those who replace malloc.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace quorix::bench {
namespace {

constexpr int kModules = 8;
constexpr int kFrames = 48;

struct Range {
  std::uintptr_t begin = 0, end = 0;
  int module = -1;
};

// Written before counting starts and only read while it runs.
struct Modules {
  std::vector<std::string> names;  // the caller's pieces, then "other"
  std::vector<Range> ranges;
};
Modules* gModules = nullptr;

std::atomic<std::uint64_t> gCounts[kModules + 1];
thread_local bool tArmed = false;
thread_local bool tInHook = false;

int CollectRange(dl_phdr_info* info, std::size_t, void* data) {
  auto* modules = static_cast<Modules*>(data);
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  for (std::size_t m = 0; m < modules->names.size(); ++m) {
    if (std::strstr(name, modules->names[m].c_str()) == nullptr) continue;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
      const ElfW(Phdr)& header = info->dlpi_phdr[i];
      if (header.p_type != PT_LOAD || (header.p_flags & PF_X) == 0) continue;
      const std::uintptr_t begin = info->dlpi_addr + header.p_vaddr;
      modules->ranges.push_back({begin, begin + header.p_memsz, static_cast<int>(m)});
    }
  }
  return 0;
}

int ModuleOf(std::uintptr_t address) {
  for (const Range& range : gModules->ranges)
    if (address >= range.begin && address < range.end) return range.module;
  return -1;
}

void Note() {
  if (!tArmed || tInHook) return;
  tInHook = true;
  int module = static_cast<int>(gModules->names.size());  // other
  void* frames[kFrames];
  const int depth = backtrace(frames, kFrames);
  for (int i = 0; i < depth; ++i) {
    const int found = ModuleOf(reinterpret_cast<std::uintptr_t>(frames[i]));
    if (found >= 0) {
      module = found;
      break;
    }
  }
  gCounts[module].fetch_add(1, std::memory_order_relaxed);
  tInHook = false;
}

}  // namespace

AllocationCounter::AllocationCounter(std::vector<std::string> modules) {
  if (modules.size() > kModules) modules.resize(kModules);
  gModules = new Modules{std::move(modules), {}};
  // The unwinder loads what it needs on its first use: not while counting.
  void* frames[4];
  (void)backtrace(frames, 4);
}

AllocationCounter::~AllocationCounter() {
  Stop();
  delete gModules;
  gModules = nullptr;
}

void AllocationCounter::Start() {
  gModules->ranges.clear();
  dl_iterate_phdr(CollectRange, gModules);
  for (auto& count : gCounts) count.store(0);
  tArmed = true;
}

void AllocationCounter::Stop() { tArmed = false; }

std::uint64_t AllocationCounter::Total() const {
  std::uint64_t total = 0;
  for (const auto& count : gCounts) total += count.load();
  return total;
}

std::map<std::string, std::uint64_t> AllocationCounter::ByModule() const {
  std::map<std::string, std::uint64_t> counts;
  for (std::size_t m = 0; m < gModules->names.size(); ++m) counts[gModules->names[m]] = gCounts[m];
  counts["other"] = gCounts[gModules->names.size()];
  return counts;
}

}  // namespace quorix::bench

// The process's allocator: glibc's, counted.
extern "C" {

void* malloc(std::size_t size) {
  quorix::bench::Note();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  quorix::bench::Note();
  return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
  quorix::bench::Note();
  return __libc_realloc(block, size);
}

void free(void* block) { __libc_free(block); }

void* memalign(std::size_t alignment, std::size_t size) {
  quorix::bench::Note();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  quorix::bench::Note();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  quorix::bench::Note();
  void* made = __libc_memalign(alignment, size);
  if (made == nullptr) return ENOMEM;
  *block = made;
  return 0;
}

void* valloc(std::size_t size) {
  quorix::bench::Note();
  return __libc_memalign(4096, size);
}

}  // extern "C"
