#ifdef _WIN32
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "driver/port.h"
#include "driver/requests.h"
#include "sim/bus.h"
#include "sim/state_file.h"

namespace quorix::sim {

namespace {

thread_local std::uint32_t tLastError = 0;

constexpr char kClassGuidText[] = "{ae18aa60-7f6a-11d4-97dd-00010229b959}";
constexpr std::uint8_t kClassGuid[16] = {0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11,
                                         0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};


Setup DecodeSetup(const SingleTransfer& header) {
  return {header.bmRequestType, header.bRequest, header.wValue, header.wIndex, header.wLength};
}

// The overlapped record's status word, as the system keeps it: pending, success, or the
// failure (here the Windows code behind a marker, where Windows keeps an NTSTATUS).
constexpr std::uintptr_t kStatusFailed = 0xE0000000;
constexpr std::uintptr_t TransferStatus(std::uint32_t error) {
  return error == 0 ? 0 : kStatusFailed | error;
}

port::Overlapped& OverlappedOf(void* overlapped) {
  return *static_cast<port::Overlapped*>(overlapped);
}

}  // namespace


std::vector<std::uint8_t> WireEntry::SetupBytes() const {
  return {in.begin(), in.begin() + std::min<std::size_t>(8, in.size())};
}



namespace {

// Each bus, and each reset of it, is an era of its own; a thread notes the era in which it last
// called, so that the bus counts the threads that have called it since it was made or reset.
// (No thread-local object with a destructor: it would keep a DLL from unloading.)
std::atomic<std::uint64_t> gEras{0};
thread_local std::uint64_t tEra = 0;

}  // namespace

Bus::Bus() : era_(++gEras) { AddBoard(); }

void Bus::Reset() {
  const Hold hold(*this);
  era_ = ++gEras;
  threads_ = 0;
  // Like a surprise removal of every board: what was pending ends.
  EndPending([](const Transfer&) { return true; }, port::error::kDeviceNotConnected);
  boards_.clear();
  plug_generation_ += 1;
  faults_.clear();
  unplugs_.clear();
  wire_.clear();
  opens_.clear();
  std::fill(std::begin(calls_), std::end(calls_), 0);
  total_calls_ = 0;
  pid_.store(-1, std::memory_order_relaxed);
  virtual_clock_ = false;
  virtual_now_ = 0;
  pauses_held_ = false;
}


Board& Bus::AddBoard(const BoardIdentity& identity) {
  const Hold hold(*this);
  Board& board = boards_.emplace_back();
  board.id = next_board_++;
  Describe(board, identity);
  Plug(board);
  return board;
}

void Bus::Plug(Board& board) {
  board.plugged = true;
  plug_generation_ += 1;
  board.connection = next_connection_++;
  board.configuration = 0;
  board.RestartSource(NowUs());
  char path[160];
  std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#sim&%llu#%s",
                board.identity.vendor, board.identity.product,
                static_cast<unsigned long long>(board.connection), kClassGuidText);
  board.path = path;
}

Board* Bus::FindBoard(int id) {
  const Hold hold(*this);
  for (Board& board : boards_)
    if (board.id == id) return &board;
  return nullptr;
}

bool Bus::Unplug(int id) {
  const Hold hold(*this);
  Board* board = FindBoard(id);
  if (board == nullptr || !board->plugged) return false;
  // What a fixed-rate source produced and dropped while the board was there stands.
  if (board->source == Source::kFixedRate) RunIn(*board, NowUs());
  board->plugged = false;
  plug_generation_ += 1;
  EndPending([id](const Transfer& t) { return t.board == id; }, port::error::kDeviceNotConnected);
  return true;
}

bool Bus::WaitPlugChange(std::uint64_t& seen, bool& woken, std::uint32_t milliseconds) {
  Hold hold(*this);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (plug_generation_ == seen && !woken) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    waiters_ += 1;
    hold.WaitFor(std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
    waiters_ -= 1;
  }
  seen = plug_generation_;
  woken = false;
  return true;
}

void Bus::WakePlugWaiter(bool& woken) {
  const Hold hold(*this);
  woken = true;  // letting go of the bus wakes a waiter
}

bool Bus::Replug(int id) {
  const Hold hold(*this);
  Board* board = FindBoard(id);
  if (board == nullptr || board->plugged) return false;
  Plug(*board);
  return true;
}

std::vector<Board*> Bus::Listed() {
  const Hold hold(*this);
  std::vector<Board*> listed;
  for (Board& board : boards_)
    if (board.plugged) listed.push_back(&board);
  std::sort(listed.begin(), listed.end(),
            [](const Board* a, const Board* b) { return a->connection < b->connection; });
  return listed;
}

void Bus::FailNth(Op op, std::uint64_t nth, std::uint32_t error) {
  const Hold hold(*this);
  faults_.push_back({false, op, Calls(op) + nth, error});
}

void Bus::FailCall(std::uint64_t nth, std::uint32_t error) {
  const Hold hold(*this);
  faults_.push_back({true, Op::kCount, total_calls_ + nth, error});
}

void Bus::UnplugAt(std::uint64_t nth, int board) {
  const Hold hold(*this);
  unplugs_.emplace_back(total_calls_ + nth, board);
}

void Bus::ClearFaults() {
  const Hold hold(*this);
  faults_.clear();
  unplugs_.clear();
}

#ifndef _WIN32
namespace {
// getpid is a system call, which every gated call would pay for; like GetCurrentProcessId the
// id is read from memory, kept right in a forked child.
std::uint32_t gPid = 0;
void RefreshPid() { gPid = static_cast<std::uint32_t>(::getpid()); }
}  // namespace
#endif

std::uint32_t Bus::ProcessId() const {
  // Asked by every gated call: no lock.
  const std::int64_t given = pid_.load(std::memory_order_relaxed);
  if (given >= 0) return static_cast<std::uint32_t>(given);
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  static const bool registered = [] {
    RefreshPid();
    return ::pthread_atfork(nullptr, nullptr, RefreshPid) == 0;
  }();
  (void)registered;
  return gPid;
#endif
}

void Bus::SetProcessId(std::optional<std::uint32_t> pid) {
  pid_.store(pid ? std::int64_t{*pid} : -1, std::memory_order_relaxed);
}

std::uint64_t Bus::NowUs() const {
  const Hold hold(*this);
  if (virtual_clock_) return virtual_now_;
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void Bus::PassTime(std::uint32_t milliseconds) {
  {
    Hold hold(*this);
    while (pauses_held_) {
      ++held_pauses_;
      ++waiters_;
      hold.WaitFor(std::chrono::milliseconds(100));
      --waiters_;
      --held_pauses_;
    }
  }
  PassMicroseconds(std::uint64_t{milliseconds} * 1000);
}

void Bus::PrepareFork() { mutex_.lock(); }
void Bus::ParentAfterFork() { mutex_.unlock(); }
void Bus::ChildAfterFork() {
  // Not destroyed: destroying a condition with waiters that will never leave waits for good.
  new (&changed_) std::condition_variable;
  waiters_ = 0;
  held_pauses_ = 0;
  mutex_.unlock();
}

void Bus::PassMicroseconds(std::uint64_t microseconds) {
  {
    const Hold hold(*this);
    if (virtual_clock_) {
      virtual_now_ += microseconds;
      return;
    }
  }
  // Real time passes without the bus: other threads go on meanwhile.
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

bool Bus::Enter(Op op) {
  const Hold hold(*this);
  if (tEra != era_) {
    tEra = era_;
    ++threads_;
  }
  const std::uint64_t call = ++calls_[static_cast<int>(op)];
  const std::uint64_t total = ++total_calls_;
  // No port call runs inside the bus's own loops over its transfers, so a board can go here.
  for (std::size_t i = 0; i < unplugs_.size();) {
    if (unplugs_[i].first != total) {
      ++i;
      continue;
    }
    const int board = unplugs_[i].second;
    unplugs_.erase(unplugs_.begin() + static_cast<std::ptrdiff_t>(i));
    Unplug(board);
  }
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    const bool fires = it->any_op ? it->at == total : (it->op == op && it->at == call);
    if (!fires) continue;
    tLastError = it->error;
    last_failed_ = op;
    faults_.erase(it);
    return false;
  }
  return true;
}

void Bus::SetLastError(std::uint32_t error) { tLastError = error; }
std::uint32_t Bus::LastError() const { return tLastError; }

Bus::Object* Bus::Find(void* handle, Object::Kind kind) {
  auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == handles_.end() || found->second.kind != kind) return nullptr;
  return &found->second;
}

void* Bus::NewHandle(Object object) {
  const std::uintptr_t value = next_handle_;
  next_handle_ += 4;
  handles_.emplace(value, std::move(object));
  return reinterpret_cast<void*>(value);
}

// ---- listing ----

void* Bus::OpenListing() {
  const Hold hold(*this);
  if (!Enter(Op::kOpenListing)) return nullptr;
  Object listing;
  listing.kind = Object::Kind::kListing;
  for (const Board* board : Listed()) listing.paths.push_back(board->path);
  return NewHandle(std::move(listing));
}

bool Bus::NextInterface(void* handle, std::uint32_t index, void* data) {
  const Hold hold(*this);
  if (!Enter(Op::kNextInterface)) return false;
  Object* listing = Find(handle, Object::Kind::kListing);
  if (listing == nullptr) {
    SetLastError(port::error::kInvalidHandle);
    return false;
  }
  auto* interface = static_cast<port::InterfaceData*>(data);
  if (interface->size != port::kInterfaceDataSize) {
    SetLastError(port::error::kInvalidUserBuffer);
    return false;
  }
  if (index >= listing->paths.size()) {
    SetLastError(port::error::kNoMoreItems);
    return false;
  }
  std::memcpy(interface->class_guid, kClassGuid, sizeof kClassGuid);
  interface->flags = 1;  // SPINT_ACTIVE
  interface->reserved = index;
  return true;
}

bool Bus::InterfaceDetail(void* handle, const void* data, void* block, std::uint32_t block_size,
                          std::uint32_t* required) {
  const Hold hold(*this);
  const bool query = block == nullptr;
  const bool go = Enter(query ? Op::kDetailSize : Op::kDetailRead);
  if (!go && query) {
    // A failed size query reports a size of 0.
    if (required != nullptr) *required = 0;
    return false;
  }
  if (!go) return false;
  Object* listing = Find(handle, Object::Kind::kListing);
  const auto* interface = static_cast<const port::InterfaceData*>(data);
  if (listing == nullptr || interface->reserved >= listing->paths.size()) {
    SetLastError(port::error::kInvalidParameter);
    return false;
  }
  const std::string& path = listing->paths[interface->reserved];
  const std::uint32_t needed =
      port::kDetailPathOffset + static_cast<std::uint32_t>(path.size()) + 1;
  if (required != nullptr) *required = needed;
  if (query || block_size < needed) {
    SetLastError(port::error::kInsufficientBuffer);
    return false;
  }
  std::uint32_t size_field = 0;
  std::memcpy(&size_field, block, sizeof size_field);
  if (size_field != port::kDetailSizeField) {
    SetLastError(port::error::kInvalidUserBuffer);
    return false;
  }
  std::memcpy(static_cast<char*>(block) + port::kDetailPathOffset, path.c_str(), path.size() + 1);
  return true;
}

void Bus::CloseListing(void* handle) {
  const Hold hold(*this);
  // The library cannot see a failure here, so an injected one only counts the call.
  (void)Enter(Op::kCloseListing);
  if (Find(handle, Object::Kind::kListing) != nullptr)
    handles_.erase(reinterpret_cast<std::uintptr_t>(handle));
}

// ---- driver handles ----

void* Bus::OpenPath(const OpenCall& call) {
  const Hold hold(*this);
  if (opens_.size() == kOpensLimit) opens_.pop_front();
  opens_.push_back(call);
  if (!Enter(Op::kOpenPath)) return nullptr;
  for (const Board* board : Listed()) {
    if (board->path == call.path) {
      Object device;
      device.kind = Object::Kind::kDevice;
      device.board = board->id;
      device.connection = board->connection;
      return NewHandle(std::move(device));
    }
  }
  SetLastError(port::error::kFileNotFound);
  return nullptr;
}

bool Bus::CloseHandle(void* handle) {
  const Hold hold(*this);
  if (!Enter(Op::kCloseHandle)) return false;
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (handles_.erase(value) == 0) {
    SetLastError(port::error::kInvalidHandle);
    return false;
  }
  // Closing a handle cancels the I/O still pending on it.
  EndPending([value](const Transfer& t) { return t.device == value; },
             port::error::kOperationAborted);
  return true;
}

bool Bus::IoControl(void* handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                    std::uint32_t out_size, std::uint32_t* returned, void* overlapped) {
  const Hold hold(*this);
  WireEntry entry{};
  entry.code = code;
  entry.out = out;
  entry.out_size = out_size;
  entry.overlapped = overlapped != nullptr;
  // Kept only for the log: a driver copies nothing it need not.
  if (in != nullptr && log_wire_) {
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    entry.in.assign(bytes, bytes + in_size);
  }
  Object* device = Find(handle, Object::Kind::kDevice);
  if (device != nullptr) entry.board = device->board;
  if (returned != nullptr) *returned = 0;

  auto finish = [&](std::uint32_t error) {
    entry.ok = error == 0;
    entry.error = error;
    if (log_wire_) {
      entry.at_ms = NowMs();  // the call itself takes no bus time
      if (wire_.size() == kWireLimit) wire_.pop_front();
      wire_.push_back(std::move(entry));
    }
    if (error != 0) SetLastError(error);
    return error == 0;
  };

  if (!Enter(Op::kIoControl)) {
    entry.injected = true;
    return finish(LastError());
  }
  if (device == nullptr) return finish(port::error::kInvalidHandle);
  Board* board = FindBoard(device->board);
  if (board == nullptr || !board->plugged || board->connection != device->connection)
    return finish(port::error::kDeviceNotConnected);

  switch (code) {
    case kIoctlControlTransfer:
      // Buffered: input and output are the one request buffer.
      if (in == nullptr || in != out || in_size != out_size)
        return finish(port::error::kInvalidParameter);
      return finish(ControlTransfer(*board, static_cast<std::uint8_t*>(in), in_size, returned));
    case kIoctlAbortPipe:
    case kIoctlResetPipe: {
      if (in == nullptr || in_size != 1) return finish(port::error::kInvalidParameter);
      const std::uint8_t endpoint = *static_cast<const std::uint8_t*>(in);
      if (endpoint != kEndpointBulkIn && endpoint != kEndpointBulkOut)
        return finish(port::error::kInvalidParameter);
      // An abort ends what is pending on the pipe before it returns; a reset only clears a
      // stall, so a read whose abort failed stays pending, as it would at the driver.
      if (code == kIoctlResetPipe) {
        (endpoint == kEndpointBulkIn ? board->in : board->out).halted = false;
        return finish(0);
      }
      const int id = board->id;
      EndPending(
          [id, endpoint](const Transfer& t) { return t.board == id && t.endpoint == endpoint; },
          port::error::kOperationAborted);
      return finish(0);
    }
    case kIoctlDirectTransfer:
      return finish(DirectTransfer(*board, reinterpret_cast<std::uintptr_t>(handle), in, in_size,
                                   out, out_size, returned, overlapped));
    default:
      return finish(1);  // ERROR_INVALID_FUNCTION
  }
}

std::uint32_t Bus::ControlTransfer(Board& board, std::uint8_t* buffer, std::uint32_t size,
                                   std::uint32_t* returned) {
  if (size < kHeaderSize) return port::error::kInvalidParameter;
  SingleTransfer header;
  std::memcpy(&header, buffer, kHeaderSize);
  // The driver finds the data stage through the header and checks it lies in the buffer.
  if (header.buffer_offset != kHeaderSize || header.buffer_length != header.wLength ||
      size != kHeaderSize + header.wLength)
    return port::error::kInvalidParameter;
  const Setup setup = DecodeSetup(header);
  std::uint8_t* data = buffer + kHeaderSize;
  const bool device_to_host = (setup.bmRequestType & 0x80) != 0;
  const bool configure = setup.bmRequestType == 0x00 && setup.bRequest == 9;
  // A fixed-rate stream ran as configured until now.
  if (configure && board.source == Source::kFixedRate) RunIn(board, NowUs());
  Reply reply =
      board.Control(setup, device_to_host ? std::span<const std::uint8_t>()
                                          : std::span<const std::uint8_t>(data, setup.wLength));
  if (reply.error != 0) return reply.error;
  // A vendor request to the board may change what a state file keeps.
  if ((setup.bmRequestType & 0xE0) == 0x40) NoteStateChange();
  // Configuring the board restarts its FPGA stream.
  if (configure) board.RestartSource(NowUs());
  std::uint32_t delivered = 0;
  if (device_to_host) {
    delivered = static_cast<std::uint32_t>(std::min<std::size_t>(reply.data.size(), setup.wLength));
    if (delivered != 0) std::memcpy(data, reply.data.data(), delivered);
  } else {
    delivered = setup.wLength;
  }
  if (returned != nullptr) *returned = board.Reported(0, kHeaderSize + delivered);
  return 0;
}

// ---- bulk transfers ----

std::uint32_t Bus::DirectTransfer(Board& board, std::uintptr_t device, void* in,
                                  std::uint32_t in_size, void* out, std::uint32_t out_size,
                                  std::uint32_t* returned, void* overlapped) {
  if (in == nullptr || in_size < kHeaderSize) return port::error::kInvalidParameter;
  SingleTransfer header;
  std::memcpy(&header, in, kHeaderSize);
  const std::uint8_t endpoint_address = header.endpoint;
  if (endpoint_address != kEndpointBulkIn && endpoint_address != kEndpointBulkOut)
    return port::error::kInvalidParameter;
  // The driver handle is opened for overlapped I/O, so every transfer needs its record.
  if (overlapped == nullptr || (out == nullptr && out_size != 0))
    return port::error::kInvalidParameter;
  Endpoint& endpoint = endpoint_address == kEndpointBulkIn ? board.in : board.out;
  if (endpoint.refuse != 0) return endpoint.refuse;
  if (endpoint.halted) return port::error::kGenFailure;
  // The reads already posted take what was produced until now; this one only what follows.
  if (endpoint_address == kEndpointBulkIn) RunIn(board, NowUs());

  port::Overlapped& record = OverlappedOf(overlapped);
  // The system resets the event as the request starts.
  record.internal = port::kStatusPending;
  record.internal_high = 0;
  if (Object* event = Find(record.event, Object::Kind::kEvent)) event->signalled = false;
  Transfer transfer{board.id,
                    board.connection,
                    device,
                    endpoint_address,
                    overlapped,
                    record.event,
                    static_cast<std::uint8_t*>(out),
                    out_size,
                    0,
                    endpoint.completion == Completion::kHold};

  if (endpoint.completion == Completion::kAtOnce) {
    // Only what is at hand: the source does not run during the call.
    std::uint32_t error = 0;
    bool done = true;
    if (endpoint_address == kEndpointBulkOut)
      SinkOut(board, transfer);
    else
      done = FeedIn(board, transfer, error);
    if (done) {
      if (error == 0) error = endpoint.fail;
      const std::uint32_t reported = board.Reported(endpoint_address, transfer.filled);
      record.internal_high = reported;
      record.internal = TransferStatus(error);
      SignalEvent(transfer.event);
      if (error == 0 && returned != nullptr) *returned = reported;
      return error;
    }
  }
  pending_.push_back(transfer);
  return port::error::kIoPending;
}

bool Bus::FeedIn(Board& board, Transfer& transfer, std::uint32_t& error) {
  return board.FillIn({transfer.buffer, transfer.length}, transfer.filled, board.source_ready,
                      error);
}

void Bus::SinkOut(Board& board, Transfer& transfer) {
  const std::uint32_t sent = std::min(transfer.length, board.out_accept);
  transfer.filled = sent;
  const std::span<const std::uint8_t> data(transfer.buffer, sent);
  if (board.loopback)
    board.PushIn(data);
  else
    board.out_data.insert(board.out_data.end(), data.begin(), data.end());
}

std::size_t Bus::NextRead(const Board& board, std::size_t from) const {
  while (from < pending_.size()) {
    const Transfer& t = pending_[from];
    if (t.board == board.id && t.connection == board.connection &&
        t.endpoint == kEndpointBulkIn && !t.hold)
      break;
    ++from;
  }
  return from;
}

void Bus::RunIn(Board& board, std::uint64_t now) {
  if (!board.plugged) return;
  if (board.source == Source::kFixedRate) {
    // Over the interval since the source last ran, the same reads were pending throughout:
    // they take the FIFO and then the new packets in order, each one completing as it fills
    // and the next going on at once; then the FIFO, then nothing.
    std::uint64_t produced = board.Produce(now);
    for (std::size_t i = NextRead(board, 0); i < pending_.size(); i = NextRead(board, i)) {
      Transfer& read = pending_[i];
      std::uint32_t error = 0;
      if (!board.FillIn({read.buffer, read.length}, read.filled, produced, error)) break;
      Complete(i, error != 0 ? error : board.in.fail);
    }
    board.KeepOrDrop(produced);
    return;
  }
  // The flow-controlled source produces what the FIFO and all the reads posted can take.
  std::uint64_t room = 0;
  for (std::size_t i = NextRead(board, 0); i < pending_.size(); i = NextRead(board, i + 1))
    room += pending_[i].length - pending_[i].filled;
  RunSource(board, now, room);
  for (std::size_t i = NextRead(board, 0); i < pending_.size(); i = NextRead(board, i)) {
    std::uint32_t error = 0;
    if (!FeedIn(board, pending_[i], error)) break;
    Complete(i, error != 0 ? error : board.in.fail);
  }
}

void Bus::RunSource(Board& board, std::uint64_t now, std::uint64_t room) {
  // Capped so that elapsed time times any rate fits in the credit: about 35 minutes.
  constexpr std::uint64_t kLongestStep = std::uint64_t{1} << 31;
  const std::uint64_t elapsed =
      now > board.source_clock ? std::min(now - board.source_clock, kLongestStep) : 0;
  board.source_clock = now;
  if (board.source == Source::kNone || board.rate == 0 || board.configuration == 0) {
    board.source_credit = 0;
    return;
  }
  // The source hands on what the FIFO and the posted reads can take, then stalls.
  const std::uint64_t capacity = std::uint64_t{board.fifo} + room;
  const std::uint64_t held = board.source_ready + board.fifo_held;
  std::uint64_t space = capacity > held ? capacity - held : 0;
  space -= space % kPacketSize;
  if (board.rate == kRateUnlimited) {
    board.source_ready += space;
    return;
  }
  constexpr std::uint64_t kPacketCredit = std::uint64_t{kPacketSize} * 1000000;
  board.source_credit += elapsed * board.rate;
  const std::uint64_t packets = board.source_credit / kPacketCredit;
  if (packets * kPacketSize >= space) {
    board.source_ready += space;
    board.source_credit = 0;  // stalled: time spent waiting produces nothing later
  } else {
    board.source_ready += packets * kPacketSize;
    board.source_credit -= packets * kPacketCredit;
  }
}

std::optional<std::uint64_t> Bus::TimeToComplete(const Board& board,
                                                 const Transfer& transfer) const {
  if (transfer.hold) return std::nullopt;
  if (transfer.endpoint == kEndpointBulkOut) return 0;
  if (board.source == Source::kNone || board.rate == 0 || board.configuration == 0)
    return std::nullopt;
  if (board.rate == kRateUnlimited && board.source != Source::kFixedRate) return 0;
  // The reads posted before it fill first: the source must produce their room and its own,
  // in whole packets, less what the board holds already.
  std::uint64_t ahead = 0;
  for (const Transfer& t : pending_) {
    if (t.board != transfer.board || t.endpoint != kEndpointBulkIn || t.hold) continue;
    const std::uint64_t room = t.length - t.filled;
    ahead += (room + kPacketSize - 1) / kPacketSize * kPacketSize;
    if (&t == &transfer) break;
  }
  const std::uint64_t held = board.source_ready + board.fifo_held;
  return board.TimeToProduce(ahead > held ? ahead - held : 0);
}

Board* Bus::BoardOf(const Transfer& transfer) {
  Board* board = FindBoard(transfer.board);
  return board != nullptr && board->plugged && board->connection == transfer.connection ? board
                                                                                        : nullptr;
}

void Bus::SignalEvent(void* event) {
  if (Object* object = Find(event, Object::Kind::kEvent)) object->signalled = true;
}

bool Bus::SetEvent(void* handle) {
  const Hold hold(*this);
  Object* event = Find(handle, Object::Kind::kEvent);
  if (event == nullptr) {
    SetLastError(port::error::kInvalidHandle);
    return false;
  }
  event->signalled = true;
  return true;
}

void Bus::Complete(std::size_t index, std::uint32_t error) {
  const Transfer& transfer = pending_[index];
  port::Overlapped& record = OverlappedOf(transfer.overlapped);
  const Board* board = FindBoard(transfer.board);
  record.internal_high =
      board != nullptr ? board->Reported(transfer.endpoint, transfer.filled) : transfer.filled;
  record.internal = TransferStatus(error);
  port::StampCompletion(&record, NowUs() + 1);
  SignalEvent(transfer.event);
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
}

template <typename Match>
void Bus::EndPending(Match match, std::uint32_t error) {
  for (std::size_t i = 0; i < pending_.size();) {
    if (match(pending_[i]))
      Complete(i, error);
    else
      ++i;
  }
}

void Bus::Advance() {
  const Hold hold(*this);
  const std::uint64_t now = NowUs();
  // OUT first, so that data looped back reach the IN reads in the same pass.
  for (std::size_t i = 0; i < pending_.size();) {
    Transfer& transfer = pending_[i];
    Board* board =
        transfer.endpoint == kEndpointBulkOut && !transfer.hold ? BoardOf(transfer) : nullptr;
    if (board == nullptr) {
      ++i;
      continue;
    }
    SinkOut(*board, transfer);
    Complete(i, board->out.fail);
  }
  for (Board& board : boards_) RunIn(board, now);
}

bool Bus::OverlappedResult(void* overlapped, std::uint32_t* bytes) {
  const Hold hold(*this);
  Advance();
  const port::Overlapped& record = OverlappedOf(overlapped);
  if (record.internal == port::kStatusPending) {
    SetLastError(port::error::kIoIncomplete);
    return false;
  }
  // As GetOverlappedResult: the count also for a transfer that failed or was aborted.
  if (bytes != nullptr) *bytes = static_cast<std::uint32_t>(record.internal_high);
  if (record.internal != 0) {
    SetLastError(static_cast<std::uint32_t>(record.internal & ~kStatusFailed));
    return false;
  }
  return true;
}

bool Bus::Connected(void* handle) {
  const Hold hold(*this);
  if (!Enter(Op::kConnected)) return false;
  const Object* device = Find(handle, Object::Kind::kDevice);
  if (device == nullptr) {
    SetLastError(port::error::kInvalidHandle);
    return false;
  }
  const Board* board = FindBoard(device->board);
  if (board == nullptr || !board->plugged || board->connection != device->connection) {
    SetLastError(port::error::kDeviceNotConnected);
    return false;
  }
  return true;
}

void Bus::FailPending(int board, std::uint8_t endpoint, std::uint32_t error) {
  const Hold hold(*this);
  EndPending([&](const Transfer& t) { return t.board == board && t.endpoint == endpoint; }, error);
}

void Bus::Stall(int id, std::uint8_t endpoint) {
  const Hold hold(*this);
  Board* board = FindBoard(id);
  if (board == nullptr) return;
  (endpoint == kEndpointBulkIn ? board->in : board->out).halted = true;
  FailPending(id, endpoint, port::error::kGenFailure);
}

std::size_t Bus::Pending(int board, std::uint8_t endpoint) const {
  const Hold hold(*this);
  return static_cast<std::size_t>(
      std::count_if(pending_.begin(), pending_.end(),
                    [&](const Transfer& t) { return t.board == board && t.endpoint == endpoint; }));
}

std::uint32_t Bus::PendingLength(int board, std::uint8_t endpoint) const {
  const Hold hold(*this);
  for (const Transfer& t : pending_)
    if (t.board == board && t.endpoint == endpoint) return t.length;
  return 0;
}

// ---- events ----

void* Bus::NewEvent(bool signalled) {
  const Hold hold(*this);
  if (!Enter(Op::kNewEvent)) return nullptr;
  Object event;
  event.kind = Object::Kind::kEvent;
  event.signalled = signalled;
  return NewHandle(std::move(event));
}

bool Bus::ClearEvent(void* handle) {
  const Hold hold(*this);
  if (!Enter(Op::kClearEvent)) return false;
  Object* event = Find(handle, Object::Kind::kEvent);
  if (event == nullptr) {
    SetLastError(port::error::kInvalidHandle);
    return false;
  }
  event->signalled = false;
  return true;
}

std::uint32_t Bus::WaitEvent(void* handle, std::uint32_t milliseconds) {
  Hold hold(*this);
  if (!Enter(Op::kWaitEvent)) return port::kWaitFailed;
  const bool forever = milliseconds == port::kInfinite;
  const std::uint64_t limit = std::uint64_t{milliseconds} * 1000;
  const std::uint64_t start = NowUs();
  for (;;) {
    Advance();
    // Looked up each time round: another thread may have closed it meanwhile.
    const Object* event = Find(handle, Object::Kind::kEvent);
    if (event == nullptr) {
      SetLastError(port::error::kInvalidHandle);
      return port::kWaitFailed;
    }
    if (event->signalled) return port::kWaitObject0;
    const std::uint64_t waited = NowUs() - start;
    if (!forever && waited >= limit) return port::kWaitTimeout;
    std::optional<std::uint64_t> soonest;
    for (const Transfer& transfer : pending_) {
      if (transfer.event != handle) continue;
      const Board* board = BoardOf(transfer);
      if (board == nullptr) continue;
      auto time = TimeToComplete(*board, transfer);
      if (time && (!soonest || *time < *soonest)) soonest = time;
    }
    if (!soonest && forever && (virtual_clock_ || threads_ <= 1)) {
      // Nothing on the bus can ever signal the event, and no other thread has used the bus
      // that could: fail rather than hang.
      SetLastError(1131);  // ERROR_POSSIBLE_DEADLOCK
      return port::kWaitFailed;
    }
    // Without a bound, in slices, so that the bus's clock is looked at now and then.
    constexpr std::uint64_t kSlice = 100000;
    std::uint64_t step = forever ? kSlice : limit - waited;
    if (soonest && *soonest < step) step = *soonest;
    step = std::max<std::uint64_t>(step, 1);
    if (virtual_clock_) {
      virtual_now_ += step;
      continue;
    }
    // Another thread's call may signal the event or make the transfer complete sooner.
    ++waiters_;
    hold.WaitFor(std::chrono::microseconds(step));
    --waiters_;
  }
}

// ---- heap ----

void* Bus::Allocate(std::size_t size) {
  const Hold hold(*this);
  if (!Enter(Op::kAllocate)) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++live_blocks_;
  allocated_bytes_ += size;
  return block;
}

void* Bus::Reallocate(void* block, std::size_t size) {
  const Hold hold(*this);
  if (block == nullptr) return Allocate(size);
  if (!Enter(Op::kAllocate)) return nullptr;
  allocated_bytes_ += size;
  return std::realloc(block, size == 0 ? 1 : size);
}

void Bus::Free(void* block) {
  const Hold hold(*this);
  if (block == nullptr) return;
  std::free(block);
  --live_blocks_;
}

namespace {
std::atomic<Bus*> gBus{nullptr};
std::mutex gBusMaking;

// After the library's own detach (which still talks to the bus), so a library that is
// unloaded and loaded again starts with a fresh bus and leaves nothing behind. Destructors
// of lower priority run later. A bus that still holds handles is still in use: by a call
// that the detach could not wait out, or, in a forked child, by the parent's devices. It is
// left as it is.
__attribute__((destructor(101))) void DestroyBus() {
  Bus* bus = gBus.load(std::memory_order_acquire);
  if (bus != nullptr && bus->LiveHandles() == 0) delete gBus.exchange(nullptr);
}
}  // namespace

Bus& TheBus() {
  Bus* bus = gBus.load(std::memory_order_acquire);
  if (bus != nullptr) return *bus;
  const std::lock_guard making(gBusMaking);
  bus = gBus.load(std::memory_order_relaxed);
  if (bus == nullptr) {
    bus = new Bus();
    gBus.store(bus, std::memory_order_release);
  }
  return *bus;
}

}  // namespace quorix::sim
