// Request tracing: one line per driver request and per learned result, decoded, nothing at
// all when it is off, and never a call held up by where the lines go.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
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

#ifndef _WIN32
// FIFOs and the refusal of what is not a file, a device or a FIFO with a reader: POSIX only.
// Runs body in a child process with stderr into a file, and gives its exit status, or -1 when
// it had not ended after a minute (it is killed then), so that a hang fails the test.
int InChild(const std::function<void()>& body, const std::string& errors) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    body();
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(TraceTest, AFifoNeverHoldsACallUpAndWhatIsNotTakenIsSaidOnce) {
  const std::string fifo = path_ + ".fifo", errors = path_ + ".err";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto requests = [&](int count) {
    return [this, &fifo, count] {
      // The handle is the parent's: the child passes for it.
      bus().SetProcessId(static_cast<std::uint32_t>(getppid()));
      trace::Configure(fifo.c_str());
      std::uint8_t latch = 0;
      for (int i = 0; i < count; ++i)
        if (QuorixGetPortDOutputs(handle_, &latch) != QUORIX_OK) _exit(1);
    };
  };
  auto said = [&] {
    std::ifstream file(errors);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };

  // No reader: refused at once, with one line, and traced to stderr instead.
  EXPECT_EQ(InChild(requests(1), errors), 0) << "the first call hung";
  EXPECT_EQ(said().rfind("quorix: QUORIX_TRACE=" + fifo +
                             " is refused: it is a FIFO that no program is reading; tracing to "
                             "stderr\nquorix trace +",
                         0),
            0u)
      << said();

  // A reader that never reads: the pipe fills, and the calls go on all the same.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(InChild(requests(3000), errors), 0) << "a call hung on a full FIFO";
  EXPECT_EQ(said(), "");
  char first[15] = {};
  EXPECT_EQ(read(reader, first, 14), 14);
  EXPECT_STREQ(first, "quorix trace +");
  close(reader);
  std::remove(fifo.c_str());
  std::remove(errors.c_str());

  // Neither a file, a device nor a FIFO.
  testing::internal::CaptureStderr();
  trace::Configure(testing::TempDir().c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quorix: QUORIX_TRACE=" + testing::TempDir() +
                " is refused: Is a directory; tracing to stderr\n");
}

#endif

}  // namespace
}  // namespace quorix::test
