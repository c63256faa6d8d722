// Plug and unplug notifications: the watcher thread and the registrations it reports to.
#pragma once

namespace quorix {

// Stops the watcher before the library's state is torn down (the process's detach): waits up
// to limit_ms for it to leave a callback it is in, and forgets the registrations.
void StopPlugWatcher(unsigned limit_ms);

#ifndef _WIN32
// Around fork(): the child has no watcher thread and no registrations.
void PlugBeforeFork();
void PlugParentAfterFork();
void PlugChildAfterFork();
#endif

}  // namespace quorix
