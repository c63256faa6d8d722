// Listing, identity, port D and the FPGA mode.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "in_use.h"
#include "json.h"

namespace quorix::tool {

namespace {

// One request carries at most 255 bytes.
constexpr std::uint32_t kPiece = 255;
// The startup command's image must end below this address.
constexpr std::uint32_t kImageLimit = 8175;

std::uint16_t Word(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

struct Listed {
  std::string serial;
  bool readable = false;
  std::optional<bool> in_use;  // unknown when nothing tells, or opening failed otherwise
  std::string how;             // "system", "probe", "simulation"; empty when unknown
  std::string holder;          // the driver that holds the interface, when the system tells
  std::optional<int> status;   // --probe: why opening failed, when not because it is in use
};

}  // namespace

std::vector<std::uint8_t> ReadEeprom(const Api& api, QuorixHandle handle, std::uint8_t select,
                                     std::uint32_t address, std::uint32_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t piece = std::min(kPiece, length - done);
    char what[64];
    std::snprintf(what, sizeof what, "reading the EEPROM at 0x%04x", address + done);
    Check(api.QuorixReadEprom(handle, select, static_cast<std::uint16_t>(address + done),
                              static_cast<std::uint8_t>(piece), bytes.data() + done),
          what);
    done += piece;
  }
  return bytes;
}

StartupArea ReadStartupArea(const Api& api, QuorixHandle handle) {
  // A non-zero byte at 0x1FFD marks the area; its base B is at 0x1FF8 and the command's
  // address at B + 7, where the command's length comes first; all low byte first.
  StartupArea area;
  std::uint8_t flag = 0, word[2] = {};
  Check(api.QuorixReadEprom(handle, 1, 0x1FFD, 1, &flag), "reading the EEPROM");
  if (flag == 0) return area;
  area.present = true;
  Check(api.QuorixReadEprom(handle, 1, 0x1FF8, 2, word), "reading the EEPROM");
  area.base = Word(word);
  Check(api.QuorixReadEprom(handle, 1, static_cast<std::uint16_t>(area.base + 7), 2, word),
        "reading the EEPROM");
  area.command = Word(word);
  Check(api.QuorixReadEprom(handle, 1, area.command, 2, word), "reading the EEPROM");
  area.length = Word(word);
  area.room = area.command + 2u < kImageLimit ? kImageLimit - 1 - 2 - area.command : 0;
  area.length_fits = area.command + 2u + area.length < kImageLimit;
  return area;
}

void StartupAreaJson(Json& json, const StartupArea& area) {
  if (!area.present) {
    json.Null("startup_area");
    return;
  }
  json.Object("startup_area")
      .Number("base", area.base)
      .Number("command_address", area.command)
      .Number("length", area.length)
      .Bool("length_fits", area.length_fits)
      .Number("room", area.room)
      .Close();
}

int List(const Library& library, const Options& options) {
  const Api& api = library.api();
  std::int32_t count = 0;
  Check(api.QuorixCountDevices(&count), "listing the boards");
  std::vector<Listed> boards(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    Listed& board = boards[static_cast<std::size_t>(i)];
    if (const char* serial = api.QuorixGetDeviceSerialNumber(i)) {
      board.serial = serial;
      board.readable = true;
    }
  }
  // Who holds a board, as the system tells without opening it. Simulated boards belong to
  // this process alone, so no other has them.
  std::optional<std::vector<BoardUse>> told;
  if (library.sim() != nullptr)
    told.emplace(boards.size());
  else if (!options.probe)
    told = BoardsInUse();
  // The system's list must be the library's, board for board.
  if (told && told->size() != boards.size()) told.reset();
  for (std::size_t i = 0; told && i < boards.size(); ++i)
    if (!(*told)[i].serial.empty() && boards[i].readable && (*told)[i].serial != boards[i].serial)
      told.reset();
  for (std::size_t i = 0; i < boards.size(); ++i) {
    Listed& board = boards[i];
    if (told) {
      board.in_use = (*told)[i].in_use;
      board.holder = (*told)[i].driver;
      board.how = library.sim() != nullptr ? "simulation" : "system";
      continue;
    }
    if (!options.probe) continue;
    // Opening is the other way to learn whether another process has the board.
    QuorixHandle handle = nullptr;
    board.how = "probe";
    const int status = api.QuorixOpenDevice(static_cast<std::int32_t>(i), &handle);
    if (status == QUORIX_OK) {
      board.in_use = false;
      (void)api.QuorixCloseDevice(handle);
    } else if (status == 170) {
      board.in_use = true;
    } else {
      board.status = status;
    }
  }
  if (options.verbose)
    std::fprintf(stderr, "quorix: %s\n",
                 library.sim() != nullptr ? "simulated boards are never in use by another process"
                 : told ? "whether a board is in use comes from /sys/bus/usb (nothing was opened)"
                 : options.probe ? "each board was opened for a moment to learn whether it is in use"
                                 : "this system does not tell whether a board is in use");

  if (options.json) {
    Json json;
    json.Object().Number("count", static_cast<std::uint64_t>(count)).Array("boards");
    for (std::size_t i = 0; i < boards.size(); ++i) {
      const Listed& board = boards[i];
      json.Object().Number("index", i);
      if (board.readable)
        json.String("serial", board.serial);
      else
        json.Null("serial");
      if (board.in_use)
        json.Bool("in_use", *board.in_use);
      else
        json.Null("in_use");
      if (board.how.empty())
        json.Null("in_use_from");
      else
        json.String("in_use_from", board.how);
      if (board.holder.empty())
        json.Null("held_by");
      else
        json.String("held_by", board.holder);
      if (board.status) {
        json.Object("probe_error")
            .Signed("status", *board.status)
            .String("name", StatusCode(*board.status))
            .String("message", "opening board " + std::to_string(i) +
                                   " failed: " + Explain(*board.status))
            .Close();
      }
      json.Close();
    }
    json.Close().Close().Print();
  } else {
    std::printf("%d board%s\n", count, count == 1 ? "" : "s");
    for (std::size_t i = 0; i < boards.size(); ++i) {
      const Listed& board = boards[i];
      std::string state;
      if (board.status)
        state = "cannot be opened: " + Explain(*board.status);
      else if (!board.in_use)
        state = "in use: unknown here (list --probe opens it to find out)";
      else if (!*board.in_use)
        state = "free";
      else if (board.holder.empty() || board.holder == "usbfs")
        state = "in use: another process has it open";
      else
        state = "in use: the kernel driver " + board.holder + " has it";
      std::printf("  %zu  %s  %s\n", i,
                  board.readable ? board.serial.c_str() : "(no serial number)", state.c_str());
    }
  }
  if (count == 0) {
    const std::string hint = NoBoardHint(library);
    if (!hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str() + 1);
  }
  return 0;
}

int Info(const Library& library, const Options& options) {
  const Api& api = library.api();
  Session session(library, options);
  const char* serial = options.serial ? options.serial->c_str()
                                      : api.QuorixGetDeviceSerialNumber(options.index.value_or(0));
  std::uint8_t latch = 0;
  Check(api.QuorixGetPortDOutputs(session.handle(), &latch), "reading port D");
  const StartupArea area = ReadStartupArea(api, session.handle());
  if (options.json) {
    Json json;
    json.Object();
    if (serial != nullptr)
      json.String("serial", serial);
    else
      json.Null("serial");
    json.Number("port_d", latch).Number("eeprom_size", kEepromSize);
    StartupAreaJson(json, area);
    json.Close().Print();
    return 0;
  }
  std::printf("serial number   %s\n", serial != nullptr ? serial : "(none)");
  std::printf("port D outputs  0x%02x\n", latch);
  if (!area.present)
    std::printf("startup area    none\n");
  else
    std::printf("startup area    base 0x%04x, command at 0x%04x, %u bytes stored%s (room for %u)\n",
                area.base, area.command, area.length,
                area.length_fits ? "" : " (more than the area holds: corrupt)", area.room);
  std::printf("EEPROM          %u bytes\n", kEepromSize);
  return 0;
}

int PortDSet(const Library& library, const Options& options, std::uint8_t value) {
  Session session(library, options);
  Check(library.api().QuorixSetPortDOutputs(session.handle(), value), "setting port D");
  return 0;
}

int PortDGet(const Library& library, const Options& options) {
  Session session(library, options);
  std::uint8_t latch = 0;
  Check(library.api().QuorixGetPortDOutputs(session.handle(), &latch), "reading port D");
  std::printf("0x%02x\n", latch);
  return 0;
}

int PortDEnable(const Library& library, const Options& options, std::uint8_t mask) {
  Session session(library, options);
  Check(library.api().QuorixSetPortDOutputEnable(session.handle(), mask),
        "setting the port D enables");
  return 0;
}

int PortDSequence(const Library& library, const Options& options,
                  const std::vector<std::uint8_t>& bytes) {
  Session session(library, options);
  Check(library.api().QuorixSetPortDOutputsExt(
            session.handle(), static_cast<std::uint8_t>(bytes.size()), bytes.data()),
        "writing the port D sequence");
  return 0;
}

int FpgaMode(const Library& library, const Options& options, std::uint8_t mode) {
  Session session(library, options);
  Check(library.api().QuorixSetConfFpgaMode(session.handle(), mode), "setting the FPGA mode");
  return 0;
}

}  // namespace quorix::tool
