// The Quorix library, loaded at run time: the native one or the simulated one, so that one
// tool binary serves a bench with a board and a desk without one.
#pragma once

#include <string>

#include "quorix/quorix.h"

namespace quorix::tool {

struct Api {
#define QUORIX_TOOL_FUNCTION(name) decltype(&::name) name = nullptr;
#include "api_functions.inc"
#undef QUORIX_TOOL_FUNCTION
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
  const std::string& path() const { return path_; }
  bool simulated() const { return simulated_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
  bool simulated_;
  Api api_;
};

}  // namespace quorix::tool
