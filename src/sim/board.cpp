// The simulated board's answers to control requests: the standard requests from its
// descriptors, the board firmware's vendor requests and the FX2 core's load request.
#include <algorithm>
#include <bit>
#include <cstring>

#include "driver/port.h"
#include "sim/board.h"

namespace quorix::sim {

namespace {

constexpr std::uint32_t kStall = port::error::kGenFailure;
constexpr Reply Stall() { return {kStall, {}}; }

constexpr std::uint8_t kHostToDevice = 0x40;  // vendor, device
constexpr std::uint8_t kDeviceToHost = 0xC0;

}  // namespace

namespace {
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
}  // namespace

void FillCounter(std::uint8_t* target, std::uint64_t position, std::size_t size) {
  while (size != 0 && position % 4 != 0) {
    *target++ = CounterByte(position++);
    --size;
  }
  // Whole words, little-endian whatever the host's order.
  auto word = static_cast<std::uint32_t>(position / 4);
  const std::size_t words = size / 4;
  if constexpr (std::endian::native == std::endian::little) {
    for (std::size_t i = 0; i < words; ++i) {
      const std::uint32_t value = word + static_cast<std::uint32_t>(i);
      std::memcpy(target + 4 * i, &value, 4);
    }
  } else {
    for (std::size_t i = 0; i < words; ++i) {
      const std::uint32_t value = word + static_cast<std::uint32_t>(i);
      for (int b = 0; b < 4; ++b) target[4 * i + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
  }
  target += 4 * words;
  position += 4 * words;
  size -= 4 * words;
  while (size-- != 0) *target++ = CounterByte(position++);
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

void Board::PushIn(std::span<const std::uint8_t> data) {
  if (data.empty()) {
    PushZeroLengthPacket();
    return;
  }
  for (std::size_t at = 0; at < data.size(); at += kPacketSize) {
    const std::size_t size = std::min<std::size_t>(kPacketSize, data.size() - at);
    in_packets.emplace_back(data.begin() + at, data.begin() + at + size);
  }
}

void Board::RestartSource(std::uint64_t now) {
  source_position = 0;
  source_ready = 0;
  source_credit = 0;
  source_clock = now;
  fifo_runs.clear();
  fifo_held = 0;
}

void Board::ChangeSource(Source next, std::uint32_t bytes_per_second) {
  // The fixed-rate source counts positions as it produces them; what the flow-controlled one
  // produced and did not send yet becomes the FIFO's content, ahead of what comes next.
  if (next == Source::kFixedRate && source_ready != 0) {
    fifo_runs.push_back({source_position, source_ready});
    fifo_held += source_ready;
    source_position += source_ready;
    source_ready = 0;
  }
  source = next;
  rate = bytes_per_second;
}

namespace {
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr std::uint64_t kPacketCredit = std::uint64_t{kPacketSize} * kMicrosecondsPerSecond;
}  // namespace

std::uint64_t Board::Produce(std::uint64_t now) {
  // Capped at about 12 days, so that whole seconds times any rate fit in 64 bits.
  constexpr std::uint64_t kLongestStep = std::uint64_t{1} << 40;
  const std::uint64_t elapsed =
      now > source_clock ? std::min(now - source_clock, kLongestStep) : 0;
  source_clock = now;
  if (source != Source::kFixedRate || rate == 0 || configuration == 0) {
    source_credit = 0;
    return 0;
  }
  // Whole seconds in bytes and the rest in byte-µs, so that nothing overflows or is lost.
  const std::uint64_t bytes = elapsed / kMicrosecondsPerSecond * rate;
  source_credit += bytes % kPacketSize * kMicrosecondsPerSecond +
                   elapsed % kMicrosecondsPerSecond * rate;
  const std::uint64_t packets = bytes / kPacketSize + source_credit / kPacketCredit;
  source_credit %= kPacketCredit;
  return packets * kPacketSize;
}

void Board::KeepOrDrop(std::uint64_t produced) {
  const std::uint64_t room = fifo > fifo_held ? fifo - fifo_held : 0;
  const std::uint64_t kept = std::min(produced, room - room % kPacketSize);
  if (kept != 0) {
    if (!fifo_runs.empty() &&
        fifo_runs.back().position + fifo_runs.back().bytes == source_position)
      fifo_runs.back().bytes += kept;
    else
      fifo_runs.push_back({source_position, kept});
    fifo_held += kept;
  }
  dropped += produced - kept;
  source_position += produced;
}

std::uint64_t Board::TimeToProduce(std::uint64_t bytes) const {
  if (rate == 0) return 0;
  const std::uint64_t credit = (bytes + kPacketSize - 1) / kPacketSize * kPacketCredit;
  const std::uint64_t needed = credit > source_credit ? credit - source_credit : 0;
  return (needed + rate - 1) / rate;
}

void Board::SetFifo(std::uint32_t bytes) {
  fifo = bytes;
  while (fifo_held > fifo) {
    Run& newest = fifo_runs.back();
    const std::uint64_t cut = std::min(newest.bytes, fifo_held - fifo);
    newest.bytes -= cut;
    fifo_held -= cut;
    dropped += cut;
    if (newest.bytes == 0) fifo_runs.pop_back();
  }
}

void Describe(Board& board, const BoardIdentity& identity) {
  board.identity = identity;
  board.device_descriptor = DeviceDescriptor(identity);
  board.configuration_descriptor = ConfigurationDescriptor();
  board.strings[0] = {4, 3, 0x09, 0x04};  // US English
  board.strings[1] = StringDescriptor(std::string_view(identity.manufacturer));
  board.strings[2] = StringDescriptor(std::string_view(identity.product_name));
  board.strings[3] = StringDescriptor(std::string_view(identity.serial));
}

Eeprom Eeprom::WithStartupArea() {
  Eeprom eeprom;
  eeprom.Write16(0x1FF8, kStartupBase);
  eeprom.Write16(kStartupBase + 7, kStartupCommandAddress);
  const std::uint8_t block[] = {0x01, 0x01};  // 0x1FFC, and 0x1FFD: non-zero, the area is there
  eeprom.Write(0x1FFC, block);
  eeprom.Write16(kStartupCommandAddress, 0);  // no command stored
  return eeprom;
}

void Eeprom::Write(std::uint32_t address, std::span<const std::uint8_t> data) {
  for (std::uint8_t byte : data) bytes[address++ % bytes.size()] = byte;
}

void Eeprom::Write16(std::uint32_t address, std::uint16_t value) {
  const std::uint8_t word[] = {static_cast<std::uint8_t>(value),
                               static_cast<std::uint8_t>(value >> 8)};
  Write(address, word);
}

void Eeprom::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
  const std::uint32_t size = page != 0 ? page : static_cast<std::uint32_t>(bytes.size());
  const std::uint32_t start = address % bytes.size() / size * size;
  std::uint32_t offset = address % bytes.size() - start;
  for (std::uint8_t byte : data) {
    bytes[start + offset] = byte;
    offset = (offset + 1) % size;
  }
  pointer = static_cast<std::uint16_t>(start + offset);
}

std::vector<std::uint8_t> Eeprom::Read(std::uint32_t address, std::uint32_t count) const {
  std::vector<std::uint8_t> out(count);
  for (std::uint32_t i = 0; i < count; ++i) out[i] = bytes[(address + i) % bytes.size()];
  return out;
}

std::vector<std::uint8_t> Eeprom::ReadOn(std::uint32_t count) {
  std::vector<std::uint8_t> out = Read(pointer, count);
  pointer = static_cast<std::uint16_t>((pointer + count) % bytes.size());
  return out;
}

Eeprom* Board::EepromAt(std::uint32_t select) {
  auto found = select <= 0xFF ? eeproms.find(static_cast<std::uint8_t>(select)) : eeproms.end();
  return found == eeproms.end() ? nullptr : &found->second;
}

std::uint8_t* Board::Memory(std::uint16_t address, std::uint32_t count) {
  const std::uint32_t end = address + count;
  if (end <= kProgramRamSize) return program_ram.data() + address;
  if (address >= kScratchRamStart && end <= kScratchRamStart + kScratchRamSize)
    return scratch_ram.data() + (address - kScratchRamStart);
  return nullptr;
}

bool Board::FillIn(std::span<std::uint8_t> target, std::uint32_t& filled, std::uint64_t& produced,
                   std::uint32_t& error) {
  for (;;) {
    const auto room = static_cast<std::uint32_t>(target.size()) - filled;
    if (room == 0) return true;
    std::uint8_t* at = target.data() + filled;
    if (!in_packets.empty()) {
      const std::vector<std::uint8_t>& packet = in_packets.front();
      const auto size = static_cast<std::uint32_t>(packet.size());
      if (size > room) {
        // More than the request holds: the host controller reports babble.
        in_packets.pop_front();
        error = kStall;
        return true;
      }
      if (size != 0) std::memcpy(at, packet.data(), size);
      filled += size;
      in_packets.pop_front();
      if (size < kPacketSize) return true;  // a short packet ends the request
      continue;
    }
    if (!fifo_runs.empty()) {
      Run& run = fifo_runs.front();
      auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.bytes, room));
      size -= size % kPacketSize;
      // A whole packet into less room is babble, as below.
      const std::uint32_t taken = size == 0 ? kPacketSize : size;
      if (size != 0 && source != Source::kUntouched) FillCounter(at, run.position, size);
      filled += size;
      run.position += taken;
      run.bytes -= taken;
      fifo_held -= taken;
      if (run.bytes == 0) fifo_runs.pop_front();
      if (size == 0) {
        error = kStall;
        return true;
      }
      continue;
    }
    if (produced == 0) return false;
    auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(produced, room));
    size -= size % kPacketSize;
    if (size == 0) {
      // A whole packet into less room: babble too.
      produced -= std::min<std::uint64_t>(produced, kPacketSize);
      source_position += kPacketSize;
      error = kStall;
      return true;
    }
    if (source == Source::kCounter || source == Source::kFixedRate)
      FillCounter(at, source_position, size);
    filled += size;
    produced -= size;
    source_position += size;
  }
}

std::uint32_t Board::SendIn(std::span<std::uint8_t> target, std::uint32_t& error) {
  error = 0;
  std::uint32_t filled = 0;
  // The fixed-rate source has a rate by nature: only what its FIFO holds is at hand.
  std::uint64_t unlimited =
      source == Source::kNone || source == Source::kFixedRate || configuration == 0
          ? 0
          : ~std::uint64_t{0};
  (void)FillIn(target, filled, unlimited, error);
  return filled;
}

Reply Board::Control(const Setup& setup, std::span<const std::uint8_t> data) {
  if (hook) {
    if (auto reply = hook(setup, data)) return *reply;
  }
  const std::uint8_t type = setup.bmRequestType;
  // GET_DESCRIPTOR
  if (type == 0x80 && setup.bRequest == 6) {
    const std::uint8_t kind = setup.wValue >> 8;
    const std::uint8_t index = setup.wValue & 0xFF;
    if (kind == 1) return {0, device_descriptor};
    if (kind == 2 && index == 0) return {0, configuration_descriptor};
    if (kind == 3) {
      auto found = strings.find(index);
      if (found != strings.end()) return {0, found->second};
    }
    return Stall();
  }
  // SET_CONFIGURATION: only configuration 0 (unconfigured) and 1 exist.
  if (type == 0x00 && setup.bRequest == 9) {
    if (setup.wValue > 1) return Stall();
    configuration = static_cast<std::uint8_t>(setup.wValue);
    return {};
  }

  // 0xA0, answered by the FX2's USB core itself, whether the CPU runs or not.
  if (setup.bRequest == 0xA0 && setup.wIndex == 0) {
    if (type == kHostToDevice && setup.wValue == kCpucs && setup.wLength == 1) {
      const bool reset = (data[0] & 0x01) != 0;
      if (reset != cpu_reset) cpu_history.push_back(reset);
      cpu_reset = reset;
      return {};
    }
    if (type == kDeviceToHost && setup.wValue == kCpucs && setup.wLength == 1)
      return {0, {static_cast<std::uint8_t>(cpu_reset ? 0x01 : 0x00)}};
    std::uint8_t* memory = Memory(setup.wValue, setup.wLength);
    if (memory == nullptr) return Stall();
    if (type == kHostToDevice) {
      std::copy(data.begin(), data.end(), memory);
      return {};
    }
    if (type == kDeviceToHost) return {0, {memory, memory + setup.wLength}};
    return Stall();
  }

  // The board's firmware answers the rest, and only while the CPU runs it.
  if (cpu_reset || setup.wValue != 0) return Stall();
  // 0xB2 port D: wIndex 0 the output latch, 1 the output enables.
  if (setup.bRequest == 0xB2) {
    if (type == kHostToDevice && setup.wIndex == 0) {
      if (port_d_writes.size() == kPortDLogLimit) port_d_writes.pop_front();
      port_d_writes.emplace_back(data.begin(), data.end());
      if (!data.empty()) port_d = data.back();
      if (start_on_port_d && !data.empty() && port_d == start_on_port_d->first)
        rate = start_on_port_d->second;
      return {};
    }
    if (type == kHostToDevice && setup.wIndex == 1 && setup.wLength == 1) {
      port_d_enable = data[0];
      return {};
    }
    if (type == kDeviceToHost && setup.wIndex == 0 && setup.wLength >= 1) return {0, {port_d}};
    return Stall();
  }
  // 0xB3 FPGA configuration mode.
  if (setup.bRequest == 0xB3) {
    if (type == kHostToDevice && setup.wIndex == 0 && setup.wLength == 1) {
      fpga_mode = data[0];
      return {};
    }
    return Stall();
  }
  // 0xB0 EEPROM at select wIndex: a write carries the address, high byte first, then the
  // data; a read goes on from where the last write or read left the pointer.
  if (setup.bRequest == 0xB0) {
    Eeprom* eeprom = EepromAt(setup.wIndex);
    if (eeprom == nullptr) return Stall();  // no part answers at that select
    if (type == kHostToDevice && setup.wLength >= 2) {
      eeprom->Program(static_cast<std::uint32_t>(data[0] << 8 | data[1]), data.subspan(2));
      return {};
    }
    if (type == kDeviceToHost) return {0, eeprom->ReadOn(setup.wLength)};
    return Stall();
  }
  return Stall();
}

}  // namespace quorix::sim
