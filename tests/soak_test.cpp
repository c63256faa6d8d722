// A soak: one board streams while the others are unplugged and plugged back at random, reads
// and writes come at random sizes, discovery runs between them, the streaming board itself
// goes and comes back now and then, and a forked child finds the parent's device refused. Every
// byte read must follow the counter pattern with no gap and no overrun, and detaching at the
// end must give back everything.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

using SoakTest = SimTest;

// Follows the counter pattern across reads: every byte must continue it.
class Pattern {
 public:
  testing::AssertionResult Check(const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (bytes[i] != sim::CounterByte(position_ + i)) {
        return testing::AssertionFailure()
               << "byte " << position_ + i << " breaks the pattern: " << int{bytes[i]} << " for "
               << int{sim::CounterByte(position_ + i)} << " at " << i << " of " << count;
      }
    }
    position_ += count;
    in_order_ += count;
    return testing::AssertionSuccess();
  }
  // The board was configured again: the stream starts at 0.
  void Restart() { position_ = 0; }
  std::uint64_t in_order() const { return in_order_; }

 private:
  std::uint64_t position_ = 0;
  std::uint64_t in_order_ = 0;
};

TEST_F(SoakTest, StreamingGoesOnWhileOtherBoardsComeAndGo) {
  sim::Board& streamer = AddBoard("SOAK-0");
  // About as fast as the reads take it, so that the ring now and then fills and the board
  // must wait.
  streamer.rate = 32u << 20;
  std::vector<int> others;
  for (const char* serial : {"SOAK-1", "SOAK-2", "SOAK-3"}) others.push_back(AddBoard(serial).id);
  bus().LogWire(false);
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDeviceWithSerial("SOAK-0", &device), QUORIX_OK);

  std::mt19937 random(20261208);
  std::vector<std::uint8_t> buffer(1 << 18);
  const Bytes command(4096, 0x3C);
  Pattern pattern;
  std::uint64_t replugs = 0, writes = 0, streamer_replugs = 0;
  auto available = [&](int step) -> std::uint32_t {
    std::uint32_t count = 0;
    EXPECT_EQ(QuorixNumberOfBytesAvailable(device, &count), QUORIX_OK) << "step " << step;
    return count;
  };
  bool forked = false;
  for (int step = 0; step < 4000; ++step) {
    const unsigned what = random() % 16;
    if (what < 9) {
      const std::uint32_t count = 4 + random() % static_cast<std::uint32_t>(buffer.size() - 4);
      ASSERT_EQ(QuorixReadDevice(device, count, buffer.data()), QUORIX_OK) << "step " << step;
      ASSERT_TRUE(pattern.Check(buffer.data(), count)) << "step " << step;
    } else if (what < 11) {
      // A write's poll takes a completion in and never drops the ring: an overrun found there
      // would return 0 all the same, and only the ring's level would show it.
      const std::uint32_t before = available(step);
      const std::uint32_t count = 1 + random() % static_cast<std::uint32_t>(command.size());
      ASSERT_EQ(QuorixWriteDevice(device, count, command.data()), QUORIX_OK) << "step " << step;
      ++writes;
      ASSERT_GE(available(step), before) << "step " << step;
    } else if (what < 14) {
      const int board = others[random() % others.size()];
      if (!bus().Unplug(board)) {
        ASSERT_TRUE(bus().Replug(board));
        ++replugs;
      }
      std::int32_t count = 0;
      ASSERT_EQ(QuorixCountDevices(&count), QUORIX_OK);
      ASSERT_EQ(static_cast<std::size_t>(count), bus().Listed().size()) << "step " << step;
    } else if (what == 14) {
      (void)available(step);
    } else if (forked && random() % 4 == 0) {
      // The streaming board itself goes. What the ring held still reads in order, then a read
      // fails; once closed, the board comes back and its pattern starts again at 0.
      ASSERT_TRUE(bus().Unplug(streamer.id));
      int status = QUORIX_OK;
      while (status == QUORIX_OK) {
        const std::uint32_t count = 4 + random() % 4096;
        status = QuorixReadDevice(device, count, buffer.data());
        if (status == QUORIX_OK) {
          ASSERT_TRUE(pattern.Check(buffer.data(), count)) << "step " << step;
        }
      }
      EXPECT_EQ(status, static_cast<int>(port::error::kDeviceNotConnected)) << "step " << step;
      ASSERT_EQ(QuorixCloseDevice(device), QUORIX_OK);
      ASSERT_TRUE(bus().Replug(streamer.id));
      ASSERT_EQ(QuorixOpenDeviceWithSerial("SOAK-0", &device), QUORIX_OK) << "step " << step;
      pattern.Restart();
      ++streamer_replugs;
    } else if (!forked) {
      forked = true;
      const pid_t child = fork();
      ASSERT_NE(child, -1);
      if (child == 0) {
        std::uint8_t byte = 0;
        const bool refused = QuorixReadDevice(device, 1, &byte) == QUORIX_ERR_NOT_OPEN &&
                             QuorixCloseDevice(device) == QUORIX_ERR_NOT_OPEN;
        _exit(refused ? 0 : 1);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0) << "the child was let in";
    }
    bus().PassTime(random() % 5);
  }
  std::printf(
      "soak: %llu bytes read in order, %llu writes, %llu re-plugs of other boards and %llu of "
      "the streaming one, 0 overruns\n",
      static_cast<unsigned long long>(pattern.in_order()), static_cast<unsigned long long>(writes),
      static_cast<unsigned long long>(replugs), static_cast<unsigned long long>(streamer_replugs));
  EXPECT_TRUE(forked);
  EXPECT_GT(replugs, 100u);
  EXPECT_GT(streamer_replugs, 10u);
  EXPECT_GT(pattern.in_order(), 100u << 20);
  // The device stays open: detaching (the fixture's teardown) must release it with the rest.
}

}  // namespace
}  // namespace quorix::test
