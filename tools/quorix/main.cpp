// quorix: what a person at a bench does with a board, from the command line.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "library.h"
#include "status.h"

namespace quorix::tool {

namespace {

// A library call that failed, with what the tool was doing.
struct CallFailed : std::runtime_error {
  CallFailed(const std::string& what, int s) : std::runtime_error(what), status(s) {}
  int status;
};

void Check(int status, const std::string& what) {
  if (status != QUORIX_OK) throw CallFailed(what, status);
}

struct Options {
  bool simulated = false;
  std::optional<int> index;
  std::optional<std::string> serial;
  std::optional<std::uint32_t> timeout_ms;
};

// One open board for the length of a command.
class Session {
 public:
  Session(const Api& api, const Options& options) : api_(api) {
    if (options.serial) {
      Check(api.QuorixOpenDeviceWithSerial(options.serial->c_str(), &handle_),
            "opening the board with serial " + *options.serial);
    } else {
      const int index = options.index.value_or(0);
      Check(api.QuorixOpenDevice(index, &handle_), "opening board " + std::to_string(index));
    }
    if (options.timeout_ms)
      Check(api.QuorixSetTimeOut(handle_, *options.timeout_ms), "setting the timeout");
  }
  ~Session() { (void)api_.QuorixCloseDevice(handle_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  QuorixHandle handle() const { return handle_; }

 private:
  const Api& api_;
  QuorixHandle handle_ = nullptr;
};

bool HasHexPrefix(const std::string& text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Numbers as people type them: decimal, 0x hexadecimal, 0 octal is not guessed.
std::uint32_t ParseNumber(const std::string& text, std::uint32_t limit, const char* what) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    const bool hex = HasHexPrefix(text);
    value = std::stoul(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    if (hex) used += 2;
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value > limit)
    throw CLI::ValidationError(std::string(what) + ": '" + text + "' is not a number from 0 to " +
                               std::to_string(limit));
  return static_cast<std::uint32_t>(value);
}

// Hex bytes as one string (01020304) or as separate words (01 02 0x03).
std::vector<std::uint8_t> ParseBytes(const std::vector<std::string>& words) {
  std::vector<std::uint8_t> bytes;
  if (words.size() == 1 && words[0].size() > 2 &&
      words[0].find_first_of("xX") == std::string::npos) {
    const std::string& text = words[0];
    if (text.size() % 2 != 0) throw CLI::ValidationError("HEXBYTES: an odd number of digits");
    for (std::size_t i = 0; i < text.size(); i += 2)
      bytes.push_back(
          static_cast<std::uint8_t>(ParseNumber("0x" + text.substr(i, 2), 0xFF, "HEXBYTES")));
    return bytes;
  }
  for (const std::string& word : words) {
    const bool prefixed = HasHexPrefix(word);
    bytes.push_back(
        static_cast<std::uint8_t>(ParseNumber(prefixed ? word : "0x" + word, 0xFF, "byte")));
  }
  return bytes;
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

// EEPROM pieces: one request carries at most 255 bytes, and a write must not cross a page.
constexpr std::uint32_t kEepromPage = 32;
constexpr std::uint32_t kEepromSize = 0x10000;

int List(const Api& api) {
  int32_t count = 0;
  Check(api.QuorixCountDevices(&count), "listing the boards");
  std::printf("%d board%s\n", count, count == 1 ? "" : "s");
  for (int32_t i = 0; i < count; ++i) {
    const char* serial = api.QuorixGetDeviceSerialNumber(i);
    std::printf("  %d  %s\n", i, serial != nullptr ? serial : "(no serial number)");
  }
  return 0;
}

int Info(const Api& api, const Options& options) {
  Session session(api, options);
  const char* serial = options.serial ? options.serial->c_str()
                                      : api.QuorixGetDeviceSerialNumber(options.index.value_or(0));
  std::printf("serial number   %s\n", serial != nullptr ? serial : "(none)");
  std::uint8_t latch = 0;
  Check(api.QuorixGetPortDOutputs(session.handle(), &latch), "reading port D");
  std::printf("port D outputs  0x%02x\n", latch);
  // The startup-command area: a flag at 0x1FFD, the base B at 0x1FF8, the command's address at
  // B + 7, all low byte first.
  std::uint8_t flag = 0, base[2] = {}, at[2] = {};
  Check(api.QuorixReadEprom(session.handle(), 1, 0x1FFD, 1, &flag), "reading the EEPROM");
  if (flag == 0) {
    std::printf("startup area    none\n");
    return 0;
  }
  Check(api.QuorixReadEprom(session.handle(), 1, 0x1FF8, 2, base), "reading the EEPROM");
  const auto b = static_cast<std::uint16_t>(base[0] | base[1] << 8);
  Check(api.QuorixReadEprom(session.handle(), 1, static_cast<std::uint16_t>(b + 7), 2, at),
        "reading the EEPROM");
  const auto s = static_cast<std::uint16_t>(at[0] | at[1] << 8);
  std::uint8_t length[2] = {};
  Check(api.QuorixReadEprom(session.handle(), 1, s, 2, length), "reading the EEPROM");
  std::printf("startup area    base 0x%04x, command at 0x%04x, %u bytes stored\n", b, s,
              length[0] | length[1] << 8);
  return 0;
}

std::vector<std::uint8_t> ReadEeprom(const Api& api, QuorixHandle handle, std::uint8_t select,
                                     std::uint32_t address, std::uint32_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t piece = std::min<std::uint32_t>(255, length - done);
    Check(api.QuorixReadEprom(handle, select, static_cast<std::uint16_t>(address + done),
                              static_cast<std::uint8_t>(piece), bytes.data() + done),
          "reading the EEPROM at " + std::to_string(address + done));
    done += piece;
  }
  return bytes;
}

void WriteEeprom(const Api& api, QuorixHandle handle, std::uint8_t select, std::uint32_t address,
                 const std::vector<std::uint8_t>& bytes) {
  const bool progress = bytes.size() > 1024 && isatty(STDERR_FILENO);
  for (std::size_t done = 0; done < bytes.size();) {
    const std::uint32_t at = address + static_cast<std::uint32_t>(done);
    const std::uint32_t room = kEepromPage - at % kEepromPage;
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(room, bytes.size() - done));
    Check(api.QuorixWriteEprom(handle, select, static_cast<std::uint16_t>(at),
                               static_cast<std::uint8_t>(piece), bytes.data() + done),
          "writing the EEPROM at " + std::to_string(at));
    done += piece;
    if (progress) std::fprintf(stderr, "\rwritten %zu of %zu bytes", done, bytes.size());
  }
  if (progress) std::fprintf(stderr, "\n");
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{"quorix: list, inspect and drive Quorix FX2 boards"};
  app.require_subcommand(1);
  Options options;
  app.add_flag("--sim", options.simulated, "Use the simulated library and its board");
  auto* index = app.add_option("-d,--device", options.index, "Board index (default: the first)");
  app.add_option("-s,--serial", options.serial, "Board serial number")->excludes(index);
  app.add_option("--timeout", options.timeout_ms, "Transfer timeout in milliseconds (0: none)");

  auto* list = app.add_subcommand("list", "List the boards with index and serial number");
  auto* info = app.add_subcommand("info", "Show the serial, port D and the startup-command area");

  auto* portd = app.add_subcommand("portd", "Port D outputs and output enables");
  portd->require_subcommand(1);
  std::string value_text, mask_text;
  std::vector<std::string> sequence;
  auto* portd_set = portd->add_subcommand("set", "Set the output latch");
  portd_set->add_option("VALUE", value_text, "Byte, e.g. 0xA5")->required();
  auto* portd_get = portd->add_subcommand("get", "Print the output latch");
  auto* portd_enable = portd->add_subcommand("enable", "Set the output enables");
  portd_enable->add_option("MASK", mask_text, "One bit per line: 1 drives it")->required();
  auto* portd_seq = portd->add_subcommand("seq", "Write bytes to the latch in one request");
  portd_seq->add_option("BYTES", sequence, "Hex bytes, in order")->required();

  std::string mode_text;
  auto* fpga = app.add_subcommand("fpga-mode", "Set the FPGA configuration mode");
  fpga->add_option("MODE", mode_text, "Mode byte")->required();

  auto* eeprom = app.add_subcommand("eeprom", "Read or write the EEPROM");
  eeprom->require_subcommand(1);
  std::string select_text = "1", address_text, length_text, output, input;
  std::vector<std::string> data_words;
  bool hex = false;
  eeprom->add_option("--select", select_text, "EEPROM select value (default 1)");
  auto* eeprom_read = eeprom->add_subcommand("read", "Read LEN bytes from ADDR");
  eeprom_read->add_option("ADDR", address_text, "Address")->required();
  eeprom_read->add_option("LEN", length_text, "Byte count")->required();
  eeprom_read->add_option("-o,--output", output, "Write the bytes to FILE");
  eeprom_read->add_flag("--hex", hex, "Dump as hex even when the output is not a terminal");
  auto* eeprom_write = eeprom->add_subcommand("write", "Write bytes at ADDR");
  eeprom_write->add_option("ADDR", address_text, "Address")->required();
  auto* words = eeprom_write->add_option("HEXBYTES", data_words, "01020304 or 01 02 03 04");
  eeprom_write->add_option("-i,--input", input, "Write the bytes of FILE")->excludes(words);
  bool verify = false;
  eeprom_write->add_flag("--verify", verify, "Read the bytes back and compare");

  auto* firmware = app.add_subcommand("firmware", "FX2 firmware images");
  firmware->require_subcommand(1);
  std::string image;
  auto* firmware_load = firmware->add_subcommand("load", "Load FILE into the FX2 and start it");
  firmware_load->add_option("FILE", image, "Intel HEX image")->required()->check(CLI::ExistingFile);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    (void)app.exit(e);
    return 2;
  }

  try {
    Library library(options.simulated);
    const Api& api = library.api();
    if (*list) return List(api);
    if (*info) return Info(api, options);
    if (*portd) {
      Session session(api, options);
      if (*portd_set) {
        Check(api.QuorixSetPortDOutputs(session.handle(), static_cast<std::uint8_t>(ParseNumber(
                                                              value_text, 0xFF, "VALUE"))),
              "setting port D");
      } else if (*portd_get) {
        std::uint8_t latch = 0;
        Check(api.QuorixGetPortDOutputs(session.handle(), &latch), "reading port D");
        std::printf("0x%02x\n", latch);
      } else if (*portd_enable) {
        Check(
            api.QuorixSetPortDOutputEnable(
                session.handle(), static_cast<std::uint8_t>(ParseNumber(mask_text, 0xFF, "MASK"))),
            "setting the port D enables");
      } else if (*portd_seq) {
        const std::vector<std::uint8_t> bytes = ParseBytes(sequence);
        if (bytes.size() > 255) throw CLI::ValidationError("BYTES: at most 255");
        Check(api.QuorixSetPortDOutputsExt(session.handle(),
                                           static_cast<std::uint8_t>(bytes.size()), bytes.data()),
              "writing the port D sequence");
      }
      return 0;
    }
    if (*fpga) {
      Session session(api, options);
      Check(api.QuorixSetConfFpgaMode(
                session.handle(), static_cast<std::uint8_t>(ParseNumber(mode_text, 0xFF, "MODE"))),
            "setting the FPGA mode");
      return 0;
    }
    if (*eeprom) {
      const auto select = static_cast<std::uint8_t>(ParseNumber(select_text, 0xFF, "--select"));
      const std::uint32_t address = ParseNumber(address_text, kEepromSize - 1, "ADDR");
      Session session(api, options);
      if (*eeprom_read) {
        const std::uint32_t length = ParseNumber(length_text, kEepromSize - address, "LEN");
        const std::vector<std::uint8_t> bytes =
            ReadEeprom(api, session.handle(), select, address, length);
        if (!output.empty()) {
          std::ofstream file(output, std::ios::binary);
          file.write(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<std::streamsize>(bytes.size()));
          if (!file) throw std::runtime_error("cannot write " + output);
        } else if (hex || isatty(STDOUT_FILENO)) {
          HexDump(address, bytes);
        } else {
          std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        }
      } else {
        std::vector<std::uint8_t> bytes;
        if (!input.empty()) {
          std::ifstream file(input, std::ios::binary);
          if (!file) throw std::runtime_error("cannot read " + input);
          bytes.assign(std::istreambuf_iterator<char>(file), {});
        } else if (!data_words.empty()) {
          bytes = ParseBytes(data_words);
        } else {
          throw CLI::ValidationError("eeprom write: give HEXBYTES or -i FILE");
        }
        if (address + bytes.size() > kEepromSize)
          throw CLI::ValidationError("eeprom write: the bytes run past address 0xFFFF");
        WriteEeprom(api, session.handle(), select, address, bytes);
        std::printf("wrote %zu bytes at 0x%04x\n", bytes.size(), address);
        if (verify) {
          const auto back = ReadEeprom(api, session.handle(), select, address,
                                       static_cast<std::uint32_t>(bytes.size()));
          const auto differ = std::mismatch(bytes.begin(), bytes.end(), back.begin());
          if (differ.first != bytes.end()) {
            std::fprintf(stderr, "quorix: verify failed: 0x%04zx reads 0x%02x, not 0x%02x\n",
                         address + static_cast<std::size_t>(differ.first - bytes.begin()),
                         *differ.second, *differ.first);
            return 1;
          }
          std::printf("verified\n");
        }
      }
      return 0;
    }
    if (*firmware_load) {
      Session session(api, options);
      Check(api.QuorixLoadFirmware(session.handle(), image.c_str()), "loading " + image);
      std::printf("loaded %s\n", image.c_str());
      return 0;
    }
  } catch (const CLI::ValidationError& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    return 2;
  } catch (const CallFailed& e) {
    std::fprintf(stderr, "quorix: %s failed: %s. %s\n", e.what(), StatusName(e.status).c_str(),
                 StatusSentence(e.status).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace quorix::tool

int main(int argc, char** argv) { return quorix::tool::Main(argc, argv); }
