// The simulated bus: a virtual CyUSB driver and board model behind the port seam, in process.
//
// The driver side decodes every request as the kernel driver would (I/O control code, the
// 38-byte header, the data stage) and keeps a wire log of what it was handed. The board side
// answers the standard requests from its descriptors and runs the bulk endpoints. Faults can
// be injected per port operation and per heap allocation.
//
// Bulk transfers complete lazily: nothing happens between calls, and a pending transfer makes
// progress only when the library asks for an overlapped result or waits on an event. So no
// thread is needed and, on the virtual clock, every run is repeatable.
//
// Every call of the bus holds its one lock, so threads may use it at once, as they use a
// driver: a wait lets go of the lock and wakes when another thread's call changes the bus.
// Boards are plain records: a test that changes one while other threads use the bus does so
// inside Locked. The virtual clock is for one thread at a time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quorix::sim {

// Port operations that faults and call counts refer to. The interface-detail call counts as
// DetailSize without a block and as DetailRead with one. Allocate covers Allocate and
// Reallocate.
enum class Op {
  kOpenListing,
  kNextInterface,
  kDetailSize,
  kDetailRead,
  kCloseListing,
  kOpenPath,
  kCloseHandle,
  kIoControl,
  kOverlappedResult,
  kNewEvent,
  kClearEvent,
  kWaitEvent,
  kAllocate,
  kPause,
  kCount
};

inline constexpr std::uint32_t kPacketSize = 512;  // high-speed bulk packets
// The endpoint buffering of the FX2 (four 512-byte buffers): what the IN source can produce
// ahead of the reads before it stalls.
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

// One request handed to the driver, byte for byte.
struct WireEntry {
  int board;  // the board whose driver handle was used; 0 for an unknown handle
  std::uint32_t code;
  std::vector<std::uint8_t> in;  // the input buffer as handed over
  const void* out;               // where the driver was to write (or read, for a bulk OUT)
  std::uint32_t out_size;
  std::uint64_t at_ms;  // bus time when the request was handed over
  bool overlapped;
  bool injected;  // failed by an injected fault before the driver saw it
  bool ok;
  std::uint32_t error;

  // The first eight bytes of a control transfer's header: its setup stage.
  std::vector<std::uint8_t> SetupBytes() const;
};

struct OpenCall {
  std::string path;
  std::uint32_t access, share, creation, flags;
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
  std::uint64_t source_position = 0;  // pattern position of the next byte the source sends
  std::uint64_t source_ready = 0;     // bytes produced and not yet sent (whole packets)
  std::uint64_t source_clock = 0;     // when the source last ran, in bus microseconds
  std::uint64_t source_credit = 0;    // production not yet a whole packet, in byte-µs

  // Queues data as the board would send them: 512-byte packets, the last one short; no data
  // at all is one zero-length packet.
  void PushIn(std::span<const std::uint8_t> data);
  void PushZeroLengthPacket() { in_packets.emplace_back(); }
  // Restarts the counter pattern at 0 with nothing produced, now being the bus time in µs.
  void RestartSource(std::uint64_t now);
  // Answers one IN request of target's size at once, for a host that drives the board from
  // outside the bus: the queued packets first (a short or zero-length one ends the request),
  // then the source in whole packets, without a rate. Returns the bytes delivered; error is
  // set (babble) when a packet did not fit the room left.
  std::uint32_t SendIn(std::span<std::uint8_t> target, std::uint32_t& error);
  // What both take IN requests with: moves what the board sends into target from filled on,
  // the queued packets first, then up to produced bytes of the source in whole packets (less
  // by what it sent). True when the request has ended: full, a short packet, or babble (a
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

class Bus {
 public:
  Bus();

  // Runs f with the bus held, for whoever changes boards while other threads use the bus;
  // waits that the change may end wake when it returns.
  template <typename F>
  decltype(auto) Locked(F&& f) {
    const Hold hold(*this);
    return f();
  }

  // No boards, no faults, an empty wire log, real time. Handles still open stay valid.
  void Reset();

  Board& AddBoard(const BoardIdentity& identity = {});
  Board* FindBoard(int id);
  // Unplugging leaves the board's driver handles failing with 1167. Re-plugging lists the
  // board again, last, under a new path text.
  bool Unplug(int id);
  bool Replug(int id);
  // The plugged boards in plug order, as the listing shows them.
  std::vector<Board*> Listed();

  // The nth call of op from now (1-based) fails with error (an allocation with null).
  void FailNth(Op op, std::uint64_t nth, std::uint32_t error);
  // The nth call of any port operation from now fails with error.
  void FailCall(std::uint64_t nth, std::uint32_t error);
  // The board goes just before the nth port call from now (1-based) is carried out, so that
  // it can vanish in the middle of any operation.
  void UnplugAt(std::uint64_t nth, int board);
  void ClearFaults();
  // The operation the last injected fault failed.
  Op LastFailed() const { return Read(last_failed_); }
  std::uint64_t Calls(Op op) const { return Read(calls_[static_cast<int>(op)]); }
  std::uint64_t TotalCalls() const { return Read(total_calls_); }

  // The wire log keeps the last kWireLimit requests; it can be switched off for long runs.
  static constexpr std::size_t kWireLimit = 100000;
  const std::deque<WireEntry>& Wire() const { return wire_; }
  void ClearWire() {
    const Hold hold(*this);
    wire_.clear();
  }
  void LogWire(bool on) { Write(log_wire_, on); }

  // ---- bulk transfers ----
  // Runs every board's endpoints up to now: completes what the data at hand allow.
  void Advance();
  // Ends the board's pending transfers on endpoint with error (995 is what an abort gives).
  void FailPending(int board, std::uint8_t endpoint, std::uint32_t error);
  // Stalls the endpoint: pending transfers fail with 31, and so do new ones until a reset.
  void Stall(int board, std::uint8_t endpoint);
  // Pending transfers on the board's endpoint, and the length of the first one (0 for none).
  std::size_t Pending(int board, std::uint8_t endpoint) const;
  std::uint32_t PendingLength(int board, std::uint8_t endpoint) const;
  const std::vector<OpenCall>& Opens() const { return opens_; }

  // Heap blocks and handles the library holds now.
  std::size_t LiveBlocks() const { return Read(live_blocks_); }
  // Bytes asked of the heap so far, by Allocate and Reallocate.
  std::uint64_t AllocatedBytes() const { return Read(allocated_bytes_); }
  std::size_t LiveHandles() const {
    const Hold hold(*this);
    return handles_.size();
  }

  void SetProcessId(std::optional<std::uint32_t> pid);
  std::uint32_t ProcessId() const;

  // Virtual time: waits and pauses advance the clock instead of sleeping. The bus keeps time in
  // microseconds, as a host controller sees completions at once, not at the next millisecond.
  void UseVirtualClock(bool on) { Write(virtual_clock_, on); }
  std::uint64_t NowUs() const;
  std::uint64_t NowMs() const { return NowUs() / 1000; }
  void PassTime(std::uint32_t milliseconds);

  // ---- the port's side; the functions of port.h call these ----
  // True when the call goes ahead; false when an injected fault fails it (the fault's error
  // is then the thread's last error).
  bool Enter(Op op);
  void SetLastError(std::uint32_t error);
  std::uint32_t LastError() const;

  void* OpenListing();
  bool NextInterface(void* listing, std::uint32_t index, void* data);
  bool InterfaceDetail(void* listing, const void* data, void* block, std::uint32_t block_size,
                       std::uint32_t* required);
  void CloseListing(void* listing);
  void* OpenPath(const OpenCall& call);
  bool CloseHandle(void* handle);
  bool IoControl(void* device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                 std::uint32_t out_size, std::uint32_t* returned, void* overlapped);
  bool OverlappedResult(void* overlapped, std::uint32_t* bytes);
  void* NewEvent(bool signalled);
  bool ClearEvent(void* event);
  bool SetEvent(void* event);
  std::uint32_t WaitEvent(void* event, std::uint32_t milliseconds);
  void* Allocate(std::size_t size);
  void* Reallocate(void* block, std::size_t size);
  void Free(void* block);

 private:
  // The bus's lock, held by every call. Calls of the bus nest, and only the outermost hold of
  // a thread takes and gives back the lock (the process has one bus); giving it back wakes
  // the waits when a change may have ended one.
  class Hold {
   public:
    explicit Hold(const Bus& bus) : bus_(bus) {
      if (depth_++ == 0) bus.mutex_.lock();
    }
    ~Hold() {
      if (--depth_ != 0) return;
      if (bus_.waiters_ != 0) bus_.changed_.notify_all();
      bus_.mutex_.unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Waits for a change, or for the time given, with the lock let go meanwhile. Only from
    // the outermost hold.
    void WaitFor(std::chrono::microseconds time) {
      std::unique_lock lock(bus_.mutex_, std::adopt_lock);
      bus_.changed_.wait_for(lock, time);
      lock.release();
    }

   private:
    const Bus& bus_;
    static inline thread_local int depth_ = 0;
  };

  template <typename T>
  T Read(const T& field) const {
    const Hold hold(*this);
    return field;
  }
  template <typename T>
  void Write(T& field, T value) {
    const Hold hold(*this);
    field = value;
  }

  struct Object {
    enum class Kind { kListing, kDevice, kEvent };
    Kind kind = Kind::kListing;
    int board = 0;                   // kDevice
    std::uint64_t connection = 0;    // kDevice: the connection it was opened on
    std::vector<std::string> paths;  // kListing: a snapshot, as SetupAPI takes one
    bool signalled = false;          // kEvent
  };
  struct Fault {
    bool any_op;
    Op op;
    std::uint64_t at;  // the call count at which it fires
    std::uint32_t error;
  };

  Object* Find(void* handle, Object::Kind kind);
  void* NewHandle(Object object);
  void Plug(Board& board);
  std::uint32_t ControlTransfer(Board& board, std::uint8_t* buffer, std::uint32_t size,
                                std::uint32_t* returned);

  // One bulk transfer handed to the driver, until it completes.
  struct Transfer {
    int board;
    std::uint64_t connection;
    std::uintptr_t device;  // the driver handle it came through
    std::uint8_t endpoint;
    void* overlapped;  // the caller's port::Overlapped
    void* event;       // its event when the transfer was issued
    std::uint8_t* buffer;
    std::uint32_t length;
    std::uint32_t filled;
    bool hold;
  };
  std::uint32_t DirectTransfer(Board& board, std::uintptr_t device, void* in, std::uint32_t in_size,
                               void* out, std::uint32_t out_size, std::uint32_t* returned,
                               void* overlapped);
  // Moves what the board has into an IN transfer; true when that completes it (error set for
  // a packet that did not fit).
  bool FeedIn(Board& board, Transfer& transfer, std::uint32_t& error);
  void SinkOut(Board& board, Transfer& transfer);
  void RunSource(Board& board, std::uint64_t now, std::uint32_t room);
  void PassMicroseconds(std::uint64_t microseconds);
  // Microseconds until the transfer can complete, or none when nothing will complete it.
  std::optional<std::uint64_t> TimeToComplete(const Board& board, const Transfer& transfer) const;
  void Complete(std::size_t index, std::uint32_t error);
  void SignalEvent(void* event);
  // Ends every pending transfer that matches with error.
  template <typename Match>
  void EndPending(Match match, std::uint32_t error);
  Board* BoardOf(const Transfer& transfer);

  std::deque<Board> boards_;  // a deque, so that references stay valid as boards are added
  int next_board_ = 1;
  std::uint64_t next_connection_ = 1;

  std::map<std::uintptr_t, Object> handles_;
  std::uintptr_t next_handle_ = 0x1000;

  std::vector<Fault> faults_;
  std::vector<std::pair<std::uint64_t, int>> unplugs_;  // call count, board
  Op last_failed_ = Op::kCount;
  std::uint64_t calls_[static_cast<int>(Op::kCount)] = {};
  std::uint64_t total_calls_ = 0;

  std::deque<WireEntry> wire_;
  bool log_wire_ = true;
  std::vector<Transfer> pending_;
  std::vector<OpenCall> opens_;
  std::size_t live_blocks_ = 0;
  std::uint64_t allocated_bytes_ = 0;
  std::atomic<std::int64_t> pid_{-1};  // the process id to give, when not negative
  bool virtual_clock_ = false;
  std::uint64_t virtual_now_ = 0;  // µs

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::size_t waiters_ = 0;  // threads in WaitEvent
  std::uint64_t era_;        // this bus since it was made or last reset
  std::size_t threads_ = 0;  // the threads that have called it in this era
};

// The one simulated bus of the process. Before any control call it holds one default board.
Bus& TheBus();

}  // namespace quorix::sim
