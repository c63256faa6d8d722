// The image reader and the download, and a real sdcc-built image through the simulated FX2.
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "firmware/firmware.h"
#include "quorix/quorix_sim.h"
#include "support/sim_test.h"

namespace quorix::test {
namespace {

struct Line {
  std::uint8_t length;
  std::uint16_t address;
  std::int32_t type;
  Bytes data;
  bool operator==(const Line&) const = default;
};

// The image as read from text: the records, or nothing when the reader refused it.
std::optional<std::vector<Line>> Read(const std::string& text) {
  FirmwareList list{};
  if (ReadFirmwareText(text.data(), text.size(), &list) != QUORIX_OK) {
    EXPECT_EQ(list.records, nullptr);
    return std::nullopt;
  }
  std::vector<Line> lines;
  for (std::uint32_t i = 0; i < list.count; ++i) {
    const FirmwareRecord& r = list.records[i];
    lines.push_back({r.length, r.address, r.type, Bytes(r.data, r.data + r.length)});
  }
  ReleaseFirmwareList(&list);
  return lines;
}

// Whether a file read left anything open. POSIX systems count the process's descriptors;
// on Windows an open C-runtime file refuses to be renamed.
class OpenFileCheck {
 public:
  explicit OpenFileCheck(std::string path) : path_(std::move(path)), before_(Descriptors()) {}

  bool AllClosed() const {
#ifdef _WIN32
    const std::string moved = path_ + ".moved";
    if (!MoveFileA(path_.c_str(), moved.c_str())) return GetLastError() == ERROR_FILE_NOT_FOUND;
    return MoveFileA(moved.c_str(), path_.c_str()) != FALSE;
#else
    return Descriptors() == before_;
#endif
  }

 private:
  static std::size_t Descriptors() {
    std::size_t count = 0;
#ifndef _WIN32
    if (DIR* dir = opendir("/proc/self/fd")) {
      while (readdir(dir) != nullptr) ++count;
      closedir(dir);
    }
#endif
    return count;
  }

  std::string path_;
  std::size_t before_;
};

const std::string kSixteen = ":10010000000102030405060708090A0B0C0D0E0F00\n";
const std::string kSeventeen =
    ":1101000000010203040506070809"
    "0A0B0C0D0E0F1000\n";

// Texts that are images, with what they read as.
const std::vector<std::pair<std::string, std::vector<Line>>> kImages = {
    {"", {}},
    {":0400100001020304E2\n", {{4, 0x0010, 0, {1, 2, 3, 4}}}},
    {":00000001FF", {{0, 0, 1, {}}}},  // no line end at the end of the file
    {":00000001FF\r\n", {{0, 0, 1, {}}}},
    {":0400100001020304FF\n", {{4, 0x0010, 0, {1, 2, 3, 4}}}},  // checksum not read
    {":04ab1000deadbeefE2\n", {{4, 0xAB10, 0, {0xDE, 0xAD, 0xBE, 0xEF}}}},
    {kSixteen, {{16, 0x0100, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}}},
    // Read on after the end-of-file record; an extended-address record is only stored.
    {":00000001FF\n:020000040001F9\n:0100000042BD\n",
     {{0, 0, 1, {}}, {2, 0, 4, {0x00, 0x01}}, {1, 0, 0, {0x42}}}},
};

// Texts the reader refuses.
const std::vector<std::string> kRefused = {
    ":00000001FF\n\n",  // a blank line at the end
    "\n",
    " :00000001FF\n",
    "00000001FF\n",
    kSeventeen,
    ":00000001FF\nX\n",  // after the end-of-file record too
    ":0000000\n",        // too short for the type
    ":0400100001020\n",  // too short for its data
    std::string(":04001000010\0"
                "20304E2\n",
                21),  // the text of the line ends at its NUL
    ":zz000001FF\n",  // fields that are no hexadecimal number
    ":00zzzz01FF\n",
    ":000000zzFF\n",
    ":0200000001zz\n",
    ":10" + std::string(600, '0') + "\n",  // the rest of a long line is a line of its own
};

TEST(FirmwareReader, ReadsEveryLineAtItsFixedPositions) {
  for (const auto& [text, lines] : kImages) EXPECT_EQ(Read(text), lines) << text;
  for (const auto& text : kRefused) EXPECT_FALSE(Read(text)) << text;

  // The list grows past its first block; running out of memory on the way refuses the image.
  std::string long_image;
  for (int i = 0; i < 200; ++i) long_image += ":0100050042B8\n";
  ASSERT_EQ(Read(long_image)->size(), 200u);
  sim::TheBus().FailNth(sim::Op::kAllocate, 2, 0);
  EXPECT_FALSE(Read(long_image));
  EXPECT_EQ(sim::TheBus().LiveBlocks(), 0u);
  sim::TheBus().ClearFaults();
}

// The file reader gives what the text reader gives, and closes the file on every path.
TEST(FirmwareReader, FilesReadAsTextAndAreAlwaysClosed) {
  const std::string path = testing::TempDir() + "quorix_image.hex";
  FirmwareList list{};
  const OpenFileCheck files(path);
  std::uint32_t count = 0;
  auto read_file = [&](const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    const int status = ReadFirmwareImage(path.c_str(), &list);
    count = list.count;
    ReleaseFirmwareList(&list);
    EXPECT_TRUE(files.AllClosed()) << text;
    return status;
  };
  for (const auto& [text, lines] : kImages) {
    EXPECT_EQ(read_file(text), QUORIX_OK) << text;
    EXPECT_EQ(count, lines.size()) << text;
  }
  for (const auto& text : kRefused) EXPECT_EQ(read_file(text), QUORIX_ERR_FAILED) << text;
  EXPECT_TRUE(files.AllClosed());
  std::remove(path.c_str());

  EXPECT_EQ(ReadFirmwareImage(path.c_str(), &list), QUORIX_ERR_FAILED);  // gone
  EXPECT_EQ(ReadFirmwareImage(nullptr, &list), QUORIX_ERR_FAILED);
  // A directory opens on some systems but cannot be read: no empty image.
  EXPECT_EQ(ReadFirmwareImage(testing::TempDir().c_str(), &list), QUORIX_ERR_FAILED);
  EXPECT_EQ(list.records, nullptr);
  EXPECT_TRUE(files.AllClosed());
}

using LoadList = std::vector<std::pair<std::uint16_t, Bytes>>;

class DownloadTest : public OpenDeviceTest {
 protected:
  void SetUp() override {
    OpenDeviceTest::SetUp();
    bus().ClearWire();
    // A name of each test's own: ctest runs tests of this suite at the same time.
    path_ = testing::TempDir() + "quorix_download_" +
            testing::UnitTest::GetInstance()->current_test_info()->name() + ".hex";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    OpenDeviceTest::TearDown();
  }
  int Load(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    return QuorixLoadFirmware(handle_, path_.c_str());
  }
  // Each firmware-load request as (address, data stage).
  static LoadList Loads() {
    LoadList loads;
    for (const auto& entry : VendorRequests()) {
      EXPECT_EQ(entry.in[0], 0x40);
      EXPECT_EQ(entry.in[1], 0xA0);
      EXPECT_EQ(entry.in[4] | entry.in[5], 0);  // wIndex 0
      loads.emplace_back(static_cast<std::uint16_t>(entry.in[2] | entry.in[3] << 8), Stage(entry));
    }
    return loads;
  }
  std::string path_;
};

const std::pair<std::uint16_t, Bytes> kHold{0xE600, {0x01}}, kRelease{0xE600, {0x00}};

TEST_F(DownloadTest, HoldsTheCpuWritesEachDataRecordInOrderAndReleases) {
  ASSERT_EQ(Load(":0300100001020300\n:00002000E0\n:02001100AABBCC\n:00000001FF\n"
                 ":0100300099FF\n"),
            QUORIX_OK);
  EXPECT_EQ(Loads(),
            (LoadList{kHold, {0x0010, {1, 2, 3}}, {0x0020, {}}, {0x0011, {0xAA, 0xBB}}, kRelease}));
  EXPECT_EQ(Bytes(board_->program_ram.begin() + 0x10, board_->program_ram.begin() + 0x14),
            (Bytes{1, 0xAA, 0xBB, 0}));     // the later record wins
  EXPECT_EQ(board_->program_ram[0x30], 0);  // behind the end-of-file record
  EXPECT_EQ(board_->cpu_history, (std::vector<bool>{true, false}));
  EXPECT_FALSE(board_->cpu_reset);
}

TEST_F(DownloadTest, ImagesWithoutEndAreSentWholeAndNonDataEndsThem) {
  EXPECT_EQ(Load(""), QUORIX_OK);
  EXPECT_EQ(Loads(), (LoadList{kHold, kRelease}));
  bus().ClearWire();
  EXPECT_EQ(Load(":0100050042B8\n"), QUORIX_OK);
  EXPECT_EQ(Loads(), (LoadList{kHold, {0x0005, {0x42}}, kRelease}));
  bus().ClearWire();
  // A start-address record ends it; only non-data records may follow it.
  EXPECT_EQ(Load(":0100050042B8\n:0400000500000000F7\n:00000001FF\n:0100060043B6\n"), QUORIX_OK);
  EXPECT_EQ(Loads(), (LoadList{kHold, {0x0005, {0x42}}, kRelease}));
}

TEST_F(DownloadTest, DataBehindAnAddressRecordAreRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(Load(":0100050042B8\n:020000040001F9\n:0100000042BD\n:00000001FF\n"),
            QUORIX_ERR_FAILED);
  EXPECT_EQ(Load(":020000020000FC\n:0100000042BD\n"), QUORIX_ERR_FAILED);
  EXPECT_EQ(Load(":10000000"), QUORIX_ERR_FAILED);  // and malformed files
  EXPECT_EQ(QuorixLoadFirmware(handle_, "/nonexistent/image.hex"), QUORIX_ERR_FAILED);
  EXPECT_TRUE(VendorRequests().empty());
  EXPECT_FALSE(board_->cpu_reset);
}

TEST_F(DownloadTest, AFailedRequestStopsTheDownload) {
  const std::string image = ":0100050042B8\n:0100060043B6\n:0100070044B4\n:00000001FF\n";
  bus().FailNth(sim::Op::kIoControl, 1, 121);
  EXPECT_EQ(Load(image), 121);
  EXPECT_EQ(Loads().size(), 1u);  // the hold only

  bus().ClearWire();
  bus().FailNth(sim::Op::kIoControl, 3, 31);  // the second data record
  EXPECT_EQ(Load(image), 31);
  EXPECT_EQ(Loads(), (LoadList{kHold, {0x0005, {0x42}}, {0x0006, {0x43}}}));
  EXPECT_TRUE(board_->cpu_reset);                    // no release was sent
  EXPECT_EQ(QuorixSetPortDOutputs(handle_, 1), 31);  // the board's firmware is not running

  // The board stalls what lies outside the FX2's RAM.
  EXPECT_EQ(Load(":01400000AA15\n:00000001FF\n"), 31);
  EXPECT_EQ(Load(":01E1FF00AA75\n:00000001FF\n"), QUORIX_OK);
  EXPECT_EQ(board_->scratch_ram[0x1FF], 0xAA);
}

// Parses Intel HEX independently of the library, checking every checksum.
std::map<std::uint16_t, std::uint8_t> ParseImage(const std::string& path) {
  std::map<std::uint16_t, std::uint8_t> memory;
  std::ifstream file(path);
  std::string line;
  auto byte = [&](std::size_t at) {
    return static_cast<std::uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16));
  };
  while (std::getline(file, line)) {
    const std::uint8_t count = byte(1);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 5u + count; ++i)
      sum = static_cast<std::uint8_t>(sum + byte(1 + 2 * i));
    EXPECT_EQ(sum, 0) << line;
    if (byte(7) == 1) break;
    EXPECT_EQ(byte(7), 0) << line;
    const auto address = static_cast<std::uint16_t>(byte(3) << 8 | byte(5));
    for (std::size_t i = 0; i < count; ++i)
      memory[static_cast<std::uint16_t>(address + i)] = byte(9 + 2 * i);
  }
  return memory;
}

TEST_F(DownloadTest, ARealSdccImageLandsByteForByte) {
  const std::string image = QUORIX_TEST_DATA "/blink.hex";
  const auto expected = ParseImage(image);
  ASSERT_GT(expected.size(), 100u);
  ASSERT_EQ(QuorixLoadFirmware(handle_, image.c_str()), QUORIX_OK);
  EXPECT_EQ(Loads().size(), 2u + 17u);  // hold, 17 data records, release
  Bytes ram(sim::kProgramRamSize);
  ASSERT_EQ(QuorixSimReadMemory(board_->id, 0, sim::kProgramRamSize, ram.data()), QUORIX_OK);
  for (std::uint32_t address = 0; address < ram.size(); ++address) {
    auto found = expected.find(static_cast<std::uint16_t>(address));
    ASSERT_EQ(ram[address], found == expected.end() ? 0 : found->second) << address;
  }
  EXPECT_EQ(QuorixSimCpuRunning(board_->id), 1);
}

}  // namespace
}  // namespace quorix::test
