// The board model: what one simulated board is and answers, whichever way it is reached (the
// in-process bus, umockdev's usbfs, usbredir to a QEMU guest). The Windows test board mirrors it.
//
// The board side answers the standard requests from its descriptors, runs the board's firmware
// (port D, FPGA mode, EEPROM), the FX2 core (RAM, CPUCS) and the bulk endpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quorix::sim {

inline constexpr std::uint32_t kPacketSize = 512;  // high-speed bulk packets
// The endpoint buffering of the FX2 (four 512-byte buffers): the board FIFO a board starts
// with, what the IN source can produce ahead of the reads before it stalls or drops.
inline constexpr std::uint32_t kSourceFifo = 4 * kPacketSize;
inline constexpr std::uint32_t kRateUnlimited = 0xFFFFFFFF;
inline constexpr std::uint32_t kDefaultRate = 32u << 20;  // bytes per second: 32 MiB/s

// The byte at position p of the counter pattern: 32-bit little-endian words 0, 1, 2, ...
constexpr std::uint8_t CounterByte(std::uint64_t position) {
  return static_cast<std::uint8_t>((position / 4) >> (8 * (position % 4)));
}
// Writes size bytes of the counter pattern from position on.
void FillCounter(std::uint8_t* target, std::uint64_t position, std::size_t size);

// How the driver completes the bulk transfers of one endpoint.
enum class Completion {
  kLater,   // the I/O control call answers 997; the transfer completes when the library looks
  kAtOnce,  // the call itself succeeds when the data at hand complete the transfer
  kHold,    // pending until aborted, until the handle closes or the board goes
};

struct Endpoint {
  Completion completion = Completion::kLater;
  std::uint32_t refuse = 0;  // non-zero: the driver refuses every transfer with this code
  std::uint32_t fail = 0;    // non-zero: transfers end with this code when they would complete
  bool halted = false;       // stalled: transfers are refused with 31 until the pipe is reset
};

// What feeds bulk IN once the packets that were pushed have gone.
enum class Source {
  kNone,
  kCounter,    // the counter pattern, restarting at 0 whenever the board is configured
  kUntouched,  // counts bytes as delivered without writing them, as DMA costs the CPU nothing
  // The counter pattern at its rate whether or not a read is posted, like an ADC that cannot
  // wait: what finds neither a read nor room in the FIFO is dropped, and the pattern counts on
  // through it, so a gap in the data is exactly what was lost.
  kFixedRate,
};

// The board's EEPROM at select 1: a 24C64-like part of 8 KiB with 32-byte write pages.
// Addresses wrap at its size, as the part ignores the upper address bits, and a write wraps
// within its page. Erased bytes read 0xFF.
inline constexpr std::uint32_t kEepromSize = 8192;
inline constexpr std::uint32_t kEepromPage = 32;
inline constexpr std::uint8_t kEepromSelect = 1;
// The startup-command area every board is made with: the byte at 0x1FFD says the area is
// there, the base address B at 0x1FF8 points to the command address S at B + 7, and the
// command (length prefix, then bytes) goes at S. B + 7 lies above what a command may fill.
inline constexpr std::uint16_t kStartupBase = 0x1FE8;
inline constexpr std::uint16_t kStartupCommandAddress = 0x1000;

// The FX2's memory as the 0xA0 request reaches it: program and data RAM, the scratch RAM
// of the larger parts, and the CPU control and status register with its reset bit.
inline constexpr std::uint16_t kProgramRamSize = 0x4000;
inline constexpr std::uint16_t kScratchRamStart = 0xE000;
inline constexpr std::uint16_t kScratchRamSize = 0x0200;
inline constexpr std::uint16_t kCpucs = 0xE600;

struct Eeprom {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kEepromSize, 0xFF);
  std::uint32_t page = kEepromPage;  // a power of two; 0 for a part without pages
  std::uint16_t pointer = 0;         // where the next read starts; set by every write

  // Erased, with the startup-command area laid out and no command stored.
  static Eeprom WithStartupArea();
  // Stores bytes from address on, as a programmer would: no pages, the pointer unmoved.
  void Write(std::uint32_t address, std::span<const std::uint8_t> data);
  // Stores a word low byte first, as values are kept in the EEPROM.
  void Write16(std::uint32_t address, std::uint16_t value);
  // A write as the part takes it over its bus: within the page of address, wrapping at the
  // page's end, and the pointer left behind the last byte.
  void Program(std::uint32_t address, std::span<const std::uint8_t> data);
  std::vector<std::uint8_t> Read(std::uint32_t address, std::uint32_t count) const;
  // Reads from the pointer on and moves it past what was read.
  std::vector<std::uint8_t> ReadOn(std::uint32_t count);
};

// The setup stage of a control request as the driver decoded it.
struct Setup {
  std::uint8_t bmRequestType;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
};

// What a board answers to one control request. error 0 completes the request; for IN
// requests data are the bytes delivered (at most wLength of them reach the host).
struct Reply {
  std::uint32_t error = 0;
  std::vector<std::uint8_t> data;
};

struct BoardIdentity {
  std::uint16_t vendor = 0xDEAD;
  std::uint16_t product = 0xBEEF;
  std::uint16_t release = 0x0100;
  std::string manufacturer = "Quorix";
  std::string product_name = "Quorix FX2 board";
  std::string serial = "QX-SIM-0001";
};

class Board {
 public:
  int id = 0;
  BoardIdentity identity;  // what the descriptors were made from
  bool plugged = false;
  std::string path;              // the interface path of the current connection
  std::uint64_t connection = 0;  // a new, larger number at every plug: the listing order
  std::uint8_t configuration = 0;

  // GET_DESCRIPTOR answers: the bytes are sent as they stand (truncated to wLength), so tests
  // can make them short, odd or inconsistent. A missing string index stalls.
  std::vector<std::uint8_t> device_descriptor;
  std::vector<std::uint8_t> configuration_descriptor;
  std::map<std::uint8_t, std::vector<std::uint8_t>> strings;

  // Asked first for every control request; an answer replaces the board's own.
  std::function<std::optional<Reply>(const Setup&, std::span<const std::uint8_t> data)> hook;
  // What the driver reports as moved, given what it did move: a test can make it lie. Endpoint
  // 0 is the control pipe, whose count includes the 38-byte header; 0x86 and 0x02 are bulk.
  std::function<std::uint32_t(std::uint8_t endpoint, std::uint32_t moved)> report;
  std::uint32_t Reported(std::uint8_t endpoint, std::uint32_t moved) const {
    return report ? report(endpoint, moved) : moved;
  }

  Reply Control(const Setup& setup, std::span<const std::uint8_t> data);

  // ---- the board's firmware: vendor requests 0xB0, 0xB2, 0xB3 ----
  // It runs only while the FX2's CPU does: held in reset, the board stalls them.
  std::uint8_t port_d = 0;         // output latch
  std::uint8_t port_d_enable = 0;  // output enables
  // The writes to the latch, each whole, the last kPortDLogLimit of them.
  static constexpr std::size_t kPortDLogLimit = 100000;
  std::deque<std::vector<std::uint8_t>> port_d_writes;
  std::uint8_t fpga_mode = 0;
  std::map<std::uint8_t, Eeprom> eeproms = {{kEepromSelect, Eeprom::WithStartupArea()}};
  // The EEPROM that answers at select, or null.
  Eeprom* EepromAt(std::uint32_t select);

  // ---- the FX2 core: vendor request 0xA0 ----
  std::vector<std::uint8_t> program_ram = std::vector<std::uint8_t>(kProgramRamSize, 0);
  std::vector<std::uint8_t> scratch_ram = std::vector<std::uint8_t>(kScratchRamSize, 0);
  bool cpu_reset = false;         // the board comes up running its firmware
  std::vector<bool> cpu_history;  // each change of the reset bit: true held, false released
  // The bytes of FX2 memory from address on, or null when they do not all lie in one region.
  std::uint8_t* Memory(std::uint16_t address, std::uint32_t count);

  // Port D's latch written with this value starts the source at this rate, as a board whose
  // FPGA streams once told to.
  std::optional<std::pair<std::uint8_t, std::uint32_t>> start_on_port_d;

  // ---- bulk IN (0x86) ----
  Endpoint in;
  // Packets waiting on the board, sent before anything of the source. A read completes when
  // it is full or when a short (or zero-length) packet ends it.
  std::deque<std::vector<std::uint8_t>> in_packets;
  Source source = Source::kCounter;
  std::uint32_t rate = kDefaultRate;  // bytes per second; 0 stops, kRateUnlimited never waits
  // Pattern position of the next byte the source sends (the fixed-rate source: produces).
  std::uint64_t source_position = 0;
  std::uint64_t source_ready = 0;   // bytes produced and not yet sent (whole packets)
  std::uint64_t source_clock = 0;   // when the source last ran, in bus microseconds
  std::uint64_t source_credit = 0;  // production not yet a whole packet, in byte-µs
  // The board FIFO ahead of the reads, in bytes (a multiple of 512): the flow-controlled
  // source stalls when it is full, the fixed-rate source drops.
  std::uint32_t fifo = kSourceFifo;
  // What the fixed-rate source's FIFO holds, oldest first: runs of the pattern, apart where
  // packets were dropped between them. Sent before source_ready.
  struct Run {
    std::uint64_t position;
    std::uint64_t bytes;
  };
  std::deque<Run> fifo_runs;
  std::uint64_t fifo_held = 0;  // bytes in fifo_runs
  std::uint64_t dropped = 0;    // bytes the fixed-rate source dropped since the board was made

  // Queues data as the board would send them: 512-byte packets, the last one short; no data
  // at all is one zero-length packet.
  void PushIn(std::span<const std::uint8_t> data);
  void PushZeroLengthPacket() { in_packets.emplace_back(); }
  // Restarts the counter pattern at 0 with nothing produced and the FIFO empty, now being the
  // bus time in µs.
  void RestartSource(std::uint64_t now);
  // Changes the source and its rate; what the FIFO holds stays, to be sent first.
  void ChangeSource(Source next, std::uint32_t bytes_per_second);

  // The fixed-rate source, in three steps over the time since it last ran: Produce gives the
  // bytes (whole packets) produced up to now, FillIn hands them to the pending requests in
  // order, and KeepOrDrop puts what is left into the FIFO as far as it has room and drops the
  // rest. Every request posted must find the source brought up to its time first, so that it
  // only receives what was produced after it (besides what the FIFO held).
  std::uint64_t Produce(std::uint64_t now);
  void KeepOrDrop(std::uint64_t produced);
  // Microseconds until the source has produced bytes more, counted in whole packets.
  std::uint64_t TimeToProduce(std::uint64_t bytes) const;
  // Sets the FIFO's size; what a smaller one cannot hold of what it held is dropped, newest
  // first.
  void SetFifo(std::uint32_t bytes);
  // Answers one IN request of target's size at once, for a host that drives the board from
  // outside the bus: the queued packets first (a short or zero-length one ends the request),
  // then the source in whole packets, without a rate. Returns the bytes delivered; error is
  // set (babble) when a packet did not fit the room left.
  std::uint32_t SendIn(std::span<std::uint8_t> target, std::uint32_t& error);
  // What both take IN requests with: moves what the board sends into target from filled on,
  // the queued packets first, then what the FIFO holds, then up to produced bytes of the
  // source in whole packets (less by what it sent). True when the request has ended: full, a short packet, or babble (a
  // packet larger than the room left; error is set); false when the board has no more now.
  bool FillIn(std::span<std::uint8_t> target, std::uint32_t& filled, std::uint64_t& produced,
              std::uint32_t& error);

  // ---- bulk OUT (0x02) ----
  Endpoint out;
  bool loopback = false;                  // what is written comes back on IN
  std::uint32_t out_accept = 0xFFFFFFFF;  // the most a write sends; it completes short beyond
  std::vector<std::uint8_t> out_data;     // what was written, until taken
};

// Gives the board its identity and the descriptors made from it.
void Describe(Board& board, const BoardIdentity& identity);

// A string descriptor of the text's characters as UTF-16LE units.
std::vector<std::uint8_t> StringDescriptor(std::u16string_view text);
std::vector<std::uint8_t> StringDescriptor(std::string_view text);

}  // namespace quorix::sim
