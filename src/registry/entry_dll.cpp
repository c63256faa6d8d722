// Process attach and detach for Windows DLLs: the loader calls DllMain when a process loads
// the module and when it unloads it or ends.
#include <windows.h>

#include "registry/registry.h"

// Loading never fails on the handlers' account: the answer is TRUE for every reason, and the
// thread notifications do nothing. A detach with reserved set comes at the process's end,
// when its other threads are gone already: none of their calls is left to wait for.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) quorix::ProcessAttach();
  if (reason == DLL_PROCESS_DETACH) quorix::ProcessDetach(reserved != nullptr);
  return TRUE;
}
