// quorix: what a person at a bench does with a board, from the command line.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"
#include "quorix/quorix.hpp"

namespace quorix::tool {

namespace {

constexpr std::uint32_t kEepromSpace = 0x10000;  // what a 16-bit address reaches

// The demo's firmware: installed beside the tool, or in the source tree.
std::string DemoFirmware() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto installed = exe.parent_path() / ".." / "share" / "quorix" / "blink.hex";
    if (std::filesystem::exists(installed, error)) return installed.lexically_normal().string();
  }
  return QUORIX_TOOL_DEMO_FIRMWARE;
}

std::vector<std::uint8_t> BytesOrFile(const std::vector<std::string>& words,
                                      const std::string& file, const char* command) {
  if (!file.empty()) return ReadWholeFile(file);
  if (words.empty()) throw BadArguments(std::string(command) + ": give HEXBYTES or -i FILE");
  return ParseBytes(words);
}

std::uint8_t Byte(const std::string& text, const char* what) {
  return static_cast<std::uint8_t>(ParseNumber(text, 0xFF, what));
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{"quorix: list, inspect and drive Quorix FX2 boards (USB 0xDEAD:0xBEEF)"};
  app.require_subcommand(1);
  app.footer("Exit status: 0 success, 1 a failed call or check, 2 bad arguments.");
  Options options;
  app.add_flag("--sim", options.simulated, "Use the simulated library and its board");
  auto* index = app.add_option("-d,--device", options.index, "Board index (default: the first)");
  app.add_option("-s,--serial", options.serial, "Board serial number")->excludes(index);
  app.add_option("--timeout", options.timeout_ms, "Transfer timeout in milliseconds (0: none)");
  app.add_option("--sim-boards", options.sim_boards, "With --sim: how many boards (default 1)")
      ->check(CLI::Range(0, 64));
  app.add_option("--sim-rate", options.sim_rate,
                 "With --sim: the boards' IN rate in bytes per second (0 stops it)");

  // Each command sets what it runs once the library is loaded.
  std::function<int(const Library&)> run;

  auto* list = app.add_subcommand("list", "List the boards with index and serial number");
  list->callback([&] { run = [](const Library& l) { return List(l); }; });

  app.add_subcommand("info", "Show the serial number, port D and the startup-command area")
      ->callback([&] { run = [&](const Library& l) { return Info(l.api(), options); }; });

  auto* firmware = app.add_subcommand("firmware", "FX2 firmware images (Intel HEX)");
  firmware->require_subcommand(1);
  std::string image, repacked;
  firmware->add_subcommand("load", "Load FILE into the FX2 and start it")
      ->callback(
          [&] { run = [&](const Library& l) { return FirmwareLoad(l.api(), options, image); }; })
      ->add_option("FILE", image, "Intel HEX image")
      ->required();
  firmware
      ->add_subcommand("check",
                       "Read FILE as the library will: say which line it refuses and why, and "
                       "where the download stops")
      ->callback([&] { run = [&](const Library&) { return FirmwareCheck(image); }; })
      ->add_option("FILE", image, "Intel HEX image")
      ->required();
  auto* repack = firmware->add_subcommand(
      "repack", "Rewrite any Intel HEX below 64 KiB into records of at most 16 data bytes");
  repack->add_option("IN", image, "Intel HEX image")->required();
  repack->add_option("OUT", repacked, "The image the library accepts")->required();
  repack->callback([&] { run = [&](const Library&) { return FirmwareRepack(image, repacked); }; });

  auto* eeprom = app.add_subcommand("eeprom", "Read or write the EEPROM");
  eeprom->require_subcommand(1);
  std::string select_text = "1", address_text, length_text, data_file;
  std::vector<std::string> words;
  EepromRead reading;
  EepromWrite writing;
  eeprom->add_option("--select", select_text, "EEPROM select value (default 1)");
  auto* eeprom_read = eeprom->add_subcommand("read", "Read LEN bytes from ADDR");
  eeprom_read->add_option("ADDR", address_text, "Address")->required();
  eeprom_read->add_option("LEN", length_text, "Byte count")->required();
  eeprom_read->add_option("-o,--output", reading.output, "Write the bytes to FILE");
  eeprom_read->add_flag("--hex", reading.hex, "Dump as hex even when stdout is not a terminal");
  eeprom_read->callback([&] {
    reading.select = Byte(select_text, "--select");
    reading.address = ParseNumber(address_text, kEepromSpace - 1, "ADDR");
    reading.length = ParseNumber(length_text, kEepromSpace - reading.address, "LEN");
    run = [&](const Library& l) { return ReadEepromCommand(l.api(), options, reading); };
  });
  auto* eeprom_write = eeprom->add_subcommand("write", "Write bytes at ADDR, page by page");
  eeprom_write->add_option("ADDR", address_text, "Address")->required();
  auto* eeprom_words = eeprom_write->add_option("HEXBYTES", words, "01020304, or 01 02 03 04");
  eeprom_write->add_option("-i,--input", data_file, "Write the bytes of FILE")
      ->excludes(eeprom_words);
  eeprom_write->add_flag("--verify", writing.verify, "Read the bytes back and compare");
  eeprom_write->callback([&] {
    writing.select = Byte(select_text, "--select");
    writing.address = ParseNumber(address_text, kEepromSpace - 1, "ADDR");
    writing.bytes = BytesOrFile(words, data_file, "eeprom write");
    if (writing.address + writing.bytes.size() > kEepromSpace)
      throw BadArguments("eeprom write: the bytes run past address 0xFFFF");
    run = [&](const Library& l) { return WriteEepromCommand(l.api(), options, writing); };
  });

  auto* startup = app.add_subcommand("startup", "The startup command stored in the EEPROM");
  startup->require_subcommand(1);
  std::string command_text;
  auto* startup_set = startup->add_subcommand(
      "set", "Store TEXT (or the bytes of FILE); slow: 200 ms per EEPROM request");
  auto* text_option = startup_set->add_option("TEXT", command_text, "The command");
  startup_set->add_option("-i,--input", data_file, "Store the bytes of FILE")
      ->excludes(text_option);
  startup_set->callback([&] {
    if (data_file.empty() && text_option->count() == 0)
      throw BadArguments("startup set: give TEXT or -i FILE");
    run = [&](const Library& l) {
      const std::vector<std::uint8_t> bytes =
          data_file.empty() ? std::vector<std::uint8_t>(command_text.begin(), command_text.end())
                            : ReadWholeFile(data_file);
      return SetStartup(l.api(), options, bytes);
    };
  });

  auto* portd = app.add_subcommand("portd", "Port D outputs and output enables");
  portd->require_subcommand(1);
  std::string value_text;
  std::vector<std::string> sequence;
  auto* portd_set = portd->add_subcommand("set", "Set the output latch to VALUE");
  portd_set->add_option("VALUE", value_text, "A byte, e.g. 0xA5")->required();
  portd_set->callback([&] {
    const std::uint8_t value = Byte(value_text, "VALUE");
    run = [&, value](const Library& l) { return PortDSet(l.api(), options, value); };
  });
  portd->add_subcommand("get", "Print the output latch")->callback([&] {
    run = [&](const Library& l) { return PortDGet(l.api(), options); };
  });
  auto* portd_enable = portd->add_subcommand("enable", "Set the output enables to MASK");
  portd_enable->add_option("MASK", value_text, "One bit per line; 1 drives it")->required();
  portd_enable->callback([&] {
    const std::uint8_t mask = Byte(value_text, "MASK");
    run = [&, mask](const Library& l) { return PortDEnable(l.api(), options, mask); };
  });
  auto* portd_seq =
      portd->add_subcommand("seq", "Write BYTES to the latch in one request, in order");
  portd_seq->add_option("BYTES", sequence, "Hex bytes")->required();
  portd_seq->callback([&] {
    run = [&, bytes = ParseBytes(sequence)](const Library& l) {
      return PortDSequence(l.api(), options, bytes);
    };
  });

  std::string mode_text;
  auto* fpga = app.add_subcommand("fpga-mode", "Set the FPGA configuration mode");
  fpga->add_option("MODE", mode_text, "A byte")->required();
  fpga->callback([&] {
    const std::uint8_t mode = Byte(mode_text, "MODE");
    run = [&, mode](const Library& l) { return FpgaMode(l.api(), options, mode); };
  });

  StreamRequest stream_request;
  std::uint64_t count_option = 0;
  auto* stream = app.add_subcommand(
      "stream", "Capture bulk IN, with a live progress line on a terminal; Ctrl-C ends it");
  auto* bytes_option = stream->add_option("-n,--bytes", count_option, "Stop after BYTES bytes");
  stream->add_option("--seconds", stream_request.seconds, "Stop after S seconds")
      ->excludes(bytes_option)
      ->check(CLI::PositiveNumber);
  stream->add_option("-o,--output", stream_request.output,
                     "Write to FILE (- for stdout; by default stdout unless it is a terminal)");
  stream->add_flag("--check-counter", stream_request.check_counter,
                   "Check the simulated board's counter pattern");
  stream->callback([&] {
    if (bytes_option->count() != 0) stream_request.bytes = count_option;
    run = [&](const Library& l) { return Stream(l.api(), options, stream_request); };
  });

  auto* write = app.add_subcommand("write", "Send bytes on bulk OUT");
  auto* write_words = write->add_option("HEXBYTES", words, "01020304, or 01 02 03 04");
  write->add_option("-i,--input", data_file, "Send the bytes of FILE")->excludes(write_words);
  write->callback([&] {
    run = [&, bytes = BytesOrFile(words, data_file, "write")](const Library& l) {
      return Write(l.api(), options, bytes);
    };
  });

  std::uint64_t loop_bytes = 1 << 20;
  auto* loopback = app.add_subcommand(
      "loopback", "Write a pattern and read it back (the simulated board loops it back)");
  loopback->add_option("-n,--bytes", loop_bytes, "How many bytes (default 1 MiB)")
      ->check(CLI::PositiveNumber);
  loopback->callback(
      [&] { run = [&](const Library& l) { return Loopback(l, options, loop_bytes); }; });

  std::string demo_firmware = DemoFirmware();
  auto* demo = app.add_subcommand("demo", "A guided tour of the simulated board (needs --sim)");
  demo->add_option("FIRMWARE", demo_firmware, "The image to load")->capture_default_str();
  demo->callback([&] { run = [&](const Library& l) { return Demo(l, options, demo_firmware); }; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    (void)app.exit(e);
    return 2;
  } catch (const BadArguments& e) {
    std::fprintf(stderr, "quorix: %s\nRun with --help for more information.\n", e.what());
    return 2;
  }

  try {
    Library library(options.simulated);
    PrepareSimulator(library, options);
    return run(library);
  } catch (const BadArguments& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    return 2;
  } catch (const CallFailed& e) {
    std::string sentence = StatusMeaning(e.status);
    if (sentence.empty()) sentence = "the driver reported this Windows error";
    sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
    std::fprintf(stderr, "quorix: %s failed: %s. %s.\n", e.what(), StatusName(e.status).c_str(),
                 sentence.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    return 1;
  }
}

}  // namespace quorix::tool

int main(int argc, char** argv) { return quorix::tool::Main(argc, argv); }
