// quorix: what a person at a bench does with a board, from the command line.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "help.h"
#include "json.h"
#include "platform.h"

namespace quorix::tool {

namespace {

constexpr std::uint64_t kStreamMost = 1ull << 50;  // 1 PiB: "until Ctrl-C" in all but name
constexpr double kSecondsMost = 1e7;               // about 16 weeks

// The demo's firmware: installed beside the tool, or in the source tree.
std::string DemoFirmware() {
  std::error_code error;
  const std::filesystem::path folder = platform::ExecutableFolder();
  if (!folder.empty()) {
    const auto installed = folder / ".." / "share" / "quorix" / "blink.hex";
    if (std::filesystem::exists(installed, error)) return installed.lexically_normal().string();
  }
  return QUORIX_TOOL_DEMO_FIRMWARE;
}

std::uint8_t Byte(const std::string& text, const char* what) {
  return static_cast<std::uint8_t>(ParseNumber(text, 0xFF, what));
}

// What the chosen command needs and does.
struct Command {
  std::string name;
  bool json = false;            // offers --json
  bool library = true;          // needs the library
  std::function<void()> check;  // the arguments only; throws BadArguments
  std::function<int(const Library*)> run;
};

// The global options as typed; checked once the command line is read.
struct Typed {
  std::string device, serial, timeout, sim_boards, sim_rate;
};

std::string Names(const CLI::App* app) {
  std::string names;
  for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
    names += (names.empty() ? "" : ", ") + sub->get_name();
  return names;
}

// With --json a failure is a document on stdout too, beside the line on stderr: the library's
// status and its name when a call failed, otherwise null and what kind of failure it was.
void JsonError(bool json, std::optional<int> status, const std::string& message,
               const char* kind) {
  if (!json || Json::printed) return;
  Json document;
  document.Object().Object("error");
  if (status)
    document.Signed("status", *status).String("name", StatusCode(*status));
  else
    document.Null("status").String("name", kind);
  document.String("message", message).Close().Close().Print();
}

// A command line that the parser refused, said in the tool's words where it can do better.
int Refused(const CLI::App& app, const CLI::ParseError& error, bool json) {
  // The deepest command that was recognised.
  const CLI::App* at = &app;
  for (;;) {
    const auto chosen = at->get_subcommands();
    if (chosen.empty()) break;
    at = chosen.front();
  }
  const std::vector<std::string> extra = app.remaining();
  const bool needs_command =
      !at->get_subcommands([](const CLI::App*) { return true; }).empty() &&
      std::string(error.what()).find("subcommand is required") != std::string::npos;
  const std::string group = at == &app ? "" : at->get_name() + " ";
  std::string message;
  if (needs_command && !extra.empty() && extra.front()[0] != '-')
    message = "unknown " + group + "command '" + extra.front() + "'; the " + group +
              "commands are: " + Names(at);
  else if (needs_command)
    message = (at == &app ? std::string("a command is needed") : group + "needs a command") +
              "; the " + group + "commands are: " + Names(at);
  else
    message = error.what();
  std::fprintf(stderr, "quorix: %s\nRun 'quorix --help', or 'quorix COMMAND --help', for more.\n",
               message.c_str());
  JsonError(json, std::nullopt, message, "bad_arguments");
  return 2;
}

// Arguments the parser let through for the tool to judge.
void RefuseExtras(const CLI::App& app) {
  const std::vector<std::string> extra = app.remaining();
  if (extra.empty()) return;
  const std::string& first = extra.front();
  if (first.size() > 1 && first[0] == '-' &&
      (std::isdigit(static_cast<unsigned char>(first[1])) != 0))
    throw BadArguments("'" + first + "': negative numbers are not taken");
  if (first[0] == '-') throw BadArguments("unknown option '" + first + "'");
  throw BadArguments("unexpected argument '" + first + "'");
}

// An empty value is refused, never taken for "not given": a script's -n "$SIZE" with SIZE
// unset must not stream without end.
void RefuseEmptyValues(const CLI::App& app) {
  for (const CLI::Option* option : app.get_options())
    if (option->nonpositional() && option->get_type_size_min() > 0)
      for (const std::string& value : option->results())
        if (value.empty())
          throw BadArguments(option->get_name(false, true) + ": the value is empty");
  for (const CLI::App* sub : app.get_subcommands()) RefuseEmptyValues(*sub);
}

int Version(bool simulated) {
  std::printf("quorix tool %s (built against quorix.h %d.%d.%d)\n", QUORIX_TOOL_VERSION,
              QUORIX_VERSION_MAJOR, QUORIX_VERSION_MINOR, QUORIX_VERSION_PATCH);
  try {
    const Library library(simulated);
    const std::string version = library.version();
    std::printf("library %s: %s%s\n", version.empty() ? "of unknown version" : version.c_str(),
                library.file().string().c_str(), simulated ? " (simulated)" : "");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    return 1;
  }
}

}  // namespace

int Main(int argc, char** argv) {
  platform::WatchSignals();
  // --version needs no command.
  bool version = false, simulated = false, json_asked = false;
  for (int i = 1; i < argc; ++i) {
    version = version || std::strcmp(argv[i], "--version") == 0;
    simulated = simulated || std::strcmp(argv[i], "--sim") == 0;
    json_asked = json_asked || std::strcmp(argv[i], "--json") == 0;  // for a refused command line
  }
  if (version) return Version(simulated);

  CLI::App app{"quorix: list, inspect and drive Quorix FX2 boards (USB 0xDEAD:0xBEEF)", "quorix"};
  app.require_subcommand(1);
  // Global options also after the command, and the tool judges what is left over.
  app.fallthrough();
  app.allow_extras();
  app.footer(
      "Numbers are decimal, or hexadecimal with 0x; sizes may end in K, M, G (or KiB, MiB, GiB: "
      "2^10, 2^20, 2^30, as in dd) or KB, MB, GB (10^3, 10^6, 10^9). A FILE of - is stdin or "
      "stdout. Global options go before or after the command.\n"
      "Exit status: 0 success, 1 a failed call or check, 2 bad arguments, 128+N ended by "
      "signal N.");
  Options options;
  Typed typed;
  app.add_flag("--sim", options.simulated, "Use the simulated library and its board");
  app.add_flag("--version", version, "The tool's and the library's versions");
  auto* index = app.add_option("-d,--device", typed.device, "Board index (default: the first)");
  app.add_option("-s,--serial", typed.serial, "Board serial number")->excludes(index);
  app.add_option("--timeout", typed.timeout,
                 "Transfer timeout in ms (0: none); stream: how long a read may wait for the "
                 "board before the capture fails (default: no limit)");
  app.add_flag("--json", options.json,
               "JSON on stdout: one document (list, info, eeprom read, firmware check, startup "
               "get, stream), or one document per event, a line each (watch)");
  app.add_flag("--trace", options.trace,
               "Show each request the library sends, on stderr (QUORIX_TRACE=1)");
  app.add_flag("-q,--quiet", options.quiet, "No progress lines and no live line");
  app.add_flag("-v,--verbose", options.verbose,
               "Also say, on stderr, which library was loaded and which board was opened");
  app.add_option("--sim-boards", typed.sim_boards, "With --sim: how many boards (default 1)");
  app.add_option("--sim-rate", typed.sim_rate,
                 "With --sim: the boards' IN rate in bytes per second (0 stops it)");
  app.add_option("--sim-state", options.sim_state,
                 "With --sim: keep the boards' state in FILE from one command to the next "
                 "(QUORIX_SIM_STATE)");

  Command chosen;
  // Registers what a command checks and runs when the parser picks it.
  auto command = [&chosen](CLI::App* sub, bool json, bool library, std::function<void()> check,
                           std::function<int(const Library*)> run) {
    sub->callback([&chosen, sub, json, library, check, run] {
      std::string name = sub->get_name();
      for (const CLI::App* up = sub->get_parent(); up->get_parent() != nullptr;
           up = up->get_parent())
        name = up->get_name() + " " + name;
      chosen = {name, json, library, check, run};
    });
  };
  auto nothing = [] {};

  auto* list = app.add_subcommand(
      "list", "List the boards: index, serial number, and whether in use where the system tells");
  list->add_flag("--probe", options.probe,
                 "Open each board for a moment to learn whether it is in use (sends requests)");
  command(list, true, true, nothing, [&](const Library* l) { return List(*l, options); });
  command(app.add_subcommand("info", "Serial number, port D, the startup-command area"), true, true,
          nothing, [&](const Library* l) { return Info(*l, options); });

  auto* firmware = app.add_subcommand("firmware", "FX2 firmware images (Intel HEX)");
  firmware->require_subcommand(1);
  std::string image, repacked;
  bool force = false;
  auto* load = firmware->add_subcommand(
      "load", "Load FILE into the FX2 and start it, with progress (repacked if need be)");
  load->add_option("FILE", image, "Intel HEX image")->required();
  load->add_flag("--force", force, "Load it although firmware check refuses it");
  command(load, false, true, nothing,
          [&](const Library* l) { return FirmwareLoad(*l, options, image, force); });
  auto* check = firmware->add_subcommand(
      "check", "Read FILE as the library will and as Intel HEX means it: what is refused and why");
  check->add_option("FILE", image, "Intel HEX image")->required();
  command(check, true, false, nothing,
          [&](const Library*) { return FirmwareCheck(options, image); });
  auto* repack = firmware->add_subcommand(
      "repack", "Rewrite any Intel HEX below 64 KiB into records of at most 16 data bytes");
  repack->add_option("IN", image, "Intel HEX image")->required();
  repack->add_option("OUT", repacked, "The image the library accepts")->required();
  command(repack, false, false, nothing,
          [&](const Library*) { return FirmwareRepack(image, repacked); });

  auto* eeprom = app.add_subcommand("eeprom", "Read, write, dump or restore the EEPROM");
  eeprom->require_subcommand(1);
  std::string select_text = "1", address_text, length_text, file;
  std::vector<std::string> words;
  EepromRead reading;
  EepromWrite writing;
  auto add_select = [&select_text](CLI::App* sub) {
    sub->add_option("--select", select_text, "EEPROM select value (default 1, the board's own)");
  };
  add_select(eeprom);
  auto* eeprom_read = eeprom->add_subcommand("read", "Read LEN bytes from ADDR");
  add_select(eeprom_read);
  eeprom_read->add_option("ADDR", address_text, "Address")->required();
  eeprom_read->add_option("LEN", length_text, "Byte count")->required();
  eeprom_read->add_option("-o,--output", reading.output, "Write the bytes to FILE");
  eeprom_read->add_flag("--hex", reading.hex, "Dump as hex even when stdout is not a terminal");
  command(
      eeprom_read, true, true,
      [&] {
        reading.select = Byte(select_text, "--select");
        const std::uint32_t size = EepromSize(reading.select);
        reading.address = static_cast<std::uint32_t>(ParseNumber(address_text, size - 1, "ADDR"));
        reading.length = static_cast<std::uint32_t>(
            ParseSize(length_text, 0, size - reading.address, "LEN (to the EEPROM's end)"));
      },
      [&](const Library* l) { return ReadEepromCommand(*l, options, reading); });
  auto* eeprom_write = eeprom->add_subcommand("write", "Write bytes at ADDR, page by page");
  add_select(eeprom_write);
  eeprom_write->add_option("ADDR", address_text, "Address")->required();
  auto* eeprom_words = eeprom_write->add_option("HEXBYTES", words, "01020304, or 01 02 03 04");
  eeprom_write->add_option("-i,--input", file, "Write the bytes of FILE")->excludes(eeprom_words);
  eeprom_write->add_flag("--verify", writing.verify, "Read the bytes back and compare");
  eeprom_write->add_flag("--force", writing.force,
                         "Also write into the startup-area chain at 0x1FE8-0x1FFF");
  command(
      eeprom_write, false, true,
      [&] {
        writing.select = Byte(select_text, "--select");
        writing.address = static_cast<std::uint32_t>(
            ParseNumber(address_text, EepromSize(writing.select) - 1, "ADDR"));
        if (file.empty() && words.empty())
          throw BadArguments("eeprom write: give HEXBYTES or -i FILE");
        writing.words = words;
        writing.file = file;
        if (file.empty())
          CheckEepromRange(writing.select, writing.address, ParseHexBytes(words).size(),
                           writing.force, "eeprom write");
      },
      [&](const Library* l) { return WriteEepromCommand(*l, options, writing); });
  auto* dump = eeprom->add_subcommand(
      "dump", "Read the whole EEPROM into FILE, twice to compare, with progress");
  add_select(dump);
  dump->add_option("FILE", file, "Where the bytes go")->required();
  command(
      dump, false, true, [&] { writing.select = Byte(select_text, "--select"); },
      [&](const Library* l) { return DumpEeprom(*l, options, writing.select, file); });
  auto* restore = eeprom->add_subcommand(
      "restore", "Write a whole-EEPROM FILE back (the pages that differ), then read it back");
  add_select(restore);
  restore->add_option("FILE", file, "A file of eeprom dump")->required();
  restore->add_flag("--force", writing.force, "Also restore the startup-area chain");
  command(
      restore, false, true, [&] { writing.select = Byte(select_text, "--select"); },
      [&](const Library* l) {
        return RestoreEeprom(*l, options, writing.select, file, writing.force);
      });

  auto* startup = app.add_subcommand("startup", "The startup command stored in the EEPROM");
  startup->require_subcommand(1);
  command(startup->add_subcommand("get", "Show the stored startup command"), true, true, nothing,
          [&](const Library* l) { return StartupGet(*l, options); });
  std::string command_text;
  auto* startup_set = startup->add_subcommand(
      "set", "Store TEXT (or the bytes of FILE); slow: 200 ms per EEPROM request");
  auto* text_option = startup_set->add_option("TEXT", command_text, "The command");
  startup_set->add_option("-i,--input", file, "Store the bytes of FILE")->excludes(text_option);
  command(
      startup_set, false, true,
      [&] {
        if (file.empty() && text_option->count() == 0)
          throw BadArguments("startup set: give TEXT or -i FILE");
        if (command_text.size() > kEepromSize)
          throw BadArguments("startup set: TEXT is longer than the EEPROM");
      },
      [&](const Library* l) { return StartupSet(*l, options, command_text, file); });
  command(startup->add_subcommand("clear", "Store an empty command: length 0, no command"), false,
          true, nothing, [&](const Library* l) { return StartupClear(*l, options); });

  auto* portd = app.add_subcommand("portd", "Port D outputs and output enables");
  portd->require_subcommand(1);
  std::string value_text;
  std::vector<std::string> sequence;
  std::vector<std::uint8_t> sequence_bytes;
  std::uint8_t value = 0;
  auto* portd_set = portd->add_subcommand("set", "Set the output latch to VALUE");
  portd_set->add_option("VALUE", value_text, "A byte, e.g. 165 or 0xA5")->required();
  command(
      portd_set, false, true, [&] { value = Byte(value_text, "VALUE"); },
      [&](const Library* l) { return PortDSet(*l, options, value); });
  command(portd->add_subcommand("get", "Print the output latch"), false, true, nothing,
          [&](const Library* l) { return PortDGet(*l, options); });
  auto* portd_enable = portd->add_subcommand("enable", "Set the output enables to MASK");
  portd_enable->add_option("MASK", value_text, "One bit per line; 1 drives it")->required();
  command(
      portd_enable, false, true, [&] { value = Byte(value_text, "MASK"); },
      [&](const Library* l) { return PortDEnable(*l, options, value); });
  auto* portd_seq =
      portd->add_subcommand("seq", "Write VALUES to the latch in one request, in order");
  portd_seq->add_option("VALUES", sequence, "Bytes, e.g. 1 2 0xA5")->required();
  command(
      portd_seq, false, true,
      [&] {
        if (sequence.size() > 255) throw BadArguments("VALUES: at most 255");
        sequence_bytes.clear();
        for (const std::string& word : sequence) sequence_bytes.push_back(Byte(word, "VALUES"));
      },
      [&](const Library* l) { return PortDSequence(*l, options, sequence_bytes); });

  std::string mode_text;
  auto* fpga = app.add_subcommand("fpga-mode", "Set the FPGA configuration mode");
  fpga->add_option("MODE", mode_text, "A byte")->required();
  command(
      fpga, false, true, [&] { value = Byte(mode_text, "MODE"); },
      [&](const Library* l) { return FpgaMode(*l, options, value); });

  StreamRequest stream_request;
  std::string count_text, seconds_text;
  auto* stream = app.add_subcommand(
      "stream", "Capture bulk IN, with a live line on a terminal; Ctrl-C ends it");
  auto* bytes_option = stream->add_option("-n,--bytes", count_text, "Stop after SIZE bytes");
  stream->add_option("--seconds", seconds_text, "Stop after S seconds")->excludes(bytes_option);
  stream->add_option("-o,--output", stream_request.output,
                     "Write to FILE (- for stdout; by default stdout, unless it is a terminal)");
  stream->add_flag("--check-counter", stream_request.check_counter,
                   "Check the simulated board's counter pattern");
  std::string queue_text, ring_text;
  stream
      ->add_option("--read-queue", queue_text,
                   "Reads kept at the board: NxSIZE (default 16x256K), or off for the "
                   "library's classic single read")
      ->type_name("NxSIZE");
  stream->add_option("--ring-size", ring_text, "The ring the queued reads fill (default 64M)")
      ->type_name("SIZE");
  command(
      stream, true, true,
      [&] {
        options.read_queue = ParseReadQueue(queue_text, ring_text);
        if (!count_text.empty()) stream_request.bytes = ParseSize(count_text, 1, kStreamMost, "-n");
        if (!seconds_text.empty())
          stream_request.seconds = ParseSeconds(seconds_text, kSecondsMost, "--seconds");
        if (options.json && stream_request.output == "-")
          throw BadArguments("stream: with --json, stdout holds the summary; give -o FILE");
      },
      [&](const Library* l) { return Stream(*l, options, stream_request); });

  auto* write = app.add_subcommand("write", "Send bytes on bulk OUT");
  auto* write_words = write->add_option("HEXBYTES", words, "01020304, or 01 02 03 04");
  write->add_option("-i,--input", file, "Send the bytes of FILE")->excludes(write_words);
  command(
      write, false, true,
      [&] {
        if (file.empty() && words.empty()) throw BadArguments("write: give HEXBYTES or -i FILE");
        if (file.empty()) (void)ParseHexBytes(words);
      },
      [&](const Library* l) { return Write(*l, options, words, file); });

  std::string loop_text = "1MiB";
  std::uint64_t loop_bytes = 0;
  auto* loopback = app.add_subcommand(
      "loopback", "Write a pattern and read it back (the simulated board loops it back)");
  loopback->add_option("-n,--bytes", loop_text, "How many bytes (default 1 MiB)");
  command(
      loopback, false, true, [&] { loop_bytes = ParseSize(loop_text, 1, kStreamMost, "-n"); },
      [&](const Library* l) { return Loopback(*l, options, loop_bytes); });

  bool enumerate = false;
  auto* watch = app.add_subcommand(
      "watch", "Print boards as they arrive and leave, with the time, until Ctrl-C");
  watch->add_flag("--enumerate", enumerate, "First report the boards present now, as arrivals");
  watch->footer(
      "With --sim, lines on stdin change the simulated bus: 'plug SERIAL' (a board unplugged "
      "before, or a new one) and 'unplug SERIAL'.\n" +
      app.get_footer());
  command(watch, true, true, nothing,
          [&](const Library* l) { return Watch(*l, options, enumerate); });

  std::string demo_firmware = DemoFirmware();
  auto* demo = app.add_subcommand("demo", "A guided tour of the simulated board (needs --sim)");
  demo->add_option("FIRMWARE", demo_firmware, "The image to load")->capture_default_str();
  command(
      demo, false, true,
      [&] {
        if (!options.simulated) throw BadArguments("demo runs on the simulated board: add --sim");
      },
      [&](const Library* l) { return Demo(*l, options, demo_firmware); });

  std::vector<std::string> help_words;
  std::string help_text;
  auto* help = app.add_subcommand("help", "Show the help of COMMAND: quorix help eeprom read");
  help->add_option("COMMAND", help_words, "A command, and the command under it");
  command(
      help, false, false, [&] { help_text = HelpOf(app, help_words); },
      [&](const Library*) {
        std::fputs(help_text.c_str(), stdout);
        return 0;
      });
  Document(app);

  try {
    app.parse(argc, argv);
    RefuseExtras(app);
    RefuseEmptyValues(app);
    if (!chosen.run) throw BadArguments("a command is needed");
    if (!typed.device.empty())
      options.index = static_cast<std::int32_t>(ParseNumber(typed.device, INT32_MAX, "-d"));
    if (!typed.serial.empty()) options.serial = typed.serial;
    if (!typed.timeout.empty())
      options.timeout_ms =
          static_cast<std::uint32_t>(ParseNumber(typed.timeout, UINT32_MAX, "--timeout"));
    if (!typed.sim_boards.empty())
      options.sim_boards = static_cast<int>(ParseNumber(typed.sim_boards, 64, "--sim-boards"));
    if (!typed.sim_rate.empty())
      options.sim_rate =
          static_cast<std::uint32_t>(ParseSize(typed.sim_rate, 0, UINT32_MAX, "--sim-rate"));
    if (!options.simulated &&
        (options.sim_boards || options.sim_rate || !options.sim_state.empty()))
      throw BadArguments("--sim-boards, --sim-rate and --sim-state need --sim");
    if (options.json && !chosen.json)
      throw BadArguments("--json: '" + chosen.name +
                         "' has no JSON output; list, info, eeprom read, firmware check, startup "
                         "get, stream and watch have");
    chosen.check();
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return Refused(app, e, json_asked);
  } catch (const BadArguments& e) {
    std::fprintf(stderr, "quorix: %s\nRun 'quorix --help', or 'quorix COMMAND --help', for more.\n",
                 e.what());
    JsonError(json_asked, std::nullopt, e.what(), "bad_arguments");
    return 2;
  }

  ShowProgress(!options.quiet);
  std::optional<Library> library;  // outlives the command, for the words of a failure
  try {
    if (!chosen.library) return chosen.run(nullptr);
    // The library reads these once, when it is loaded.
    if (options.trace) platform::SetEnvironment("QUORIX_TRACE", "1");
    if (!options.sim_state.empty()) platform::SetEnvironment("QUORIX_SIM_STATE", options.sim_state);
    library.emplace(options.simulated);
    if (options.verbose) {
      const std::string loaded = library->version();
      std::fprintf(stderr, "quorix: using %s%s, version %s\n", library->file().string().c_str(),
                   options.simulated ? " (simulated)" : "",
                   loaded.empty() ? "unknown" : loaded.c_str());
    }
    PrepareSimulator(*library, options);
    const int status = chosen.run(&*library);
    return SaveSimulator(*library) || status != 0 ? status : 1;
  } catch (const BadArguments& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    JsonError(json_asked, std::nullopt, e.what(), "bad_arguments");
    return 2;
  } catch (const CallFailed& e) {
    const std::string message =
        std::string(e.what()) + " failed: " +
        (library ? ExplainFailure(*library, e.status) : Explain(e.status));
    std::fprintf(stderr, "quorix: %s\n", message.c_str());
    JsonError(json_asked, e.status, message, "");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorix: %s\n", e.what());
    JsonError(json_asked, std::nullopt, e.what(), "failure");
    return 1;
  }
}

}  // namespace quorix::tool

int main(int argc, char** argv) {
  int status = quorix::tool::Main(argc, argv);
  // Output that did not reach stdout (a full disk, a closed stdout) is a failure.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int error = errno;
    std::fprintf(stderr, "quorix: cannot write to stdout: %s\n",
                 error != 0 ? std::strerror(error) : "a write failed");
    if (status == 0) status = 1;
  }
  // A signal that the command did not take as its end: the command ran to its end, and the
  // status says that a signal came, as 128 + its number.
  if (const int signal = quorix::tool::platform::EndingSignal();
      signal != 0 && status == 0 && !quorix::tool::SignalEndedTheCommand())
    status = 128 + signal;
  // Returned, not raised: the normal exit is what saves the simulated boards' state.
  return status;
}
