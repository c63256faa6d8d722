// What the tool needs of the operating system, in one small interface: loading the library,
// the tool's own folder, the environment, Ctrl-C, terminals, files that must not block when
// opened, and private folders. platform_posix.cpp implements it for Linux and macOS,
// platform_win32.cpp for Windows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorix::tool::platform {

// ---- shared libraries ----

// The file name of the native or the simulated library on this platform.
std::string LibraryName(bool simulated);
// Null on failure, with the system's reason in *error.
void* OpenLibrary(const std::string& path, std::string* error);
void* Symbol(void* library, const char* name);
void CloseLibrary(void* library);
// The file the library that holds symbol was loaded from, links resolved; "" when unknown.
std::filesystem::path LoadedFrom(const void* symbol);
// The version a library file carries inside it ("1.0.0.3" from a Windows version resource);
// "" where the version is only in its name.
std::string FileVersion(const std::filesystem::path& file);

// ---- the tool itself ----

// The folder of the running executable; empty when unknown.
std::filesystem::path ExecutableFolder();
void SetEnvironment(const char* name, const std::string& value);

// ---- terminals ----

enum class Stream { kOut, kError };
bool IsTerminal(Stream stream);
// A pipe or a socket: another program reads what goes there.
bool IsPipe(Stream stream);

// ---- Ctrl-C and signals ----

// On POSIX, from the start of the tool to its end: the first SIGINT, SIGTERM or SIGHUP (unless
// it is ignored, as under nohup) only sets Interrupted() and EndingSignal(), so that the tool
// ends through its normal exit, where the simulated library saves its state; a second one ends
// the process at once. Nothing on Windows, where InterruptScope alone answers Ctrl-C.
void WatchSignals();
// The signal that asked the tool to end (SIGINT, SIGTERM, SIGHUP); 0 for none, and on Windows.
int EndingSignal();

// While one lives, the first Ctrl-C only sets Interrupted(), for the command to stop at a safe
// point; a second one ends the process at once. On POSIX the signals are watched already.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};
bool Interrupted();
// A function, safe in a signal handler, that the second Ctrl-C runs before it ends the process.
void SaveBeforeQuitting(int (*save)());

// ---- files ----

enum class ReadResult { kRead, kMissing, kNotRegular, kTooLarge, kUnreadable };
// Reads a whole regular file of at most limit bytes. The file is opened so that a FIFO or a
// device cannot block the open, and checked to be a regular file before anything is read;
// nothing larger than limit is allocated. *reason holds the system's words on failure.
ReadResult ReadRegularFile(const std::filesystem::path& path, std::uintmax_t limit,
                           std::vector<std::uint8_t>* bytes, std::string* reason);

// Reads standard input to its end, in binary, at most limit bytes (kTooLarge beyond); a pipe,
// a file or a terminal alike. Stops with kUnreadable when Interrupted() turns true.
ReadResult ReadStandardInput(std::uintmax_t limit, std::vector<std::uint8_t>* bytes,
                             std::string* reason);

// A new folder that only this user can enter, in the system's place for temporary files.
// Empty on failure, with the reason.
std::filesystem::path MakePrivateFolder(std::string* reason);

}  // namespace quorix::tool::platform
