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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/board.h"

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
  kConnected,
  kCount
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
  // Waits up to milliseconds (real time) for a board to be plugged or unplugged after the
  // generation seen, or for a wake; true with seen brought up to date, false when the time ran
  // out. What the port's plug watch stands on.
  bool WaitPlugChange(std::uint64_t& seen, bool& woken, std::uint32_t milliseconds);
  void WakePlugWaiter(bool& woken);
  std::uint64_t PlugGeneration() const { return Read(plug_generation_); }
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
  // Runs every board's endpoints up to now: completes what the data at hand allow, and lets
  // the fixed-rate sources fill their FIFOs and drop. Whoever changes a board's source, rate
  // or FIFO does so right after an Advance.
  void Advance();
  // Ends the board's pending transfers on endpoint with error (995 is what an abort gives).
  void FailPending(int board, std::uint8_t endpoint, std::uint32_t error);
  // Stalls the endpoint: pending transfers fail with 31, and so do new ones until a reset.
  void Stall(int board, std::uint8_t endpoint);
  // Pending transfers on the board's endpoint, and the length of the first one (0 for none).
  std::size_t Pending(int board, std::uint8_t endpoint) const;
  std::uint32_t PendingLength(int board, std::uint8_t endpoint) const;
  // The paths opened, the last kOpensLimit of them: a long run of re-plugs stays bounded.
  static constexpr std::size_t kOpensLimit = 256;
  const std::deque<OpenCall>& Opens() const { return opens_; }

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
  bool VirtualClock() const { return Read(virtual_clock_); }
  std::uint64_t NowUs() const;
  std::uint64_t NowMs() const { return NowUs() / 1000; }
  void PassTime(std::uint32_t milliseconds);

  // While held, every pause of the library waits, without the bus, until released: a test keeps
  // a call that pauses (a startup command) inside its board for as long as it needs.
  void HoldPauses(bool on) { Write(pauses_held_, on); }
  // Pauses waiting for that release now.
  std::size_t HeldPauses() const { return Read(held_pauses_); }

  // Around fork(): the bus's lock is taken before and given back after; in the child its
  // condition is made afresh, since the threads waiting on it stayed in the parent.
  void PrepareFork();
  void ParentAfterFork();
  void ChildAfterFork();

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
  bool Connected(void* device);
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
  // Runs the board's bulk IN up to now: its source produces, the pending reads take what
  // they can in the order they were posted, the FIFO the rest (the fixed-rate source drops
  // what does not fit). Done before anything changes the board's IN side, so that each
  // interval is reckoned with the reads that were pending throughout it.
  void RunIn(Board& board, std::uint64_t now);
  void RunSource(Board& board, std::uint64_t now, std::uint64_t room);
  // The index of the board's first pending IN read at or after from, or pending_.size().
  std::size_t NextRead(const Board& board, std::size_t from) const;
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
  std::uint64_t plug_generation_ = 0;  // counts plugs and unplugs

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
  std::deque<OpenCall> opens_;
  std::size_t live_blocks_ = 0;
  std::uint64_t allocated_bytes_ = 0;
  std::atomic<std::int64_t> pid_{-1};  // the process id to give, when not negative
  bool virtual_clock_ = false;
  std::uint64_t virtual_now_ = 0;  // µs

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::size_t waiters_ = 0;  // threads in WaitEvent or in a held pause
  bool pauses_held_ = false;
  std::size_t held_pauses_ = 0;
  std::uint64_t era_;        // this bus since it was made or last reset
  std::size_t threads_ = 0;  // the threads that have called it in this era
};

// The one simulated bus of the process. Before any control call it holds one default board.
Bus& TheBus();

}  // namespace quorix::sim
