// The simulated board's state file: what it keeps, and that nothing but a whole, intact file
// of its own kind is taken.
#include "sim/state_file.h"

#include <gtest/gtest.h>

#include "support/sim_test.h"

namespace quorix::test {
namespace {

sim::Board Changed(const std::string& serial) {
  sim::Board board;
  board.identity.serial = serial;
  board.port_d = 0x5A;
  board.port_d_enable = 0xF0;
  board.fpga_mode = 3;
  board.cpu_reset = true;
  board.eeproms.at(1).Write(0x0100, Bytes{'h', 'e', 'l', 'l', 'o'});
  board.eeproms[7].bytes.assign(sim::kEepromSize, 0x77);
  board.program_ram[0] = 0x02;
  board.program_ram[0x3FFF] = 0x99;
  board.scratch_ram[0x1FF] = 0x42;
  return board;
}

TEST(SimState, ABoardComesBackAsItWasSaved) {
  const sim::Board saved = Changed("QX-SIM-0001");
  const std::vector<std::uint8_t> file =
      sim::Serialize({sim::StateOf(saved), sim::StateOf(Changed("QX-SIM-0002"))});

  std::vector<sim::BoardState> boards;
  std::string reason;
  ASSERT_TRUE(sim::Parse(file, &boards, &reason)) << reason;
  ASSERT_EQ(boards.size(), 2u);
  EXPECT_EQ(boards[1].serial, "QX-SIM-0002");
  sim::Board fresh;
  sim::Restore(fresh, boards[0]);
  EXPECT_EQ(fresh.port_d, 0x5A);
  EXPECT_EQ(fresh.port_d_enable, 0xF0);
  EXPECT_EQ(fresh.fpga_mode, 3);
  EXPECT_TRUE(fresh.cpu_reset);
  ASSERT_EQ(fresh.eeproms.size(), 2u);
  EXPECT_EQ(fresh.eeproms.at(1).bytes, saved.eeproms.at(1).bytes);
  EXPECT_EQ(fresh.eeproms.at(1).Read(0x0100, 5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(fresh.eeproms.at(7).bytes, saved.eeproms.at(7).bytes);
  EXPECT_EQ(fresh.program_ram, saved.program_ram);
  EXPECT_EQ(fresh.scratch_ram, saved.scratch_ram);
  // What is not a board's state starts afresh.
  EXPECT_TRUE(fresh.port_d_writes.empty());
  EXPECT_EQ(fresh.identity.serial, "QX-SIM-0001");
}

TEST(SimState, ADamagedForeignOrShortFileIsRefusedWhole) {
  const std::vector<std::uint8_t> file = sim::Serialize({sim::StateOf(Changed("S"))});
  std::vector<sim::BoardState> boards;
  std::string reason;
  auto refused = [&](const std::vector<std::uint8_t>& bytes) {
    boards.assign(1, {});
    return !sim::Parse(bytes, &boards, &reason) && boards.empty();
  };

  // Any changed byte: the header's, the checksum's, and a sample of the rest.
  for (std::size_t at = 0; at < file.size(); at += at < 64 || at + 64 > file.size() ? 1 : 97) {
    std::vector<std::uint8_t> damaged = file;
    damaged[at] ^= 0x01;
    EXPECT_TRUE(refused(damaged)) << "byte " << at;
  }
  for (std::size_t size :
       {std::size_t{0}, std::size_t{15}, std::size_t{20}, file.size() / 2, file.size() - 1})
    EXPECT_TRUE(refused({file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)}))
        << size << " bytes";
  std::vector<std::uint8_t> longer = file;
  longer.push_back(0);
  EXPECT_TRUE(refused(longer));

  EXPECT_TRUE(refused(std::vector<std::uint8_t>(file.size(), 0xFF)));
  EXPECT_EQ(reason, "it is not a quorix-sim state file");
  std::vector<std::uint8_t> newer = file;
  newer[16] = 2;  // the format version
  EXPECT_TRUE(refused(newer));
  EXPECT_EQ(reason, "it has format version 2, not 1");

  // A file of no boards is a file all the same.
  EXPECT_TRUE(sim::Parse(sim::Serialize({}), &boards, &reason)) << reason;
  EXPECT_TRUE(boards.empty());
}

}  // namespace
}  // namespace quorix::test
