#include "library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>

namespace quorix::tool {

Library::Library(bool simulated) : simulated_(simulated) {
  const char* chosen = std::getenv("QUORIX_LIBRARY");
  path_ = chosen != nullptr && *chosen != '\0' ? chosen
          : simulated                          ? "libquorix-sim.so.1"
                                               : "libquorix.so.1";
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
}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace quorix::tool
