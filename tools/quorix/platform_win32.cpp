// The tool's platform interface on Windows.
#include <windows.h>
// After windows.h, which it needs.
#include <winver.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "platform.h"

namespace quorix::tool::platform {

namespace {

// The system's words for an error code.
std::string Describe(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length != 0 ? std::string(text, length) : "error " + std::to_string(error);
  LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
    words.pop_back();
  return words;
}

// Raw bytes go to standard output (a stream without -o, an EEPROM read into a pipe), which the
// C runtime opens in text mode here and would turn each 0x0A into 0D 0A: binary for the tool's
// whole life, so its text lines end in LF as they do elsewhere.
const int kBinaryOutput = _setmode(_fileno(stdout), _O_BINARY);

std::filesystem::path ModuleFile(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  return std::filesystem::path(std::wstring(path, length));
}

}  // namespace

std::string LibraryName(bool simulated) { return simulated ? "quorix-sim.dll" : "KV420_FX2.dll"; }

void* OpenLibrary(const std::string& path, std::string* error) {
  // A path with a folder finds the library's own dependencies beside it, as a bare name does.
  const bool folder = path.find_first_of("\\/") != std::string::npos;
  HMODULE library =
      LoadLibraryExA(path.c_str(), nullptr, folder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  if (library == nullptr) *error = Describe(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::filesystem::path LoadedFrom(const void* symbol) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(symbol), &module))
    return {};
  return ModuleFile(module);
}

std::string FileVersion(const std::filesystem::path& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<std::uint8_t> block(size);
  void* value = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return {};
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionLS));
}

std::filesystem::path ExecutableFolder() { return ModuleFile(nullptr).parent_path(); }

void SetEnvironment(const char* name, const std::string& value) {
  // Both the C runtime's copy, which getenv reads, and the process's own.
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.c_str());
}

bool IsTerminal(Stream stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE),
                        &mode) != FALSE;
}

bool IsPipe(Stream stream) {
  return GetFileType(GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE)) ==
         FILE_TYPE_PIPE;
}

namespace {

volatile LONG gInterrupted = 0;
int gScopes = 0;
int (*volatile gSave)() = nullptr;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (InterlockedExchange(&gInterrupted, 1) == 0) return TRUE;
  // The second Ctrl-C goes to the default handler, which ends the process.
  if (gSave != nullptr) gSave();
  return FALSE;
}

}  // namespace

InterruptScope::InterruptScope() {
  if (gScopes++ != 0) return;
  InterlockedExchange(&gInterrupted, 0);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

InterruptScope::~InterruptScope() {
  if (--gScopes == 0) SetConsoleCtrlHandler(OnControl, FALSE);
}

bool Interrupted() { return gInterrupted != 0; }

// Ctrl-C is the console's, answered by InterruptScope; there are no POSIX signals to watch.
void WatchSignals() {}
int EndingSignal() { return 0; }

ReadResult ReadStandardInput(std::uintmax_t limit, std::vector<std::uint8_t>* bytes,
                             std::string* reason) {
  bytes->clear();
  // Binary, as standard output is: a 0x0D 0x0A stays two bytes, and 0x1A ends nothing.
  _setmode(_fileno(stdin), _O_BINARY);
  std::vector<std::uint8_t> buffer(64 * 1024);
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), stdin);
    if (n > limit - bytes->size()) {
      *reason = "more than " + std::to_string(limit) + " bytes";
      bytes->clear();
      return ReadResult::kTooLarge;
    }
    bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == buffer.size()) continue;
    if (std::ferror(stdin) == 0) return ReadResult::kRead;
    *reason = "it cannot be read";
    bytes->clear();
    return ReadResult::kUnreadable;
  }
}

void SaveBeforeQuitting(int (*save)()) { gSave = save; }

ReadResult ReadRegularFile(const std::filesystem::path& path, std::uintmax_t limit,
                           std::vector<std::uint8_t>* bytes, std::string* reason) {
  bytes->clear();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    *reason = Describe(error);
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::kMissing
                                                                          : ReadResult::kUnreadable;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *reason = "a directory";
    return ReadResult::kNotRegular;
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *reason = Describe(GetLastError());
    return ReadResult::kUnreadable;
  }
  ReadResult result = ReadResult::kRead;
  LARGE_INTEGER size{};
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK) {
    *reason = type == FILE_TYPE_PIPE   ? "a pipe"
              : type == FILE_TYPE_CHAR ? "a character device"
                                       : "not a regular file";
    result = ReadResult::kNotRegular;
  } else if (!GetFileSizeEx(file, &size)) {
    *reason = Describe(GetLastError());
    result = ReadResult::kUnreadable;
  } else if (static_cast<std::uintmax_t>(size.QuadPart) > limit) {
    *reason = std::to_string(size.QuadPart) + " bytes";
    result = ReadResult::kTooLarge;
  } else {
    bytes->resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t got = 0;
    while (got < bytes->size()) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes->size() - got, 1u << 30));
      DWORD n = 0;
      if (!ReadFile(file, bytes->data() + got, want, &n, nullptr) || n == 0) break;
      got += n;
    }
    std::uint8_t more = 0;
    DWORD extra = 0;
    if (got != bytes->size()) {
      *reason = "it ended early";
      result = ReadResult::kUnreadable;
    } else if (ReadFile(file, &more, 1, &extra, nullptr) && extra > 0) {
      *reason = "it grew while it was read";
      result = ReadResult::kTooLarge;
    }
  }
  CloseHandle(file);
  if (result != ReadResult::kRead) bytes->clear();
  return result;
}

std::filesystem::path MakePrivateFolder(std::string* reason) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) {
    *reason = error.message();
    return {};
  }
  // The user's own temporary folder keeps others out; the name only has to be new.
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path folder = base / ("quorix-" + std::to_string(random()));
    if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  *reason = Describe(GetLastError());
  return {};
}

}  // namespace quorix::tool::platform
