// The Quorix library, loaded at run time: the native one or the simulated one, so that one
// tool binary serves a bench with a board and a desk without one.
#pragma once

#include <filesystem>
#include <string>

#include "quorix/quorix_sim.h"

namespace quorix::tool {

struct Api {
#define QUORIX_TOOL_FUNCTION(name) decltype(&::name) name = nullptr;
#include "api_functions.inc"
#undef QUORIX_TOOL_FUNCTION
};

// The simulated board's controls that the tool uses; bound only from the simulated library.
struct SimApi {
  decltype(&::QuorixSimReset) QuorixSimReset = nullptr;
  decltype(&::QuorixSimAddBoard) QuorixSimAddBoard = nullptr;
  decltype(&::QuorixSimSetSource) QuorixSimSetSource = nullptr;
  decltype(&::QuorixSimSetLoopback) QuorixSimSetLoopback = nullptr;
  decltype(&::QuorixSimUnplug) QuorixSimUnplug = nullptr;
  decltype(&::QuorixSimReplug) QuorixSimReplug = nullptr;
  // Null in a simulated library older than the state file.
  decltype(&::QuorixSimStateStatus) QuorixSimStateStatus = nullptr;
  decltype(&::QuorixSimSaveState) QuorixSimSaveState = nullptr;
};

class Library {
 public:
  // The simulated library or the native one; QUORIX_LIBRARY (a path) overrides both. Throws
  // std::runtime_error when the library or one of its exports is missing.
  explicit Library(bool simulated);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  const Api& api() const { return api_; }
  // Null unless the simulated library was loaded.
  const SimApi* sim() const { return simulated_ ? &sim_ : nullptr; }
  const std::string& path() const { return path_; }
  // The file it was loaded from, links resolved, and the version its name carries ("" when
  // it carries none).
  std::filesystem::path file() const;
  std::string version() const;

 private:
  void* handle_ = nullptr;
  std::string path_;
  bool simulated_;
  Api api_;
  SimApi sim_;
};

}  // namespace quorix::tool
