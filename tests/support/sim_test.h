// A test of the core over the simulated bus: each test starts with an empty bus on virtual
// time and an attached process, and ends by detaching, after which nothing may be left.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/requests.h"
#include "sim/bus.h"
#include "quorix/quorix.h"
#include "registry/device_record.h"
#include "registry/discovery.h"
#include "registry/registry.h"
#include "stream/stream.h"

namespace quorix::test {

using Bytes = std::vector<std::uint8_t>;

// count bytes of the counter pattern from position on.
inline Bytes Counter(std::uint64_t position, std::size_t count) {
  Bytes bytes(count);
  sim::FillCounter(bytes.data(), position, count);
  return bytes;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus().Reset();
    bus().UseVirtualClock(true);
    ProcessAttach();
  }

  void TearDown() override {
    bus().ClearFaults();
    ProcessDetach();
    EXPECT_EQ(gRegistry.count, 0u);
    EXPECT_EQ(gRegistry.records, nullptr);
    EXPECT_EQ(gProcesses.count, 0u);
    EXPECT_EQ(gProcesses.entries, nullptr);
    EXPECT_EQ(bus().LiveBlocks(), 0u) << "heap blocks left behind";
    EXPECT_EQ(bus().LiveHandles(), 0u) << "handles left open";
  }

  static sim::Bus& bus() { return sim::TheBus(); }

  static sim::Board& AddBoard(const std::string& serial, std::uint16_t vendor = 0xDEAD,
                              std::uint16_t product = 0xBEEF) {
    sim::BoardIdentity identity;
    identity.serial = serial;
    identity.vendor = vendor;
    identity.product = product;
    return bus().AddBoard(identity);
  }

  static std::int32_t Count() {
    std::int32_t count = -1;
    EXPECT_EQ(QuorixCountDevices(&count), QUORIX_OK);
    return count;
  }

  // The serial numbers of the registry's records in registry order ("-" for none).
  static std::vector<std::string> RegistrySerials() {
    std::vector<std::string> serials;
    for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
      const char* serial = GetDeviceAt(i)->serial;
      serials.emplace_back(serial != nullptr ? serial : "-");
    }
    return serials;
  }

  // The registry's record with this serial number, or null.
  static DeviceRecord* RecordOf(const std::string& serial) {
    for (std::uint32_t i = 0; i < GetDeviceCount(); ++i) {
      const char* s = GetDeviceAt(i)->serial;
      if (s != nullptr && serial == s) return GetDeviceAt(i);
    }
    return nullptr;
  }

  // The wire entries of one I/O control code, in order.
  static std::vector<sim::WireEntry> Requests(std::uint32_t code) {
    std::vector<sim::WireEntry> found;
    for (const auto& entry : bus().Wire())
      if (entry.code == code) found.push_back(entry);
    return found;
  }

  static std::vector<Bytes> ControlSetups() {
    std::vector<Bytes> setups;
    for (const auto& entry : Requests(kIoctlControlTransfer)) setups.push_back(entry.SetupBytes());
    return setups;
  }

  // The vendor requests on endpoint 0, in order.
  static std::vector<sim::WireEntry> VendorRequests() {
    std::vector<sim::WireEntry> found;
    for (const auto& entry : Requests(kIoctlControlTransfer))
      if (!entry.in.empty() && (entry.in[0] & 0x60) == 0x40) found.push_back(entry);
    return found;
  }

  // The data stage a request carried to the driver: what follows the 38-byte header.
  static Bytes Stage(const sim::WireEntry& entry) {
    if (entry.in.size() <= kHeaderSize) return {};
    return {entry.in.begin() + kHeaderSize, entry.in.end()};
  }

  // (code, endpoint) of every pipe request, in order.
  static std::vector<std::pair<std::uint32_t, std::uint8_t>> PipeRequests() {
    std::vector<std::pair<std::uint32_t, std::uint8_t>> pipes;
    for (const auto& entry : bus().Wire())
      if (entry.code == kIoctlAbortPipe || entry.code == kIoctlResetPipe)
        pipes.emplace_back(entry.code, entry.in.empty() ? 0 : entry.in[0]);
    return pipes;
  }

  // A board whose bulk IN sends only what the test pushes.
  static sim::Board& QuietBoard(const std::string& serial = "S") {
    sim::Board& board = AddBoard(serial);
    board.source = sim::Source::kNone;
    return board;
  }

  static QuorixHandle Open(std::int32_t index = 0) {
    QuorixHandle handle = nullptr;
    EXPECT_EQ(QuorixOpenDevice(index, &handle), QUORIX_OK);
    return handle;
  }

  static DeviceRecord* Record(QuorixHandle handle) { return RecordOfHandle(handle); }

  // The bulk transfers handed to the driver for one endpoint, in order.
  static std::vector<sim::WireEntry> Transfers(std::uint8_t endpoint) {
    std::vector<sim::WireEntry> found;
    for (const auto& entry : Requests(kIoctlDirectTransfer))
      if (entry.in.size() > 13 && entry.in[13] == endpoint) found.push_back(entry);
    return found;
  }

  static std::uint32_t Available(QuorixHandle handle, int expected_status = QUORIX_OK) {
    std::uint32_t count = 0xDEADDEAD;
    EXPECT_EQ(QuorixNumberOfBytesAvailable(handle, &count), expected_status);
    return count;
  }

  // Ends the outstanding read, puts the ring's indices at r and w, and posts the next read
  // from there, as if the ring had come to that state by itself.
  void Repost(sim::Board& board, DeviceRecord* record, std::uint32_t r, std::uint32_t w) {
    bus().FailPending(board.id, kEndpointBulkIn, port::error::kOperationAborted);
    record->read_index = r;
    record->write_index = w;
    ASSERT_EQ(PostRead(record), QUORIX_OK);
  }

  // Gives a record the open state that opening a device gives it: events and buffers from
  // the port, the open flag and this process as owner.
  static void MarkOpen(DeviceRecord* record) {
    record->read_overlapped.event = port::NewEvent(false);
    record->write_overlapped.event = port::NewEvent(false);
    record->ring = static_cast<std::uint8_t*>(port::Allocate(record->ring_size));
    record->bounce = static_cast<std::uint8_t*>(port::Allocate(kBounceSize));
    record->open = 1;
    record->owner_pid = port::ProcessId();
  }
};

// A test with one open device on a quiet board (bulk IN sends only what the test pushes);
// the device is closed again before the test's checks of what is left.
class OpenDeviceTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    board_ = &QuietBoard();
    handle_ = Open();
    record_ = Record(handle_);
  }
  void TearDown() override {
    EXPECT_EQ(QuorixCloseDevice(handle_), QUORIX_OK);
    SimTest::TearDown();
  }
  // Queues count bytes of the counter pattern, from position from on, on bulk IN.
  void Push(std::size_t count, std::uint64_t from = 0) { board_->PushIn(Counter(from, count)); }

  sim::Board* board_ = nullptr;
  QuorixHandle handle_ = nullptr;
  DeviceRecord* record_ = nullptr;
};

// The pipe sequence of one ResetBulkPipes.
inline std::vector<std::pair<std::uint32_t, std::uint8_t>> PipeSequence(int times = 1) {
  std::vector<std::pair<std::uint32_t, std::uint8_t>> sequence;
  for (int i = 0; i < times; ++i) {
    sequence.insert(sequence.end(), {{kIoctlAbortPipe, 0x02},
                                     {kIoctlAbortPipe, 0x86},
                                     {kIoctlResetPipe, 0x02},
                                     {kIoctlResetPipe, 0x86}});
  }
  return sequence;
}

}  // namespace quorix::test
