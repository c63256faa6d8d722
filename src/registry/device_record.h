// One board as the library knows it, and the process-wide tables that hold the boards and
// the processes that loaded the library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "driver/port.h"
#include "driver/requests.h"

namespace quorix {

inline constexpr std::uint32_t kRingSize = 0x200000;   // 2 MiB receive ring per open device
inline constexpr std::uint32_t kBounceSize = 512;      // one high-speed bulk packet
inline constexpr std::uint32_t kDefaultTimeout = 200;  // milliseconds

// What lets several threads call on one board. The board's lock serialises the calls on it; a
// read or write that waits for the driver lets go of it meanwhile.
struct BoardSync {
  std::mutex lock;
  // Signalled when a read or write of the board ends, when a call leaves a closing board, and
  // when the board starts closing.
  std::condition_variable changed;
  // Calls past the gate and not yet returned: taken under the registry's lock, given back under
  // the board's, so that close can wait for them to leave.
  std::atomic<std::uint32_t> users{0};
};

struct ReadQueue;

// What a device's bulk IN has done since open; see QuorixStreamStatistics.
struct StreamStats {
  std::uint64_t bytes_received;
  std::uint64_t reads_completed;
  std::uint64_t gaps;
  std::uint64_t gap_total_us;
  std::uint64_t gap_longest_us;
  std::uint64_t ring_full;
  std::uint64_t ring_full_total_us;
  std::uint64_t ring_full_longest_us;
  std::uint64_t last_completion_us;
  std::uint64_t gap_since;        // when the current gap began; 0 while a read is posted
  std::uint64_t ring_full_since;  // when a read last found no room; 0 while one could be posted
};

struct DeviceRecord {
  // Made with the record and kept until it is dropped.
  BoardSync* sync;

  // Identity, read once by discovery.
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::uint16_t release_number;
  char* manufacturer;  // owned, or null when it could not be read
  char* product;       // owned, or null
  char* serial;        // owned, or null

  // The connection: null once the board's interface has gone.
  port::Handle driver;
  void* interface_path;  // owned detail block; its path text is at port::kDetailPathOffset

  // Open state. The open flag, the owner, closing and the connection above change only with
  // both the registry's lock and the board's held, so either lock lets them be read.
  std::int32_t open;
  std::uint32_t owner_pid;
  std::int32_t closing;               // a close (or the process's detach) has begun: calls give -4
  port::Overlapped write_overlapped;  // its event is created at open
  port::Overlapped read_overlapped;   // its event is created at open
  std::uint32_t timeout;              // transfer timeout in ms, 0 without limit

  // Receive ring.
  std::uint8_t* ring;    // ring_size bytes while open
  std::uint8_t* bounce;  // kBounceSize bytes while open
  std::int32_t bounce_flag;
  std::uint32_t read_index;
  std::uint32_t write_index;
  std::uint32_t ring_size;
  std::uint32_t read_limit;
  SingleTransfer read_header;
  std::uint32_t read_length;  // what the outstanding read asked for
  // 0 while a read is outstanding; the Windows code with which the driver refused the last
  // one otherwise. The overlapped record then still describes an older read, already
  // committed, so it must not be asked again.
  std::uint32_t read_refused;
  // 1 while no read is outstanding because the ring had less than a packet of room: the board
  // holds its data until the application makes room and the library next looks at the driver.
  std::int32_t read_deferred;

  // Reads kept queued (null for the classic read): several reads posted at once into the ring,
  // taken in in order, by the calls and by the pump, a thread of the library's own.
  ReadQueue* queue;
  port::Handle pump;  // the pump's thread, joined once it has left the closed device
  // Since the classic read last looked at the driver from inside QuorixReadDevice.
  std::uint32_t read_since_look;
  // What such a look found wrong, for the read to report once the ring is empty; 0 for nothing.
  std::int32_t look_failure;
  StreamStats stats;

  // Calls in progress on the board, under its lock: one read and one write at a time.
  std::int32_t reading;
  std::int32_t writing;
  // 1 while a read waits on the read event with the board's lock let go: whoever takes its
  // completion into the ring meanwhile signals the event, so that the read sees the bytes.
  std::int32_t read_waiting;

  // The data-ready signal the application waits on, made at its first request (null before),
  // and the bytes the ring must hold for it to be ready (0: one byte).
  port::Handle ready;
  std::uint32_t ready_threshold;
  // Tells this record from any other the process has had, for the plug watcher: a record's
  // address may be used again by the next one.
  std::uint64_t plug_id;
};

// Whether the classic read of the record is in the driver's hands (or may be): it has a ring,
// reads with the classic read, the last read was not refused, and none was deferred for want of
// room.
inline bool ReadPosted(const DeviceRecord* record) {
  return record->ring != nullptr && record->queue == nullptr && record->read_refused == 0 &&
         record->read_deferred == 0;
}

// The path text of a record's interface, or null when it has none.
inline const char* InterfacePathText(const DeviceRecord* record) {
  return record->interface_path == nullptr
             ? nullptr
             : static_cast<const char*>(record->interface_path) + port::kDetailPathOffset;
}

// The boards, each record in storage of its own so that its address (the device handle) and
// its overlapped records stay put while other records come and go.
struct DeviceRegistry {
  std::uint32_t count;
  DeviceRecord** records;  // count entries, or null when empty
};

struct ProcessEntry {
  port::Handle process;
  std::uint32_t pid;
};

struct ProcessTable {
  std::uint32_t count;
  ProcessEntry* entries;  // count entries, or null when empty
};

// The library's state in this process.
extern DeviceRegistry gRegistry;
extern ProcessTable gProcesses;

}  // namespace quorix
