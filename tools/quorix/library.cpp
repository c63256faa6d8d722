#include "library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace quorix::tool {

namespace {

// Beside the tool first (an install's lib folder, or the build tree), then the system's search
// path. The tool's own RUNPATH cannot be relied on: a sanitizer runtime intercepts dlopen and
// searches with its own.
std::string Locate(const std::string& name) {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path dir = exe.parent_path();
    for (const auto& candidate : {dir / ".." / QUORIX_TOOL_INSTALL_LIBDIR / name,
                                  std::filesystem::path(QUORIX_TOOL_BUILD_LIBDIR) / name})
      if (std::filesystem::exists(candidate, error)) return candidate.string();
  }
  return name;
}

}  // namespace

Library::Library(bool simulated) : simulated_(simulated) {
  const char* chosen = std::getenv("QUORIX_LIBRARY");
  path_ = chosen != nullptr && *chosen != '\0'
              ? chosen
              : Locate(simulated ? "libquorix-sim.so.1" : "libquorix.so.1");
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error("cannot load " + path_ + ": " + dlerror());
  auto bind = [this](auto& slot, const char* name) {
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) throw std::runtime_error(path_ + " lacks the export " + name);
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
  };
#define QUORIX_TOOL_FUNCTION(name) bind(api_.name, #name);
#include "api_functions.inc"
#undef QUORIX_TOOL_FUNCTION
  if (simulated_) {
    bind(sim_.QuorixSimReset, "QuorixSimReset");
    bind(sim_.QuorixSimAddBoard, "QuorixSimAddBoard");
    bind(sim_.QuorixSimSetSource, "QuorixSimSetSource");
    bind(sim_.QuorixSimSetLoopback, "QuorixSimSetLoopback");
  }
}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace quorix::tool
