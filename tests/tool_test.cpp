// The quorix tool as a person runs it, each test in a private folder that is removed after
// it: hostile arguments, firmware checking, repacking and loading checked against the
// simulated board's memory, the EEPROM's limits, dump and restore, the startup command and
// Ctrl-C, and the help against docs/tool.md.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/state_file.h"
#include "quorix/quorix_sim.h"
#include "registry/registry.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The core is linked in, for the tests that load an image into the simulated board here.
class Attached : public testing::Environment {
 public:
  void SetUp() override { quorix::ProcessAttach(); }
  void TearDown() override { quorix::ProcessDetach(); }
};
const auto* const kAttached = testing::AddGlobalTestEnvironment(new Attached);

struct ToolRun {
  int status;          // the exit status; -1 when the tool did not exit by itself
  std::string output;  // stdout and stderr
};

class ToolTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "quorix-tool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code error;
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(folder_, error);
    EXPECT_FALSE(error) << error.message();
  }

  // Runs the tool in the test's folder with a shell's word splitting of arguments, after the
  // shell commands in before.
  ToolRun Tool(const std::string& arguments, const std::string& before = "") const {
    return Run("cd '" + folder_.string() + "' && " + before + "'" + QUORIX_TOOL + "' " +
               arguments + " 2>&1");
  }
  static ToolRun Run(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    ToolRun run{-1, ""};
    if (pipe == nullptr) return run;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  // Runs a shell script in the test's folder, with the tool as "$q"; its stderr merged into
  // what it prints, so that the script can send the tool's stdout elsewhere.
  ToolRun Shell(const std::string& script) const {
    return Run("cd '" + folder_.string() + "' && q='" + QUORIX_TOOL + "' && (" + script +
               ") 2>&1");
  }

  // Starts the tool in the test's folder, its output into a file there, for a test that
  // signals it; Finish waits for it.
  pid_t Start(const std::vector<std::string>& arguments,
              const std::string& log_name = "tool.log") const {
    const std::string log = (folder_ / log_name).string();
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(folder_.c_str()) != 0) _exit(126);
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> argv{const_cast<char*>(QUORIX_TOOL)};
      for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(QUORIX_TOOL, argv.data());
      _exit(127);
    }
    return pid;
  }
  ToolRun Finish(pid_t pid, const std::string& log_name = "tool.log") const {
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Text(log_name)};
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream file(Path(name), std::ios::binary);
    file << text;
    ASSERT_TRUE(file.flush()) << name;
  }
  std::string Text(const std::string& name) const {
    std::ifstream file(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.insert(entry.path().filename().string());
    return names;
  }

  fs::path folder_;
};

bool Has(const ToolRun& run, const std::string& part) {
  return run.output.find(part) != std::string::npos;
}

// Waits for a state another process reaches; false when it has not after a minute.
bool WaitUntil(const std::function<bool()>& reached) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!reached())
    if (std::chrono::steady_clock::now() > deadline) return false;
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return true;
}

// Whether the process has a handler for SIGINT (Linux's /proc).
bool CatchesCtrlC(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1) & 1) != 0;
  return false;
}

struct Record {
  unsigned address;
  Bytes data;
};

// The data records of an image, in file order.
std::vector<Record> DataRecords(const std::string& path) {
  std::ifstream file(path);
  std::vector<Record> records;
  for (std::string line; std::getline(file, line);) {
    if (line.size() < 11 || line.substr(7, 2) != "00") continue;
    const unsigned count = std::stoul(line.substr(1, 2), nullptr, 16);
    Record record{static_cast<unsigned>(std::stoul(line.substr(3, 4), nullptr, 16)), {}};
    for (unsigned i = 0; i < count; ++i)
      record.data.push_back(
          static_cast<std::uint8_t>(std::stoul(line.substr(9 + 2 * i, 2), nullptr, 16)));
    records.push_back(record);
  }
  return records;
}

std::string HexRecord(unsigned type, unsigned address, const Bytes& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  char text[16];
  std::snprintf(text, sizeof text, ":%02zX%04X%02X", data.size(), address, type);
  std::string line = text;
  for (std::uint8_t byte : data) {
    std::snprintf(text, sizeof text, "%02X", byte);
    line += text;
    sum += byte;
  }
  std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + text;
}

// The example image as sdcc writes it without packihx: an extended-address record, then
// records of up to 32 bytes, contiguous runs merged in file order.
std::string AsSdccWritesIt(const std::vector<Record>& records) {
  std::string text = HexRecord(4, 0, {0x00, 0x00});
  std::vector<Record> merged;
  for (const Record& record : records) {
    if (!merged.empty() && merged.back().address + merged.back().data.size() == record.address &&
        merged.back().data.size() + record.data.size() <= 32)
      merged.back().data.insert(merged.back().data.end(), record.data.begin(), record.data.end());
    else
      merged.push_back(record);
  }
  for (const Record& record : merged) text += HexRecord(0, record.address, record.data);
  return text + ":00000001FF\n";
}

// The FX2 program RAM that a state file of the simulated board holds.
Bytes ProgramRam(const std::string& state_file) {
  std::ifstream file(state_file, std::ios::binary);
  const Bytes bytes{std::istreambuf_iterator<char>(file), {}};
  std::vector<quorix::sim::BoardState> boards;
  std::string reason;
  if (!quorix::sim::Parse(bytes, &boards, &reason) || boards.empty()) {
    ADD_FAILURE() << state_file << ": " << reason;
    return {};
  }
  EXPECT_FALSE(boards[0].cpu_reset) << "the CPU runs after a load";
  return boards[0].program_ram;
}

// ---- firmware ----

using ToolFirmware = ToolTest;

TEST_F(ToolFirmware, ARepackedSdccImageLoadsByteForByte) {
  const std::vector<Record> original = DataRecords(QUORIX_FIRMWARE "/blink.hex");
  ASSERT_GT(original.size(), 4u);
  const std::string sdcc = AsSdccWritesIt(original);
  Write("blink32.hex", sdcc);
  ASSERT_NE(sdcc.find(":20"), std::string::npos) << "the input has 32-byte records";

  // Not a failure: check says what load does with it.
  const ToolRun checked = Tool("firmware check blink32.hex");
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_TRUE(Has(checked,
                  "blink32.hex: firmware load takes it after a repack into 17 records of at most "
                  "16 bytes, 174 bytes; the library would refuse the file as it stands (line 5: "
                  "it holds 32 data bytes"))
      << checked.output;
  EXPECT_TRUE(Has(Tool("firmware check --json blink32.hex"), "\"ok\": true, \"repack\": true"));

  const ToolRun repack = Tool("firmware repack blink32.hex blink16.hex");
  ASSERT_EQ(repack.status, 0) << repack.output;
  EXPECT_EQ(Tool("firmware check blink16.hex").status, 0);
  // The same bytes, in the same order, in records the library takes.
  Bytes in_order, repacked_order;
  for (const Record& r : original) in_order.insert(in_order.end(), r.data.begin(), r.data.end());
  for (const Record& r : DataRecords(Path("blink16.hex"))) {
    EXPECT_LE(r.data.size(), 16u);
    repacked_order.insert(repacked_order.end(), r.data.begin(), r.data.end());
  }
  EXPECT_EQ(repacked_order, in_order);

  // Loaded into the simulated board, the FX2's memory holds exactly the original image.
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &device), QUORIX_OK);
  ASSERT_EQ(QuorixLoadFirmware(device, Path("blink16.hex").c_str()), QUORIX_OK);
  for (const Record& record : original) {
    Bytes memory(record.data.size());
    ASSERT_EQ(QuorixSimReadMemory(1, static_cast<std::uint16_t>(record.address),
                                  static_cast<std::uint32_t>(memory.size()), memory.data()),
              0);
    EXPECT_EQ(memory, record.data) << "at " << record.address;
  }
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);

  // The tool loads the sdcc file itself, repacked on the way, and says so.
  const ToolRun load = Tool("--sim --sim-state board.state firmware load blink32.hex");
  EXPECT_EQ(load.status, 0) << load.output;
  EXPECT_TRUE(Has(load,
                  "repacked blink32.hex into 17 records of at most 16 bytes (a temporary "
                  "file): the library would refuse the file as it stands"))
      << load.output;
  const Bytes ram = ProgramRam(Path("board.state"));
  for (const Record& record : original)
    ASSERT_TRUE(std::equal(record.data.begin(), record.data.end(), ram.begin() + record.address))
        << "at " << record.address;
}

// An image of many records goes in several library calls; in between, the FX2 waits in a loop
// at 0x0000, and the image's own first bytes are written last.
TEST_F(ToolFirmware, ALargeImageLoadsInPartsAndEndsWhole) {
  Bytes image(200 * 16);
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  std::string text;
  for (unsigned at = 0; at < image.size(); at += 16)
    text += HexRecord(0, at, Bytes(image.begin() + at, image.begin() + at + 16));
  Write("large.hex", text + ":00000001FF\n");
  const ToolRun load = Tool("--sim --sim-state board.state firmware load large.hex");
  ASSERT_EQ(load.status, 0) << load.output;
  EXPECT_TRUE(Has(load, "loaded large.hex: 200 records, 3200 bytes")) << load.output;
  EXPECT_FALSE(Has(load, "repacked")) << "the library takes the file as it stands";
  const Bytes ram = ProgramRam(Path("board.state"));
  ASSERT_GE(ram.size(), image.size());
  EXPECT_EQ(Bytes(ram.begin(), ram.begin() + static_cast<std::ptrdiff_t>(image.size())), image);
}

TEST_F(ToolFirmware, CheckAndLoadReportWrongChecksumsAndRecordsOutsideTheRam) {
  std::string bad_sum = HexRecord(0, 0x0010, {1, 2, 3});
  bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
  Write("sums.hex", HexRecord(0, 0, {0x80, 0xFE}) + bad_sum + ":00000001FF\n");
  Write("high.hex", HexRecord(0, 0, {0x80, 0xFE}) + HexRecord(0, 0x4000, Bytes(16, 0x11)) +
                        HexRecord(0, 0xE1F8, Bytes(8, 0x22)) + ":00000001FF\n");

  ToolRun run = Tool("firmware check sums.hex");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "sums.hex:2: its checksum is wrong (0x")) << run.output;
  run = Tool("--sim firmware load sums.hex");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "firmware check refuses sums.hex (above); nothing was sent")) << run.output;
  run = Tool("--sim firmware load sums.hex --force");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run, "loading it all the same (--force)"));

  run = Tool("firmware check high.hex");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "high.hex:2: 16 bytes at 0x4000-0x400f lie outside the FX2's RAM"))
      << run.output;
  EXPECT_FALSE(Has(run, "high.hex:3")) << "0xE1F8-0xE1FF is scratch RAM";
  // Forced, the board refuses the record, and the tool says where that leaves it.
  run = Tool("--sim firmware load --force high.hex");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "the FX2's CPU is held in reset")) << run.output;

  const ToolRun json = Tool("firmware check --json high.hex");
  EXPECT_EQ(json.status, 1);
  EXPECT_TRUE(Has(json, "\"outside_ram\": [{\"line\": 2, \"address\": 16384, \"length\": 16}]"))
      << json.output;
}

TEST_F(ToolFirmware, RepackRefusesWhatTheFx2CannotHoldAndWritesNothing) {
  Write("high.hex",
        HexRecord(4, 0, {0x00, 0x01}) + HexRecord(0, 0x10, {1, 2, 3}) + ":00000001FF\n");
  ToolRun run = Tool("firmware repack high.hex high16.hex");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "high.hex:2: data beyond 64 KiB cannot be loaded into the FX2"))
      << run.output;
  Write("sum.hex", ":0300100001020399\n");
  EXPECT_TRUE(Has(Tool("firmware repack sum.hex high16.hex"), "checksum is wrong"));
  Write("empty.hex", ":00000001FF\n");
  EXPECT_TRUE(Has(Tool("firmware repack empty.hex high16.hex"), "holds no data records"));
  EXPECT_EQ(Files(), (std::set<std::string>{"high.hex", "sum.hex", "empty.hex"}));
}

TEST_F(ToolFirmware, CheckSaysWhereTheDownloadStopsAndWhatItRefuses) {
  Write("start.hex", HexRecord(0, 0, {1, 2}) + HexRecord(5, 0, {0, 0, 0, 0}) +
                         HexRecord(0, 2, {3}) + ":00000001FF\n");
  ToolRun run = Tool("firmware check start.hex");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Has(run,
                  "start.hex: firmware load takes it after a repack into 2 records of at most 16 "
                  "bytes, 3 bytes; the library would refuse the file as it stands (line 3: data "
                  "follow the start linear address record at line 2 before any end-of-file "
                  "record)"))
      << run.output;

  Write("after.hex", HexRecord(0, 0, {1, 2}) + ":00000001FF\n" + HexRecord(0, 2, {3}));
  run = Tool("firmware check after.hex");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Has(run,
                  "1 data records, 2 bytes\nthe download stops at line 2 (end-of-file "
                  "record); 1 data records after it are not sent"))
      << run.output;
}

// Check is a safe gate for load: what one refuses the other refuses, and nothing is sent.
TEST_F(ToolFirmware, CheckAndLoadRefuseTruncatedEmptyAndDatalessImagesAlike) {
  std::ifstream blink(QUORIX_FIRMWARE "/blink.hex");
  std::string cut, line;
  for (int i = 0; i < 6 && std::getline(blink, line); ++i) cut += line + "\n";
  Write("cut.hex", cut);  // whole records, but no end-of-file record
  Write("empty.hex", "");
  Write("eof.hex", ":00000001FF\n");
  ASSERT_EQ(Tool("--sim --sim-state fresh.state info").status, 0);
  const struct {
    const char* file;
    const char* says;
  } images[] = {{"cut.hex", "cut.hex: no end-of-file record (:00000001FF): the image may be cut"},
                {"empty.hex", "empty.hex: the file is empty"},
                {"eof.hex", "eof.hex: it holds no data records"}};
  for (const auto& image : images) {
    const std::string file = image.file;
    ToolRun run = Tool("firmware check " + file);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Has(run, image.says)) << run.output;
    EXPECT_TRUE(Has(Tool("firmware check --json " + file), "\"ok\": false")) << file;
    run = Tool("--sim --sim-state board.state firmware load " + file);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Has(run, "nothing was sent")) << run.output;
  }
  EXPECT_EQ(ProgramRam(Path("board.state")), ProgramRam(Path("fresh.state")));
}

// ---- loopback and sizes ----

// Whatever the count, every piece ends in a short packet, which completes the board's read;
// K counts in 1024s and KB in 1000s, as dd and head count.
TEST_F(ToolTest, LoopbackOfAnySizeAndSizesCountedAsDdCountsThem) {
  for (const char* size : {"512", "1024", "4K", "64000", "66044"}) {
    const ToolRun run = Tool(std::string("--sim loopback -n ") + size);
    EXPECT_EQ(run.status, 0) << size << "\n" << run.output;
  }
  EXPECT_TRUE(Has(Tool("--sim loopback -n 4K"), "loopback: 4096 bytes"));
  EXPECT_TRUE(Has(Tool("--sim loopback -n 4k"), "loopback: 4096 bytes"));
  EXPECT_TRUE(Has(Tool("--sim loopback -n 4KiB"), "loopback: 4096 bytes"));
  EXPECT_TRUE(Has(Tool("--sim loopback -n 4KB"), "loopback: 4000 bytes"));
  EXPECT_TRUE(Has(Tool("--sim loopback -n 4kB"), "loopback: 4000 bytes"));
  EXPECT_TRUE(Has(Tool("--sim loopback -n 1M"), "loopback: 1048576 bytes"));
  EXPECT_TRUE(Has(Tool("--sim loopback -n 2MB"), "loopback: 2000000 bytes"));
}

// ---- stdin, stdout and signals ----

TEST_F(ToolTest, DashIsStdinOrStdoutInEveryCommandAndAFileNamedDashIsOnlyReadAsDotSlash) {
  const std::string junk = "junk that stdin stands in for\n";
  Write("-", junk);
  Write("hello.bin", "hello");
  const std::string board = "\"$q\" --sim --sim-state board.state ";
  ToolRun run = Shell(board + "eeprom write 0x100 -i - < hello.bin && " + board +
                      "eeprom read 0x100 5 -o - > back.bin");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Text("back.bin"), "hello");
  run = Shell("printf 'mode 1' | " + board + "startup set -i - && " + board + "startup get");
  EXPECT_TRUE(Has(run, "6 bytes at 0x1002: \"mode 1\"")) << run.output;
  run = Shell(board + "eeprom dump - > dump.bin && " + board + "eeprom restore - < dump.bin");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run, "dumped the 8192-byte EEPROM to stdout")) << run.output;
  EXPECT_EQ(Text("dump.bin").size(), 8192u);
  run = Shell("\"$q\" firmware repack - - < " QUORIX_FIRMWARE
              "/blink.hex | \"$q\" firmware check -");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run, "-: the library takes it: 17 data records, 174 bytes")) << run.output;
  run = Shell(board + "firmware load - < " QUORIX_FIRMWARE "/blink.hex");
  EXPECT_TRUE(Has(run, "loaded -: 17 records")) << run.output;
  run = Shell("printf '\\001\\002' | \"$q\" --sim write -i -");
  EXPECT_TRUE(Has(run, "wrote 2 bytes")) << run.output;
  EXPECT_TRUE(Has(Tool("--sim write -i ./-"), "wrote " + std::to_string(junk.size()) + " bytes"));
  EXPECT_EQ(Text("-"), junk);
}

TEST_F(ToolTest, AFailedWriteOnStdoutFailsTheCommandWithTheReason) {
  const std::string full = "cannot write to stdout: No space left on device";
  for (const char* command : {"list", "info", "eeprom read 0 16", "eeprom dump -",
                              "firmware repack " QUORIX_FIRMWARE "/blink.hex -"}) {
    const ToolRun run = Shell("\"$q\" --sim " + std::string(command) + " > /dev/full");
    EXPECT_EQ(run.status, 1) << command << "\n" << run.output;
    EXPECT_TRUE(Has(run, full)) << command << "\n" << run.output;
  }
  // Without a limit too: the capture ends at the failed write.
  const ToolRun run = Shell("\"$q\" --sim stream -o - > /dev/full");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, full + "; the capture stopped")) << run.output;
}

// SIGTERM and SIGHUP end the tool as Ctrl-C does, through its normal end, where the simulated
// library saves the boards' state.
TEST_F(ToolTest, SigtermAndSighupKeepTheSimulatedBoardsState) {
  Write("200.bin", std::string(200, 'q'));
  for (const int signal : {SIGTERM, SIGHUP}) {
    std::remove(Path("board.state").c_str());
    std::remove(Path("tool.log").c_str());
    const pid_t tool = Start(
        {"--sim", "--sim-state", "board.state", "--trace", "startup", "set", "-i", "200.bin"});
    // The library's call has begun: it reads the flags at 0x1ffc first.
    int status = 0;
    while (Text("tool.log").find("out: 1f fc") == std::string::npos &&
           waitpid(tool, &status, WNOHANG) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(kill(tool, signal), 0) << "the tool ended early:\n" << Text("tool.log");
    const ToolRun run = Finish(tool);
    EXPECT_EQ(run.status, 1) << signal;
    EXPECT_TRUE(Has(run,
                    "interrupted; the call ran to its end and the EEPROM holds a startup "
                    "command of 200 bytes"))
        << signal;
    EXPECT_TRUE(Has(Tool("--sim --sim-state board.state startup get"), "200 bytes at 0x1002"))
        << signal;
  }
}

// ---- hostile arguments ----

// Every failure ends with a message and exit status 1 (a failed call or check) or 2 (bad
// arguments): no abort, no hang, and no output file made or left half-written.
TEST_F(ToolTest, HostileArgumentsEndInAMessageAndStatusOneOrTwo) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directory(folder_ / "dir");
  Write("2k.bin", std::string(2048, 'x'));
  Write("9k.bin", std::string(9000, 'x'));
  Write("small.bin", std::string(100, 'x'));
  // A file of valid records larger than any FX2 image.
  std::string records;
  while (records.size() < (2u << 20)) records += HexRecord(0, 0x0100, Bytes(16, 0x55));
  Write("huge.hex", records);
  const std::set<std::string> before = Files();

  struct Case {
    std::string arguments;
    int status;
    std::string says;
  };
  const std::string long_serial(5000, 'Q');
  std::string many_values = "portd seq";
  for (int i = 0; i < 300; ++i) many_values += " 1";
  std::vector<Case> cases = {
      {"write -i missing.bin", 1, "cannot read the data file 'missing.bin': No such file"},
      {"eeprom write 0 -i missing.bin", 1, "cannot read the EEPROM data file 'missing.bin'"},
      {"write -i dir", 1, "the data file 'dir' is a directory, not a regular file"},
      {"write -i fifo", 1, "the data file 'fifo' is a FIFO, not a regular file"},
      {"startup set -i fifo", 1, "is a FIFO, not a regular file"},
      {"write -i /dev/zero", 1, "'/dev/zero' is a character device, not a regular file"},
      {"firmware check /dev/zero", 1, "is a character device, not a regular file"},
      {"firmware load /dev/zero", 1, "is a character device, not a regular file"},
      {"firmware check fifo", 1, "is a FIFO"},
      {"firmware repack dir out.hex", 1, "'dir' is a directory"},
      {"firmware check huge.hex", 1, "is larger than the 1 MiB it may have"},
      {"firmware load huge.hex", 1, "is larger than the 1 MiB it may have"},
      {"startup set -i 9k.bin", 1, "is larger than the 8 KiB it may have"},
      {"eeprom restore small.bin", 1, "holds 100 bytes; a whole EEPROM image has 8192"},
      {"eeprom write 0x1ff0 -i 2k.bin", 2,
       "2048 bytes at 0x1ff0 run past the end of the 8192-byte EEPROM"},
      {"eeprom write 0x1fe0 000102030405060708090a0b0c0d0e0f", 2, "add --force to write there"},
      {"eeprom read 0 99999", 2,
       "LEN (to the EEPROM's end): '99999' is not a size from 0 to 8 KiB"},
      {"eeprom read 0x2000 1", 2, "ADDR: '0x2000' is not a number from 0 to 8191"},
      {"eeprom read -5 3", 2, "ADDR: '-5' is not a number from 0 to 8191"},
      {"eeprom dump x.bin --select 2", 2, "knows the size of the EEPROM at select 1 only"},
      {"stream -n -5", 2, "-n: '-5' is not a size from 1 to 1 PiB"},
      {"stream -n 0", 2, "is not a size from 1"},
      {"stream -n 99999999999999999999999", 2, "is not a size"},
      {"stream -n 64X", 2, "is not a size"},
      {"stream --seconds -1", 2, "--seconds: '-1' is not a number of seconds"},
      {"stream --seconds nan", 2, "is not a number of seconds"},
      {"stream --seconds 1e400", 2, "is not a number of seconds"},
      {"stream -n 10 -o /nonexistent/dir/x.bin", 1,
       "cannot write '/nonexistent/dir/x.bin': No such file or directory"},
      {"stream -n 10 -o dir", 1, "cannot write 'dir': it is a directory"},
      {"eeprom read 0 16 -o /nonexistent/x.bin", 1, "cannot write '/nonexistent/x.bin'"},
      {"eeprom dump dir", 1, "cannot write 'dir': it is a directory"},
      {"-d -1 info", 2, "-d: '-1' is not a number from 0 to 2147483647"},
      {"-d 99999999999 info", 2, "-d: '99999999999' is not a number from 0 to 2147483647"},
      {"-d 5 info", 1, "there is no board 5; 1 board found (index 0)"},
      {"-s " + long_serial + " info", 1,
       "... (5000 characters)' failed: no board has that serial number"},
      {"--timeout 99999999999 info", 2, "--timeout: '99999999999' is not a number"},
      {"--sim-boards 65 list", 2, "--sim-boards: '65' is not a number from 0 to 64"},
      {"--sim-rate 5G list", 2, "--sim-rate: '5G' is not a size"},
      {"portd set 256", 2, "VALUE: '256' is not a number from 0 to 255"},
      {many_values, 2, "VALUES: at most 255"},
      {"eeprom write 0 0g", 2, "HEXBYTES: '0g' is not hexadecimal bytes"},
      // An empty value is no value: -n "$SIZE" with SIZE unset must not stream without end.
      {"stream -n ''", 2, "-n,--bytes: the value is empty"},
      {"stream --seconds ''", 2, "--seconds: the value is empty"},
      {"stream -n 10 -o ''", 2, "-o,--output: the value is empty"},
      {"eeprom read 0 4 -o ''", 2, "-o,--output: the value is empty"},
      {"--timeout '' info", 2, "--timeout: the value is empty"},
      {"-d '' info", 2, "-d,--device: the value is empty"},
      {"-s '' info", 2, "-s,--serial: the value is empty"},
      {"--sim-rate '' list", 2, "--sim-rate: the value is empty"},
      {"--sim-boards '' list", 2, "--sim-boards: the value is empty"},
      {"--sim-state '' list", 2, "--sim-state: the value is empty"},
      {"list --bogus", 2, "unknown option '--bogus'"},
      {"list extra", 2, "unexpected argument 'extra'"},
  };
  if (geteuid() != 0) {
    Write("secret.bin", "x");
    fs::permissions(Path("secret.bin"), fs::perms::none);
    cases.push_back(
        {"write -i secret.bin", 1, "cannot read the data file 'secret.bin': Permission denied"});
  }
  for (const Case& c : cases) {
    const ToolRun run = Tool("--sim " + c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
    EXPECT_TRUE(Has(run, c.says)) << c.arguments << "\n" << run.output;
    EXPECT_LT(run.output.size(), 2000u) << c.arguments;
  }
  std::set<std::string> after = Files();
  after.erase("secret.bin");
  EXPECT_EQ(after, before) << "a file was made or left behind";
}

// ---- EEPROM and startup command ----

TEST_F(ToolTest, EepromDumpAndRestoreKeepTheChainUnlessForced) {
  const std::string board = "--sim --sim-state board.state ";
  ToolRun run = Tool(board + "eeprom dump a.bin");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run, "dumped the 8192-byte EEPROM to a.bin (read twice, the same both times)"));
  const std::string original = Text("a.bin");
  ASSERT_EQ(original.size(), 8192u);
  EXPECT_EQ(original.substr(0x1FF8, 2), "\xe8\x1f");

  ASSERT_EQ(Tool(board + "eeprom write 0x100 68656c6c6f").status, 0);
  ASSERT_EQ(Tool(board + "eeprom write --force 0x1ffe 4243").status, 0);
  run = Tool(board + "eeprom restore a.bin");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "'a.bin' differs from the board in 0x1fe8-0x1fff")) << run.output;
  EXPECT_TRUE(Has(Tool(board + "eeprom read 0x100 5 --hex"), "68 65 6c 6c 6f")) << "untouched";

  run = Tool(board + "eeprom restore --force a.bin");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run,
                  "restored a.bin: 2 of 256 pages differed and were written; read back, "
                  "verified"))
      << run.output;
  ASSERT_EQ(Tool(board + "eeprom dump --select 1 b.bin").status, 0);
  EXPECT_EQ(Text("b.bin"), original);
  // --select goes with every EEPROM command, before or after it.
  EXPECT_EQ(Tool(board + "eeprom --select 1 read 0 1 -o c.bin").status, 0);
  EXPECT_EQ(Tool(board + "eeprom read 0 1 --select 1 -o c.bin").status, 0);
  EXPECT_EQ(Files(), (std::set<std::string>{"a.bin", "b.bin", "c.bin", "board.state"}));
}

TEST_F(ToolTest, StartupGetSetAndClear) {
  const std::string board = "--sim --sim-state board.state ";
  EXPECT_TRUE(Has(Tool(board + "startup get"), "no startup command stored (length 0 at 0x1000)"));
  Write("4077.bin", std::string(4077, 'c'));
  ToolRun run = Tool(board + "startup set -i 4077.bin");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run, "the command has 4077 bytes; at 0x1000 the startup area holds at most 4076"))
      << run.output;
  ASSERT_EQ(Tool(board + "startup set 'mode 1; stream'").status, 0);
  run = Tool(board + "startup get --json");
  EXPECT_TRUE(Has(run,
                  "\"length\": 14, \"length_fits\": true, \"room\": 4076}, \"command\": "
                  "{\"hex\": \"6d6f646520313b2073747265616d\", \"text\": \"mode 1; stream\"}"))
      << run.output;
  run = Tool(board + "startup clear");
  EXPECT_TRUE(Has(run, "the EEPROM holds no startup command")) << run.output;
  EXPECT_TRUE(Has(Tool(board + "startup get"), "no startup command stored"));
}

// Ctrl-C cannot cut the library's one call short: the tool says so, waits for it, says what
// the EEPROM holds, and exits 1.
TEST_F(ToolTest, CtrlCDuringStartupSetFinishesTheCallAndSaysWhatIsStored) {
  Write("200.bin", std::string(200, 'q'));
  const pid_t tool = Start(
      {"--sim", "--sim-state", "board.state", "--trace", "startup", "set", "-i", "200.bin"});
  // Inside the call: its first piece, with a zero length, has been written.
  ASSERT_TRUE(WaitUntil([&] {
    return Text("tool.log").find("control 40 b0 value 0000 index 0001 length 18") !=
           std::string::npos;
  }));
  ASSERT_EQ(kill(tool, SIGINT), 0);
  const ToolRun run = Finish(tool);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Has(run,
                  "interrupted: the command is being stored by one library call, which "
                  "cannot be cut short; waiting for it to end"))
      << run.output;
  EXPECT_TRUE(Has(run,
                  "interrupted; the call ran to its end and the EEPROM holds a startup "
                  "command of 200 bytes"))
      << run.output;
  EXPECT_TRUE(Has(Tool("--sim --sim-state board.state startup get"),
                  "200 bytes at 0x1002: \"" + std::string(200, 'q') + "\""));
}

// What a second Ctrl-C leaves in the state file is what the board holds and the tool promises:
// once the writing has begun, no command or the whole new one, never the one before.
TEST_F(ToolTest, TwoCtrlCDuringStartupSetLeaveNoCommandOrTheWholeNewOne) {
  const std::string board = "--sim --sim-state board.state ";
  ASSERT_EQ(Tool(board + "startup set 'the old one'").status, 0);
  Write("200.bin", std::string(200, 'n'));
  const pid_t tool = Start(
      {"--sim", "--sim-state", "board.state", "--trace", "startup", "set", "-i", "200.bin"});
  // The first piece, with a zero length, has been written.
  ASSERT_TRUE(WaitUntil([&] {
    return Text("tool.log").find("control 40 b0 value 0000 index 0001 length 18") !=
           std::string::npos;
  }));
  ASSERT_EQ(kill(tool, SIGINT), 0);
  ASSERT_TRUE(WaitUntil([&] { return Text("tool.log").find("Ctrl-C again") != std::string::npos; }))
      << Text("tool.log");
  ASSERT_EQ(kill(tool, SIGINT), 0);
  // Ended by the signal, or by the call if it ran to its end first.
  EXPECT_NE(Finish(tool).status, 0);
  const ToolRun after = Tool(board + "startup get");
  EXPECT_TRUE(Has(after, "no startup command stored") ||
              Has(after, "200 bytes at 0x1002: \"" + std::string(200, 'n') + "\""))
      << after.output;
}

// ---- the simulated board's state file ----

TEST_F(ToolTest, TheStateFileIsNeverSavedThroughALinkButTheUsersOwn) {
  const std::string board = "--sim --sim-state board.state ";
  Write("victim", "precious");
  ASSERT_EQ(symlink("victim", Path("board.state.new").c_str()), 0);
  ToolRun run = Tool(board + "eeprom write 0x100 68656c6c6f");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Text("victim"), "precious");
  EXPECT_EQ(Files(), (std::set<std::string>{"board.state", "board.state.new", "victim"}))
      << "no new file or lock is left behind";

  // A link of the user's own is followed, and stays a link.
  ASSERT_EQ(symlink("board.state", Path("mine.state").c_str()), 0);
  ASSERT_EQ(Tool("--sim --sim-state mine.state eeprom write 0x105 21").status, 0);
  EXPECT_TRUE(fs::is_symlink(Path("mine.state")));
  EXPECT_TRUE(Has(Tool(board + "eeprom read 0x100 6 --hex"), "68 65 6c 6c 6f 21"));

  // Anyone else's is refused, and the file it leads to is left alone.
  if (geteuid() == 0) {
    ASSERT_EQ(symlink("victim", Path("theirs.state").c_str()), 0);
    ASSERT_EQ(lchown(Path("theirs.state").c_str(), 65534, 65534), 0);
    run = Tool("--sim --sim-state theirs.state portd set 1");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run,
                    "QUORIX_SIM_STATE=theirs.state is refused: it is a symbolic link of another "
                    "user's (uid 65534)"))
        << run.output;
    EXPECT_EQ(Text("victim"), "precious");
  }

  // A save that fails says why and fails the command (here: files of at most 4 KiB).
  run = Tool(board + "portd set 1", "trap '' XFSZ; ulimit -f 8; ");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Has(run, "could not be saved to board.state: it cannot be written")) << run.output;
}

// Two commands on one state file take turns: the second waits for the first, then sees and
// keeps what it saved.
TEST_F(ToolTest, TwoCommandsOnOneStateFileKeepEachOthersWrites) {
  const pid_t stream = Start(
      {"--sim", "--sim-state", "board.state", "--sim-rate", "4096", "stream", "-o", "-"},
      "stream.log");
  ASSERT_TRUE(WaitUntil([&] { return CatchesCtrlC(stream); })) << "the stream has begun";
  const pid_t write =
      Start({"--sim", "--sim-state", "board.state", "eeprom", "write", "0x100", "68656c6c6f"},
            "write.log");
  EXPECT_TRUE(WaitUntil([&] {
    return Text("write.log").find("is in use by another process; waiting for it to end") !=
           std::string::npos;
  })) << Text("write.log");
  ASSERT_EQ(kill(stream, SIGINT), 0);
  EXPECT_EQ(Finish(stream, "stream.log").status, 0);
  const ToolRun wrote = Finish(write, "write.log");
  EXPECT_EQ(wrote.status, 0) << wrote.output;
  EXPECT_TRUE(Has(Tool("--sim --sim-state board.state eeprom read 0x100 5 --hex"),
                  "68 65 6c 6c 6f"));
}

// ---- help ----

std::string FileText(const char* path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The names a help lists under its heading ("Commands", "Options"): the first word of each
// entry, and for options every long and short name.
std::vector<std::string> Entries(const std::string& help, const std::string& heading) {
  std::vector<std::string> names;
  const std::size_t start = help.find("\n" + heading + ":\n");
  if (start == std::string::npos) return names;
  const std::string section = help.substr(start + heading.size() + 3);
  const std::regex entry(R"(^  (-[-a-z]+|[a-z][-a-z]*)(, (--[-a-z]+))?)");
  std::istringstream lines(section);
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    std::smatch match;
    if (!std::regex_search(line, match, entry)) continue;
    names.push_back(match[1]);
    if (match[3].matched) names.push_back(match[3]);
  }
  return names;
}

// Every command's help fits 80 columns, names its values, shows the tool as "quorix", is the
// same through "quorix help COMMAND"; and every command and option in it is in the manual
// page and in bash's completion, and every top-level command in docs/tool.md.
TEST_F(ToolTest, HelpFitsAndTheManualAndCompletionKnowEveryCommandAndOption) {
  std::string manual = FileText(QUORIX_MANPAGE);
  for (std::size_t at; (at = manual.find("\\-")) != std::string::npos;) manual.replace(at, 2, "-");
  const std::string page = FileText(QUORIX_TOOL_PAGE);
  ASSERT_NE(page.find("# The `quorix` tool"), std::string::npos) << QUORIX_TOOL_PAGE;
  // What bash completes after the words typed so far.
  auto completes = [](const std::string& typed) {
    const std::string command = "bash -c '. \"" + std::string(QUORIX_COMPLETION) +
                                "\"; COMP_WORDS=(quorix " + typed +
                                "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quorix; "
                                "printf \"%s\\n\" \"${COMPREPLY[@]}\"' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    if (pipe != nullptr) pclose(pipe);
    return "\n" + output;
  };

  std::vector<std::string> commands = {""};
  int checked = 0;
  for (std::size_t next = 0; next < commands.size(); ++next) {
    const std::string command = commands[next];
    const ToolRun help = Tool(command + (command.empty() ? "" : " ") + "--help");
    ASSERT_EQ(help.status, 0) << command;
    ++checked;
    EXPECT_EQ(Tool("help " + command).output, help.output) << command;
    // A value named by its type, as the parser would name it, not by what it is.
    EXPECT_FALSE(std::regex_search(help.output, std::regex(R"((--[-a-z]+|  [A-Z]+) TEXT\b)")))
        << command << "\n" << help.output;
    EXPECT_NE(help.output.find("Usage: quorix " + command), std::string::npos) << help.output;
    std::istringstream lines(help.output);
    for (std::string line; std::getline(lines, line);)
      EXPECT_LE(line.size(), 80u) << command << ": " << line;
    for (const std::string& sub : Entries(help.output, "Commands")) {
      const std::string path = command.empty() ? sub : command + " " + sub;
      commands.push_back(path);
      EXPECT_NE(manual.find(path), std::string::npos) << path << " is not in the manual page";
      EXPECT_NE(completes(command + " \"\"").find("\n" + sub + "\n"), std::string::npos)
          << path << " is not completed";
      if (command.empty()) {
        EXPECT_NE(page.find("`" + sub), std::string::npos) << sub << " is not in " QUORIX_TOOL_PAGE;
      }
    }
    for (const std::string& option : Entries(help.output, "Options")) {
      EXPECT_NE(manual.find(option), std::string::npos) << option << " is not in the manual page";
      EXPECT_NE(completes(command + " -").find("\n" + option + "\n"), std::string::npos)
          << option << " is not completed after '" << command << "'";
    }
  }
  EXPECT_EQ(checked, 1 + 13 + 3 + 4 + 3 + 4);  // the tool, its commands, and those under them
  EXPECT_EQ(Tool("help eeprom erase").status, 2);
}

}  // namespace
