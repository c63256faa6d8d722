// The EEPROM (read, write, dump, restore) and the startup command stored in it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

#include "commands.h"
#include "json.h"
#include "platform.h"

namespace quorix::tool {

namespace {

// An EEPROM write must not cross a page (a 24C64's are 32 bytes), or the part wraps it within
// the page.
constexpr std::uint32_t kEepromPage = 32;
constexpr std::uint32_t kStartupPiece = 16;
constexpr double kStartupPause = 0.2;

std::string Address(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", address);
  return text;
}

std::string Range(std::uint32_t first, std::uint32_t end) {
  return Address(first) + "-" + Address(end - 1);
}

void HexDump(std::uint32_t base, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t row = 0; row < bytes.size(); row += 16) {
    std::printf("%08zx ", base + row);
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) std::printf(" ");
      if (row + i < bytes.size())
        std::printf(" %02x", bytes[row + i]);
      else
        std::printf("   ");
    }
    std::printf("  |");
    for (std::size_t i = row; i < std::min(bytes.size(), row + 16); ++i)
      std::putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    std::printf("|\n");
  }
  std::printf("%08zx\n", base + bytes.size());
}

bool Printable(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](std::uint8_t b) { return b >= 0x20 && b < 0x7F; });
}

// Reads the whole EEPROM at select in pieces, with progress; Ctrl-C stops it (Failure).
std::vector<std::uint8_t> ReadWhole(const Api& api, QuorixHandle handle, std::uint8_t select,
                                    const char* doing) {
  constexpr std::uint32_t kStep = 255;
  const std::uint32_t size = EepromSize(select);
  std::vector<std::uint8_t> bytes;
  ProgressLine progress;
  for (std::uint32_t done = 0; done < size;) {
    if (platform::Interrupted()) {
      progress.Finish();
      throw Failure("interrupted while " + std::string(doing) + "; nothing was written");
    }
    const std::uint32_t piece = std::min(kStep, size - done);
    const std::vector<std::uint8_t> part = ReadEeprom(api, handle, select, done, piece);
    bytes.insert(bytes.end(), part.begin(), part.end());
    done += piece;
    progress.Show(std::string(doing) + ": " + std::to_string(done) + " of " + std::to_string(size) +
                  " bytes");
  }
  progress.Finish();
  return bytes;
}

// The first address at which the two differ, if any.
std::optional<std::uint32_t> FirstDifference(const std::vector<std::uint8_t>& a,
                                             const std::vector<std::uint8_t>& b) {
  const auto differ = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (differ.first == a.end() && differ.second == b.end()) return std::nullopt;
  return static_cast<std::uint32_t>(differ.first - a.begin());
}

void RefuseOtherSelects(std::uint8_t select, const char* command) {
  if (select != kEepromSelect)
    throw BadArguments(std::string(command) + ": the tool knows the size of the EEPROM at select " +
                       std::to_string(kEepromSelect) + " only (" + std::to_string(kEepromSize) +
                       " bytes); --select " + std::to_string(select) + " is not offered here");
}

// What the startup area holds, in a sentence.
std::string StartupState(const Api& api, QuorixHandle handle) {
  const StartupArea area = ReadStartupArea(api, handle);
  if (!area.present) return "the EEPROM holds no startup-command area";
  if (area.length == 0) return "the EEPROM holds no startup command";
  if (!area.length_fits)
    return "the stored length " + std::to_string(area.length) + " runs past the area: corrupt";
  return "the EEPROM holds a startup command of " + std::to_string(area.length) + " bytes";
}

}  // namespace

void CheckEepromRange(std::uint8_t select, std::uint64_t address, std::uint64_t length, bool force,
                      const std::string& what) {
  const std::uint32_t size = EepromSize(select);
  if (address >= size || length > size - address)
    throw BadArguments(what + ": " + std::to_string(length) + " bytes at " +
                       Address(static_cast<std::uint32_t>(address)) + " run past the end of the " +
                       std::to_string(size) + "-byte EEPROM, where addresses wrap to 0");
  if (select == kEepromSelect && !force && length != 0 && address + length > kChainStart)
    throw BadArguments(
        what + ": the bytes reach " + Range(kChainStart, kEepromSize) +
        ", the chain of addresses that leads to the startup command (base address at 0x1ff8, "
        "command address at base + 7, the area's flag at 0x1ffd); add --force to write there");
}

int ReadEepromCommand(const Library& library, const Options& options, const EepromRead& request) {
  if (options.json && request.output == kStandardStream)
    throw BadArguments("eeprom read: with --json, stdout holds the document; give -o FILE");
  // Opened first, so that a path that cannot be written fails before the board is asked.
  std::optional<OutputFile> output;
  if (!request.output.empty()) output.emplace(request.output);
  Session session(library, options);
  const std::vector<std::uint8_t> bytes =
      ReadEeprom(library.api(), session.handle(), request.select, request.address, request.length);
  if (output) {
    output->Write(bytes.data(), bytes.size());
    output->Commit();
  }
  if (options.json) {
    Json json;
    json.Object()
        .Number("select", request.select)
        .Number("address", request.address)
        .Number("length", request.length)
        .Hex("hex", bytes);
    if (output) json.String("output", request.output);
    json.Close().Print();
  } else if (output) {
    // On stdout the bytes speak for themselves.
    if (!output->standard())
      std::printf("wrote %zu bytes from %s to %s\n", bytes.size(),
                  Address(request.address).c_str(), request.output.c_str());
  } else if (request.hex || platform::IsTerminal(platform::Stream::kOut)) {
    HexDump(request.address, bytes);
  } else {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
  return 0;
}

int WriteEepromCommand(const Library& library, const Options& options, const EepromWrite& request) {
  const std::uint32_t size = EepromSize(request.select);
  const std::vector<std::uint8_t> bytes =
      request.file.empty() ? ParseHexBytes(request.words)
                           : ReadInputFile(request.file, size, "the EEPROM data file");
  CheckEepromRange(request.select, request.address, bytes.size(), request.force, "eeprom write");
  const Api& api = library.api();
  Session session(library, options);
  platform::InterruptScope interrupt;
  ProgressLine progress;
  for (std::size_t done = 0; done < bytes.size();) {
    const std::uint32_t at = request.address + static_cast<std::uint32_t>(done);
    if (platform::Interrupted()) {
      progress.Finish();
      const std::uint32_t end = request.address + static_cast<std::uint32_t>(bytes.size());
      throw Failure("interrupted: " + std::to_string(done) + " of " + std::to_string(bytes.size()) +
                    " bytes written" + (done != 0 ? " (" + Range(request.address, at) + ")" : "") +
                    "; " + Range(at, end) + " keep their old bytes");
    }
    const std::uint32_t room = kEepromPage - at % kEepromPage;
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(room, bytes.size() - done));
    Check(api.QuorixWriteEprom(session.handle(), request.select, static_cast<std::uint16_t>(at),
                               static_cast<std::uint8_t>(piece), bytes.data() + done),
          "writing the EEPROM at " + Address(at) + " (" + std::to_string(done) +
              " bytes before it were written)");
    done += piece;
    progress.Show("writing the EEPROM: " + std::to_string(done) + " of " +
                  std::to_string(bytes.size()) + " bytes");
  }
  progress.Finish();
  std::printf("wrote %zu bytes at %s\n", bytes.size(), Address(request.address).c_str());
  if (!request.verify) return 0;
  const auto back = ReadEeprom(api, session.handle(), request.select, request.address,
                               static_cast<std::uint32_t>(bytes.size()));
  if (const auto differ = FirstDifference(bytes, back)) {
    char text[96];
    std::snprintf(text, sizeof text, "verify failed: 0x%04x reads 0x%02x, not 0x%02x",
                  request.address + *differ, back[*differ], bytes[*differ]);
    throw Failure(text);
  }
  std::printf("verified\n");
  return 0;
}

int DumpEeprom(const Library& library, const Options& options, std::uint8_t select,
               const std::string& path) {
  RefuseOtherSelects(select, "eeprom dump");
  OutputFile output(path);
  Session session(library, options);
  platform::InterruptScope interrupt;
  const auto first = ReadWhole(library.api(), session.handle(), select, "reading the EEPROM");
  const auto second =
      ReadWhole(library.api(), session.handle(), select, "reading the EEPROM again to compare");
  if (const auto differ = FirstDifference(first, second))
    throw Failure("the EEPROM read differently twice, first at " + Address(*differ) +
                  "; nothing was written");
  output.Write(first.data(), first.size());
  output.Commit();
  // Beside the bytes, not among them, when they go to stdout.
  std::fprintf(output.standard() ? stderr : stdout,
               "dumped the %zu-byte EEPROM to %s (read twice, the same both times)\n",
               first.size(), output.standard() ? "stdout" : path.c_str());
  return 0;
}

int RestoreEeprom(const Library& library, const Options& options, std::uint8_t select,
                  const std::string& path, bool force) {
  RefuseOtherSelects(select, "eeprom restore");
  const std::vector<std::uint8_t> image = ReadInputFile(path, kEepromSize, "the EEPROM image");
  if (image.size() != kEepromSize)
    throw Failure("'" + path + "' holds " + std::to_string(image.size()) +
                  " bytes; a whole EEPROM image has " + std::to_string(kEepromSize));
  const Api& api = library.api();
  Session session(library, options);
  platform::InterruptScope interrupt;
  const auto now = ReadWhole(api, session.handle(), select, "reading the EEPROM");
  std::vector<std::uint32_t> pages;
  for (std::uint32_t page = 0; page < kEepromSize; page += kEepromPage)
    if (!std::equal(image.begin() + page, image.begin() + page + kEepromPage, now.begin() + page))
      pages.push_back(page);
  if (!force && !std::equal(image.begin() + kChainStart, image.end(), now.begin() + kChainStart))
    throw Failure("'" + path + "' differs from the board in " + Range(kChainStart, kEepromSize) +
                  ", the chain of addresses that leads to the startup command; nothing was "
                  "written. Add --force to restore it too");

  ProgressLine progress;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (platform::Interrupted()) {
      progress.Finish();
      throw Failure("interrupted: " + std::to_string(i) + " of the " +
                    std::to_string(pages.size()) +
                    " pages that differ were written; the EEPROM is now partly the image's "
                    "and partly what it held (restore again to finish)");
    }
    const std::uint32_t page = pages[i];
    Check(api.QuorixWriteEprom(session.handle(), select, static_cast<std::uint16_t>(page),
                               static_cast<std::uint8_t>(kEepromPage), image.data() + page),
          "writing the EEPROM at " + Address(page) + " (" + std::to_string(i) + " of " +
              std::to_string(pages.size()) + " pages written)");
    progress.Show("restoring the EEPROM: " + std::to_string(i + 1) + " of " +
                  std::to_string(pages.size()) + " pages");
  }
  progress.Finish();
  const auto back = ReadWhole(api, session.handle(), select, "reading the EEPROM back");
  if (const auto differ = FirstDifference(image, back))
    throw Failure("verify failed: " + Address(*differ) + " reads " + std::to_string(back[*differ]) +
                  ", not " + std::to_string(image[*differ]));
  std::printf("restored %s: %zu of %u pages differed and were written; read back, verified\n",
              path == kStandardStream ? "stdin" : path.c_str(), pages.size(), kEepromSize / kEepromPage);
  return 0;
}

int StartupGet(const Library& library, const Options& options) {
  const Api& api = library.api();
  Session session(library, options);
  const StartupArea area = ReadStartupArea(api, session.handle());
  std::vector<std::uint8_t> command;
  if (area.present && area.length_fits)
    command = ReadEeprom(api, session.handle(), kEepromSelect, area.command + 2u, area.length);
  if (options.json) {
    Json json;
    json.Object();
    StartupAreaJson(json, area);
    if (area.present && area.length_fits) {
      json.Object("command").Hex("hex", command);
      if (Printable(command))
        json.String("text", std::string(command.begin(), command.end()));
      else
        json.Null("text");
      json.Close();
    } else {
      json.Null("command");
    }
    if (area.present && !area.length_fits)
      json.Object("error")
          .Null("status")
          .String("name", "failure")
          .String("message", "the stored length " + std::to_string(area.length) +
                                 " runs past the startup area: corrupt")
          .Close();
    json.Close().Print();
  } else if (!area.present) {
    std::printf("no startup-command area: the byte at 0x1ffd is 0\n");
  } else if (!area.length_fits) {
    std::printf("the length stored at %s, %u, runs past the startup area (room for %u): corrupt\n",
                Address(area.command).c_str(), area.length, area.room);
  } else if (area.length == 0) {
    std::printf("no startup command stored (length 0 at %s)\n", Address(area.command).c_str());
  } else if (Printable(command)) {
    std::printf("%u bytes at %s: \"%s\"\n", area.length, Address(area.command + 2u).c_str(),
                std::string(command.begin(), command.end()).c_str());
  } else {
    std::printf("%u bytes at %s:\n", area.length, Address(area.command + 2u).c_str());
    HexDump(area.command + 2u, command);
  }
  return area.present && !area.length_fits ? 1 : 0;
}

int StartupSet(const Library& library, const Options& options, const std::string& text,
               const std::string& file) {
  const std::vector<std::uint8_t> command =
      file.empty() ? std::vector<std::uint8_t>(text.begin(), text.end())
                   : ReadInputFile(file, kEepromSize, "the startup command file");
  const Api& api = library.api();
  Session session(library, options);
  const StartupArea area = ReadStartupArea(api, session.handle());
  if (!area.present)
    throw Failure("the board's EEPROM holds no startup-command area (the byte at 0x1ffd is 0)");
  if (command.size() > area.room)
    throw Failure("the command has " + std::to_string(command.size()) + " bytes; at " +
                  Address(area.command) + " the startup area holds at most " +
                  std::to_string(area.room) + " (the image must end below 0x1fef)");

  // Three reads, then one write for an image of one piece, or one per piece and the first
  // again; 200 ms after each.
  const std::size_t pieces = (command.size() + 2 + kStartupPiece - 1) / kStartupPiece;
  const double expected = kStartupPause * static_cast<double>(3 + (pieces == 1 ? 1 : pieces + 1));
  platform::InterruptScope interrupt;
  if (platform::Interrupted()) throw Failure("interrupted; nothing was stored");
  const double start = Seconds();
  // One library call that cannot be cut short; it runs on a thread of its own so that this
  // one can show how far it may have got and answer Ctrl-C. Nothing else calls the library
  // meanwhile.
  auto call = std::async(std::launch::async, [&] {
    return api.QuorixSetStartupCommand(session.handle(), static_cast<std::uint16_t>(command.size()),
                                       command.data());
  });
  ProgressLine progress;
  bool told = false;
  while (call.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    const double elapsed = Seconds() - start;
    if (platform::Interrupted() && !told) {
      progress.Finish();
      std::fprintf(stderr,
                   "interrupted: the command is being stored by one library call, which cannot "
                   "be cut short; waiting for it to end (about %.0f s more). Ctrl-C again quits "
                   "at once: the EEPROM then holds the command it held before, no command, or "
                   "the whole new one, never a part of one.\n",
                   std::max(0.0, expected - elapsed));
      told = true;
    }
    progress.Show("storing the startup command: " + std::to_string(static_cast<int>(elapsed)) +
                  " s of about " + std::to_string(static_cast<int>(expected + 0.5)) + " s");
  }
  progress.Finish();
  const int status = call.get();
  if (status != QUORIX_OK) {
    std::fprintf(stderr, "quorix: %s\n", StartupState(api, session.handle()).c_str());
    Check(status, "storing the startup command");
  }
  if (platform::Interrupted())
    throw Failure("interrupted; the call ran to its end and " +
                  StartupState(api, session.handle()));
  std::printf("stored a %zu-byte startup command in %.1f s\n", command.size(), Seconds() - start);
  return 0;
}

int StartupClear(const Library& library, const Options& options) {
  const Api& api = library.api();
  Session session(library, options);
  const double start = Seconds();
  Check(api.QuorixSetStartupCommand(session.handle(), 0, nullptr), "clearing the startup command");
  std::printf("cleared the startup command in %.1f s: %s\n", Seconds() - start,
              StartupState(api, session.handle()).c_str());
  return 0;
}

}  // namespace quorix::tool
