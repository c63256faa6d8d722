// The quorix tool as a person runs it: its firmware rewriting checked against the simulated
// board's memory, and its help checked against the README.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "quorix/quorix_sim.h"

namespace {

struct ToolRun {
  int status;
  std::string output;  // stdout and stderr
};

ToolRun Tool(const std::string& arguments) {
  const std::string command = std::string("'") + QUORIX_TOOL + "' " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ToolRun run{-1, ""};
  if (pipe == nullptr) return run;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

struct Record {
  unsigned address;
  std::vector<std::uint8_t> data;
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

std::string HexRecord(unsigned type, unsigned address, const std::vector<std::uint8_t>& data) {
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

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(ToolFirmware, ARepackedSdccImageLoadsByteForByte) {
  const std::vector<Record> original = DataRecords(QUORIX_FIRMWARE "/blink.hex");
  ASSERT_GT(original.size(), 4u);
  const std::string wide = testing::TempDir() + "blink32.hex";
  const std::string packed = testing::TempDir() + "blink16.hex";
  const std::string sdcc = AsSdccWritesIt(original);
  WriteText(wide, sdcc);
  ASSERT_NE(sdcc.find(":20"), std::string::npos) << "the input has 32-byte records";

  const ToolRun refused = Tool("firmware check '" + wide + "'");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(
      refused.output.find("blink32.hex:5: the library refuses the file: it holds 32 data bytes"),
      std::string::npos)
      << refused.output;

  const ToolRun repack = Tool("firmware repack '" + wide + "' '" + packed + "'");
  ASSERT_EQ(repack.status, 0) << repack.output;
  EXPECT_EQ(Tool("firmware check '" + packed + "'").status, 0);
  // The same bytes, in the same order, in records the library takes.
  std::vector<std::uint8_t> in_order, repacked_order;
  for (const Record& r : original) in_order.insert(in_order.end(), r.data.begin(), r.data.end());
  for (const Record& r : DataRecords(packed)) {
    EXPECT_LE(r.data.size(), 16u);
    repacked_order.insert(repacked_order.end(), r.data.begin(), r.data.end());
  }
  EXPECT_EQ(repacked_order, in_order);

  // Loaded into the simulated board, the FX2's memory holds exactly the original image.
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDevice(0, &device), QUORIX_OK);
  ASSERT_EQ(QuorixLoadFirmware(device, packed.c_str()), QUORIX_OK);
  for (const Record& record : original) {
    std::vector<std::uint8_t> memory(record.data.size());
    ASSERT_EQ(QuorixSimReadMemory(1, static_cast<std::uint16_t>(record.address),
                                  static_cast<std::uint32_t>(memory.size()), memory.data()),
              0);
    EXPECT_EQ(memory, record.data) << "at " << record.address;
  }
  EXPECT_EQ(QuorixCloseDevice(device), QUORIX_OK);
}

TEST(ToolFirmware, RepackRefusesWhatTheFx2CannotHoldAndWritesNothing) {
  const std::string high = testing::TempDir() + "high.hex";
  const std::string out = testing::TempDir() + "high16.hex";
  std::remove(out.c_str());
  WriteText(high, HexRecord(4, 0, {0x00, 0x01}) + HexRecord(0, 0x10, {1, 2, 3}) + ":00000001FF\n");
  const ToolRun run = Tool("firmware repack '" + high + "' '" + out + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("high.hex:2: data beyond 64 KiB cannot be loaded into the FX2"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(std::ifstream(out).good());

  WriteText(high, ":0300100001020399\n");
  EXPECT_NE(Tool("firmware repack '" + high + "' '" + out + "'").output.find("checksum is wrong"),
            std::string::npos);
}

TEST(ToolFirmware, CheckSaysWhereTheDownloadStopsAndWhatItRefuses) {
  const std::string path = testing::TempDir() + "start.hex";
  WriteText(path, HexRecord(0, 0, {1, 2}) + HexRecord(5, 0, {0, 0, 0, 0}) + HexRecord(0, 2, {3}) +
                      ":00000001FF\n");
  ToolRun run = Tool("firmware check '" + path + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("start.hex:3: the library refuses the file: data follow the start "
                            "linear address record at line 2 before any end-of-file record"),
            std::string::npos)
      << run.output;

  WriteText(path, HexRecord(0, 0, {1, 2}) + ":00000001FF\n" + HexRecord(0, 2, {3}));
  run = Tool("firmware check '" + path + "'");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("1 data records, 2 bytes\nthe download stops at line 2 (end-of-file "
                            "record); 1 data records after it are not sent"),
            std::string::npos)
      << run.output;
}

TEST(ToolHelp, EveryCommandHasHelpAndAnEntryInTheReadme) {
  const ToolRun help = Tool("--help");
  ASSERT_EQ(help.status, 0);
  const std::string subcommands = help.output.substr(help.output.find("Subcommands:"));
  std::ifstream readme_file(QUORIX_README);
  std::stringstream readme;
  readme << readme_file.rdbuf();
  const std::string manual = readme.str().substr(readme.str().find("## The `quorix` tool"));
  const std::regex entry(R"(\n  ([a-z-]+) )");
  int commands = 0;
  for (std::sregex_iterator it(subcommands.begin(), subcommands.end(), entry), end; it != end;
       ++it) {
    const std::string name = (*it)[1];
    ++commands;
    EXPECT_EQ(Tool(name + " --help").status, 0) << name;
    EXPECT_NE(manual.find("`" + name), std::string::npos) << name << " is not in the README";
  }
  EXPECT_EQ(commands, 11);
}

}  // namespace
