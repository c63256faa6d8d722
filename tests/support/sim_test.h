// A test of the core over the simulated bus: each test starts with an empty bus on virtual
// time and an attached process, and ends by detaching, after which nothing may be left.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/requests.h"
#include "driver/sim/sim.h"
#include "quorix/quorix.h"
#include "registry/device_record.h"
#include "registry/discovery.h"
#include "registry/registry.h"

namespace quorix::test {

using Bytes = std::vector<std::uint8_t>;

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

  // (code, endpoint) of every pipe request, in order.
  static std::vector<std::pair<std::uint32_t, std::uint8_t>> PipeRequests() {
    std::vector<std::pair<std::uint32_t, std::uint8_t>> pipes;
    for (const auto& entry : bus().Wire())
      if (entry.code == kIoctlAbortPipe || entry.code == kIoctlResetPipe)
        pipes.emplace_back(entry.code, entry.in.empty() ? 0 : entry.in[0]);
    return pipes;
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
