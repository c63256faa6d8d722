// A soak: one board streams while the others are unplugged and plugged back at random, reads
// and writes come at random sizes, discovery runs between them, and a forked child finds the
// parent's device refused. Every byte read must follow the counter pattern, and detaching at
// the end must give back everything.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

using SoakTest = SimTest;

TEST_F(SoakTest, StreamingGoesOnWhileOtherBoardsComeAndGo) {
  sim::Board& streamer = AddBoard("SOAK-0");
  // 32 MiB/s against reads of half a MiB on average: the ring never fills, so no byte may be
  // missing. (A full ring loses data without a status when a write's poll finds the overrun.)
  streamer.rate = 32u << 20;
  std::vector<int> others;
  for (const char* serial : {"SOAK-1", "SOAK-2", "SOAK-3"}) others.push_back(AddBoard(serial).id);
  bus().LogWire(false);
  QuorixHandle device = nullptr;
  ASSERT_EQ(QuorixOpenDeviceWithSerial("SOAK-0", &device), QUORIX_OK);

  std::mt19937 random(20261208);
  std::vector<std::uint8_t> buffer(1 << 18);
  const Bytes command(4096, 0x3C);
  std::uint64_t position = 0;
  std::uint64_t replugs = 0;
  std::uint64_t writes = 0;
  bool forked = false;
  for (int step = 0; step < 4000; ++step) {
    const unsigned what = random() % 16;
    if (what < 9) {
      const std::uint32_t count = 1 + random() % static_cast<std::uint32_t>(buffer.size());
      ASSERT_EQ(QuorixReadDevice(device, count, buffer.data()), QUORIX_OK) << "step " << step;
      for (std::uint32_t i = 0; i < count; ++i) {
        if (buffer[i] != sim::CounterByte(position + i)) {
          FAIL() << "step " << step << ": byte " << position + i
                 << " breaks the pattern: " << int{buffer[i]} << " for "
                 << int{sim::CounterByte(position + i)} << " at " << i << " of " << count;
        }
      }
      position += count;
    } else if (what < 11) {
      const std::uint32_t count = 1 + random() % static_cast<std::uint32_t>(command.size());
      ASSERT_EQ(QuorixWriteDevice(device, count, command.data()), QUORIX_OK) << "step " << step;
      ++writes;
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
      std::uint32_t available = 0;
      ASSERT_EQ(QuorixNumberOfBytesAvailable(device, &available), QUORIX_OK);
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
  std::printf("soak: %llu bytes read in order, %llu writes, %llu re-plugs\n",
              static_cast<unsigned long long>(position), static_cast<unsigned long long>(writes),
              static_cast<unsigned long long>(replugs));
  EXPECT_TRUE(forked);
  EXPECT_GT(replugs, 100u);
  // The device stays open: detaching (the fixture's teardown) must release it with the rest.
}

}  // namespace
}  // namespace quorix::test
