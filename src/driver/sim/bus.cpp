#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "driver/port.h"
#include "driver/requests.h"
#include "driver/sim/sim.h"

namespace quorix::sim {

namespace {

thread_local std::uint32_t tLastError = 0;

constexpr char kClassGuidText[] = "{ae18aa60-7f6a-11d4-97dd-00010229b959}";
constexpr std::uint8_t kClassGuid[16] = {0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11,
                                         0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};

// Byte tables, laid out as the descriptors are.
// clang-format off
std::vector<std::uint8_t> DeviceDescriptor(const BoardIdentity& id) {
  return {18,   1,    0x00, 0x02,  // bLength, DEVICE, bcdUSB 2.00
          0xFF, 0x00, 0x00, 64,    // vendor-specific class, EP0 64 bytes
          static_cast<std::uint8_t>(id.vendor), static_cast<std::uint8_t>(id.vendor >> 8),
          static_cast<std::uint8_t>(id.product), static_cast<std::uint8_t>(id.product >> 8),
          static_cast<std::uint8_t>(id.release), static_cast<std::uint8_t>(id.release >> 8),
          1,    2,    3,    1};  // iManufacturer, iProduct, iSerialNumber, one configuration
}

// Configuration 1: one vendor interface with bulk IN 0x86 and bulk OUT 0x02 of 512 bytes.
std::vector<std::uint8_t> ConfigurationDescriptor() {
  return {9, 2, 32, 0, 1, 1, 0, 0x80, 50,          // configuration, bus powered, 100 mA
          9, 4, 0,  0, 2, 0xFF, 0, 0, 0,           // interface 0, two endpoints
          7, 5, 0x86, 2, 0x00, 0x02, 0,            // bulk IN 0x86, 512
          7, 5, 0x02, 2, 0x00, 0x02, 0};           // bulk OUT 0x02, 512
}
// clang-format on

Setup DecodeSetup(const SingleTransfer& header) {
  return {header.bmRequestType, header.bRequest, header.wValue, header.wIndex, header.wLength};
}

}  // namespace

std::vector<std::uint8_t> WireEntry::SetupBytes() const {
  return {in.begin(), in.begin() + std::min<std::size_t>(8, in.size())};
}

std::vector<std::uint8_t> StringDescriptor(std::u16string_view text) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

std::vector<std::uint8_t> StringDescriptor(std::string_view text) {
  std::u16string units;
  for (char c : text) units.push_back(static_cast<unsigned char>(c));
  return StringDescriptor(std::u16string_view(units));
}

Reply Board::Control(const Setup& setup, std::span<const std::uint8_t> data) {
  if (hook) {
    if (auto reply = hook(setup, data)) return *reply;
  }
  constexpr std::uint32_t kStall = port::error::kGenFailure;
  // GET_DESCRIPTOR
  if (setup.bmRequestType == 0x80 && setup.bRequest == 6) {
    const std::uint8_t type = setup.wValue >> 8;
    const std::uint8_t index = setup.wValue & 0xFF;
    if (type == 1) return {0, device_descriptor};
    if (type == 2 && index == 0) return {0, configuration_descriptor};
    if (type == 3) {
      auto found = strings.find(index);
      if (found != strings.end()) return {0, found->second};
    }
    return {kStall, {}};
  }
  // SET_CONFIGURATION: only configuration 0 (unconfigured) and 1 exist.
  if (setup.bmRequestType == 0x00 && setup.bRequest == 9) {
    if (setup.wValue > 1) return {kStall, {}};
    configuration = static_cast<std::uint8_t>(setup.wValue);
    return {};
  }
  // The vendor requests of the board's firmware arrive with the board services; until then
  // the firmware stalls them, as it stalls every request it does not know.
  return {kStall, {}};
}

Bus::Bus() { AddBoard(); }

void Bus::Reset() {
  boards_.clear();
  faults_.clear();
  wire_.clear();
  opens_.clear();
  std::fill(std::begin(calls_), std::end(calls_), 0);
  total_calls_ = 0;
  pid_.reset();
  virtual_clock_ = false;
  virtual_now_ = 0;
}

Board& Bus::AddBoard(const BoardIdentity& identity) {
  Board& board = boards_.emplace_back();
  board.id = next_board_++;
  board.identity = identity;
  board.device_descriptor = DeviceDescriptor(identity);
  board.configuration_descriptor = ConfigurationDescriptor();
  board.strings[0] = {4, 3, 0x09, 0x04};  // US English
  board.strings[1] = StringDescriptor(std::string_view(identity.manufacturer));
  board.strings[2] = StringDescriptor(std::string_view(identity.product_name));
  board.strings[3] = StringDescriptor(std::string_view(identity.serial));
  Plug(board);
  return board;
}

void Bus::Plug(Board& board) {
  board.plugged = true;
  board.connection = next_connection_++;
  board.configuration = 0;
  char path[160];
  std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#sim&%llu#%s",
                board.identity.vendor, board.identity.product,
                static_cast<unsigned long long>(board.connection), kClassGuidText);
  board.path = path;
}

Board* Bus::FindBoard(int id) {
  for (Board& board : boards_)
    if (board.id == id) return &board;
  return nullptr;
}

bool Bus::Unplug(int id) {
  Board* board = FindBoard(id);
  if (board == nullptr || !board->plugged) return false;
  board->plugged = false;
  return true;
}

bool Bus::Replug(int id) {
  Board* board = FindBoard(id);
  if (board == nullptr || board->plugged) return false;
  Plug(*board);
  return true;
}

std::vector<Board*> Bus::Listed() {
  std::vector<Board*> listed;
  for (Board& board : boards_)
    if (board.plugged) listed.push_back(&board);
  std::sort(listed.begin(), listed.end(),
            [](const Board* a, const Board* b) { return a->connection < b->connection; });
  return listed;
}

void Bus::FailNth(Op op, std::uint64_t nth, std::uint32_t error) {
  faults_.push_back({false, op, Calls(op) + nth, error});
}

void Bus::FailCall(std::uint64_t nth, std::uint32_t error) {
  faults_.push_back({true, Op::kCount, total_calls_ + nth, error});
}

void Bus::ClearFaults() { faults_.clear(); }

std::uint32_t Bus::ProcessId() const {
  return pid_ ? *pid_ : static_cast<std::uint32_t>(::getpid());
}

std::uint64_t Bus::NowMs() const {
  if (virtual_clock_) return virtual_now_;
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Bus::PassTime(std::uint32_t milliseconds) {
  if (virtual_clock_)
    virtual_now_ += milliseconds;
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool Bus::Enter(Op op) {
  const std::uint64_t call = ++calls_[static_cast<int>(op)];
  const std::uint64_t total = ++total_calls_;
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    const bool fires = it->any_op ? it->at == total : (it->op == op && it->at == call);
    if (!fires) continue;
    tLastError = it->error;
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
  if (!Enter(Op::kOpenListing)) return nullptr;
  Object listing;
  listing.kind = Object::Kind::kListing;
  for (const Board* board : Listed()) listing.paths.push_back(board->path);
  return NewHandle(std::move(listing));
}

bool Bus::NextInterface(void* handle, std::uint32_t index, void* data) {
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
  // The library cannot see a failure here, so an injected one only counts the call.
  (void)Enter(Op::kCloseListing);
  if (Find(handle, Object::Kind::kListing) != nullptr)
    handles_.erase(reinterpret_cast<std::uintptr_t>(handle));
}

// ---- driver handles ----

void* Bus::OpenPath(const OpenCall& call) {
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
  if (!Enter(Op::kCloseHandle)) return false;
  if (handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
    SetLastError(port::error::kInvalidHandle);
    return false;
  }
  return true;
}

bool Bus::IoControl(void* handle, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                    std::uint32_t out_size, std::uint32_t* returned, void* overlapped) {
  WireEntry entry{};
  entry.code = code;
  entry.out_size = out_size;
  entry.overlapped = overlapped != nullptr;
  if (in != nullptr) {
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    entry.in.assign(bytes, bytes + in_size);
  }
  Object* device = Find(handle, Object::Kind::kDevice);
  if (device != nullptr) entry.board = device->board;
  if (returned != nullptr) *returned = 0;

  auto finish = [&](std::uint32_t error) {
    entry.ok = error == 0;
    entry.error = error;
    wire_.push_back(std::move(entry));
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
      return finish(0);
    }
    case kIoctlDirectTransfer:
      // TODO(streaming): the bulk endpoints 0x86 and 0x02 arrive with the receive ring.
      return finish(port::error::kNotSupported);
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
  Reply reply =
      board.Control(setup, device_to_host ? std::span<const std::uint8_t>()
                                          : std::span<const std::uint8_t>(data, setup.wLength));
  if (reply.error != 0) return reply.error;
  std::uint32_t delivered = 0;
  if (device_to_host) {
    delivered = static_cast<std::uint32_t>(std::min<std::size_t>(reply.data.size(), setup.wLength));
    if (delivered != 0) std::memcpy(data, reply.data.data(), delivered);
  } else {
    delivered = setup.wLength;
  }
  if (returned != nullptr) *returned = kHeaderSize + delivered;
  return 0;
}

// ---- events ----

void* Bus::NewEvent(bool signalled) {
  if (!Enter(Op::kNewEvent)) return nullptr;
  Object event;
  event.kind = Object::Kind::kEvent;
  event.signalled = signalled;
  return NewHandle(std::move(event));
}

bool Bus::ClearEvent(void* handle) {
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
  if (!Enter(Op::kWaitEvent)) return port::kWaitFailed;
  Object* event = Find(handle, Object::Kind::kEvent);
  if (event == nullptr) {
    SetLastError(port::error::kInvalidHandle);
    return port::kWaitFailed;
  }
  if (event->signalled) return port::kWaitObject0;
  // Nothing on the bus signals an event yet, so a wait without limit would never end: fail it
  // rather than hang the caller.
  if (milliseconds == port::kInfinite) {
    SetLastError(port::error::kInvalidParameter);
    return port::kWaitFailed;
  }
  PassTime(milliseconds);
  return port::kWaitTimeout;
}

// ---- heap ----

void* Bus::Allocate(std::size_t size) {
  if (!Enter(Op::kAllocate)) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++live_blocks_;
  return block;
}

void* Bus::Reallocate(void* block, std::size_t size) {
  if (block == nullptr) return Allocate(size);
  if (!Enter(Op::kAllocate)) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void Bus::Free(void* block) {
  if (block == nullptr) return;
  std::free(block);
  --live_blocks_;
}

namespace {
Bus* gBus = nullptr;

// After the library's own detach (which still talks to the bus), so a library that is
// unloaded and loaded again starts with a fresh bus and leaves nothing behind. Destructors
// of lower priority run later.
__attribute__((destructor(101))) void DestroyBus() {
  delete gBus;
  gBus = nullptr;
}
}  // namespace

Bus& TheBus() {
  if (gBus == nullptr) gBus = new Bus();
  return *gBus;
}

}  // namespace quorix::sim
