// Process attach and detach for ELF shared libraries: the loader runs these when the library
// is loaded into a process and when it is unloaded or the process ends.
#include "driver/port.h"
#include "registry/registry.h"

namespace {

__attribute__((constructor)) void OnLoad() { quorix::ProcessAttach(); }
__attribute__((destructor)) void OnUnload() {
  quorix::ProcessDetach();
  quorix::port::ReleaseProcessState();
}

}  // namespace
