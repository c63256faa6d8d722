#include "library.h"

#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "platform.h"

namespace quorix::tool {

namespace {

// Beside the tool first (an install's lib folder, or the build tree), then the system's search
// path. The tool's own RUNPATH cannot be relied on: a sanitizer runtime intercepts dlopen and
// searches with its own.
std::string Locate(const std::string& name) {
  std::error_code error;
  const std::filesystem::path folder = platform::ExecutableFolder();
  if (!folder.empty()) {
    for (const auto& candidate : {folder / ".." / QUORIX_TOOL_INSTALL_LIBDIR / name,
                                  std::filesystem::path(QUORIX_TOOL_BUILD_LIBDIR) / name})
      if (std::filesystem::exists(candidate, error)) return candidate.string();
  }
  return name;
}

}  // namespace

Library::Library(bool simulated) : simulated_(simulated) {
  const char* chosen = std::getenv("QUORIX_LIBRARY");
  path_ = chosen != nullptr && *chosen != '\0' ? chosen : Locate(platform::LibraryName(simulated));
  std::string error;
  handle_ = platform::OpenLibrary(path_, &error);
  if (handle_ == nullptr) {
    std::string text = "cannot load " + path_ + ": " + error;
    if (!simulated) text += " (without a board, --sim uses the simulated library)";
    throw std::runtime_error(text);
  }
  auto bind = [this](auto& slot, const char* name, bool required) {
    void* symbol = platform::Symbol(handle_, name);
    if (symbol == nullptr && required)
      throw std::runtime_error(path_ + " lacks the export " + name);
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
  };
#define QUORIX_TOOL_FUNCTION(name) bind(api_.name, #name, true);
#include "api_functions.inc"
#undef QUORIX_TOOL_FUNCTION
  if (simulated_) {
    bind(sim_.QuorixSimReset, "QuorixSimReset", true);
    bind(sim_.QuorixSimAddBoard, "QuorixSimAddBoard", true);
    bind(sim_.QuorixSimSetSource, "QuorixSimSetSource", true);
    bind(sim_.QuorixSimSetLoopback, "QuorixSimSetLoopback", true);
    bind(sim_.QuorixSimUnplug, "QuorixSimUnplug", true);
    bind(sim_.QuorixSimReplug, "QuorixSimReplug", true);
    bind(sim_.QuorixSimStateStatus, "QuorixSimStateStatus", false);
    bind(sim_.QuorixSimSaveState, "QuorixSimSaveState", false);
  }
}

Library::~Library() {
#ifndef __SANITIZE_ADDRESS__
  if (handle_ != nullptr) platform::CloseLibrary(handle_);
#else
  // Under AddressSanitizer the library stays loaded until the process ends (its end runs the
  // same detach and save): unloaded, what it keeps for the whole process would be counted as
  // leaked by LeakSanitizer, which could not even name its frames.
  (void)handle_;
#endif
}

std::filesystem::path Library::file() const {
  return platform::LoadedFrom(reinterpret_cast<const void*>(api_.QuorixCountDevices));
}

std::string Library::version() const {
  // KV420_FX2.dll carries its version inside; libquorix.so.1.0.0 and libquorix.1.0.0.dylib
  // in their names.
  const std::filesystem::path library = file();
  if (std::string inside = platform::FileVersion(library); !inside.empty()) return inside;
  static const std::regex kVersion(R"(\.(\d+\.\d+\.\d+)(\.dylib)?$)");
  std::smatch match;
  const std::string name = library.filename().string();
  return std::regex_search(name, match, kVersion) ? match[1].str() : "";
}

}  // namespace quorix::tool
