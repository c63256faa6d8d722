// Request tracing: one line per driver request and per learned result, decoded, and nothing
// at all when it is off.
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "driver/trace.h"
#include "support/sim_test.h"

namespace quorix::test {
namespace {

class TraceTest : public OpenDeviceTest {
 protected:
  void SetUp() override {
    // A name of this run's own, so that runs at once do not share a file.
    path_ = testing::TempDir() + "quorix_trace_" + std::to_string(std::random_device()()) + ".txt";
    OpenDeviceTest::SetUp();
  }
  void TearDown() override {
    trace::Configure(nullptr);
    OpenDeviceTest::TearDown();
    std::remove(path_.c_str());
  }
  std::vector<std::string> Lines() const {
    std::ifstream file(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
  static bool Has(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
  }
  std::string path_;
};

TEST_F(TraceTest, EachRequestAndEachResultIsOneDecodedLine) {
  trace::Configure(path_.c_str());
  ASSERT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
  handle_ = Open();
  std::uint8_t block[4] = {};
  ASSERT_EQ(QuorixReadEprom(handle_, 1, 0x1FFC, 4, block), QUORIX_OK);
  Push(1000);
  std::uint8_t data[1000];
  ASSERT_EQ(QuorixReadDevice(handle_, sizeof data, data), QUORIX_OK);
  bus().FailNth(sim::Op::kIoControl, 1, 121);
  EXPECT_EQ(QuorixSetPortDOutputs(handle_, 0x5A), 121);  // the error survives the tracing

  const auto lines = Lines();
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("quorix trace +", 0), 0u) << line;
  // Each part in its own line, in this order.
  const std::vector<std::string> expected = {
      "abort pipe 0x02 -> ok (",
      "abort pipe 0x86 -> ok (",
      "reset pipe 0x02 -> ok (",
      "reset pipe 0x86 -> ok (",
      "control 00 09 value 0001 index 0000 length 0 -> ok (",
      "bulk-in 0x86 length 2096640 -> pending",
      "control 40 b0 value 0000 index 0001 length 2 out: 1f fc -> ok (",
      "control c0 b0 value 0000 index 0001 length 4 -> ok, in: 01 01 ff ff (",
      "bulk-in 0x86 length 2096640 completed -> ok, 1000 bytes (",
      "bulk-in 0x86 length 2096128 -> pending",
      "control 40 b2 value 0000 index 0000 length 1 out: 5a -> error 121 ("};
  std::size_t at = 0;
  for (const std::string& part : expected) {
    while (at < lines.size() && !Has(lines[at], part)) ++at;
    ASSERT_LT(at, lines.size()) << "no line with \"" << part << "\" in its place";
    ++at;
  }
  EXPECT_TRUE(Has(lines.back(), "ms)"));
}

TEST_F(TraceTest, OffItWritesNothing) {
  trace::Configure(path_.c_str());
  trace::Configure("");
  std::uint8_t latch = 0;
  ASSERT_EQ(QuorixGetPortDOutputs(handle_, &latch), QUORIX_OK);
  ASSERT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
  handle_ = Open();
  EXPECT_TRUE(Lines().empty());
}

}  // namespace
}  // namespace quorix::test
