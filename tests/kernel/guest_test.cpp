// The kernel test's program inside the guest: libquorix.so.1 over libusb and the guest's real
// kernel (usbfs, the EHCI or xHCI driver, udev), through the public API alone.
//
//   quorix_guest_test CONTROLLER SCENARIOS
//
// SCENARIOS is "all" or a comma-separated list. Each scenario prints one line on the console:
// "RESULT <controller> <scenario> pass [figures]" or "... fail: <why>". Requests to the host
// (the boards' commands, QEMU's monitor) go over /dev/ttyS1, one line out and one line back.
// Board 0 (serial QX-KVM-0001) sits on port 1, board 1 (QX-KVM-0002) on port 2.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quorix/quorix.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSerial0 = "QX-KVM-0001";
constexpr const char* kSerial1 = "QX-KVM-0002";
constexpr std::uint32_t kMiB = 1u << 20;

// A scenario's failure, with the reason.
struct Failure {
  std::string why;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void Check(bool condition, const std::string& why) {
  if (!condition) throw Failure{why};
}

void Expect(int status, int expected, const char* what) {
  if (status != expected) throw Failure{Format("%s returned %d, expected %d", what, status, expected)};
}

// ---- the host, over the second serial port ----

int gHost = -1;

std::string Host(const std::string& request) {
  const std::string line = request + "\n";
  if (write(gHost, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    throw Failure{"cannot write to the host"};
  std::string answer;
  char c;
  while (read(gHost, &c, 1) == 1) {
    if (c == '\n') break;
    if (c != '\r') answer += c;
  }
  return answer;
}

// A host request that must succeed; returns what follows "ok".
std::string HostOk(const std::string& request) {
  const std::string answer = Host(request);
  if (answer.rfind("ok", 0) != 0) throw Failure{"host: " + request + ": " + answer};
  return answer.size() > 3 ? answer.substr(3) : "";
}

void OpenHost() {
  gHost = open("/dev/ttyS1", O_RDWR | O_NOCTTY);
  if (gHost < 0) return;
  termios mode{};
  tcgetattr(gHost, &mode);
  cfmakeraw(&mode);
  tcsetattr(gHost, TCSANOW, &mode);
}

// ---- the board's stream ----

// The counter pattern: 32-bit little-endian words 0, 1, 2, ...
std::uint8_t CounterByte(std::uint64_t position) {
  return static_cast<std::uint8_t>((position / 4) >> (8 * (position % 4)));
}

// Checks bytes against the pattern from position on; the first difference fails.
void CheckPattern(const std::uint8_t* bytes, std::size_t size, std::uint64_t position) {
  for (std::size_t i = 0; i < size; ++i)
    if (bytes[i] != CounterByte(position + i))
      throw Failure{Format("gap in the stream at byte %llu: 0x%02x instead of 0x%02x",
                           static_cast<unsigned long long>(position + i), bytes[i],
                           CounterByte(position + i))};
}

// Reads total bytes in the sizes given, in turn, checking the pattern; returns MiB/s.
double ReadPattern(QuorixHandle device, std::uint64_t total, std::uint64_t& position,
                   const std::vector<std::uint32_t>& sizes) {
  std::vector<std::uint8_t> buffer(*std::max_element(sizes.begin(), sizes.end()));
  const auto start = Clock::now();
  std::uint64_t done = 0;
  for (std::size_t turn = 0; done < total; ++turn) {
    const auto size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(sizes[turn % sizes.size()], total - done));
    const int status = QuorixReadDevice(device, size, buffer.data());
    if (status != 0)
      throw Failure{Format("read of %u bytes at byte %llu returned %d", size,
                           static_cast<unsigned long long>(position), status)};
    CheckPattern(buffer.data(), size, position);
    position += size;
    done += size;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(total) / kMiB / seconds;
}

int Count() {
  std::int32_t count = -1;
  Expect(QuorixCountDevices(&count), 0, "QuorixCountDevices");
  return count;
}

// Opens the board with the serial, with a generous timeout: software emulation is slow.
QuorixHandle Open(const char* serial = kSerial0) {
  QuorixHandle device = nullptr;
  Expect(QuorixOpenDeviceWithSerial(serial, &device), 0, "QuorixOpenDeviceWithSerial");
  Expect(QuorixSetTimeOut(device, 5000), 0, "QuorixSetTimeOut");
  return device;
}

// Closes the device when a scenario ends, however it ends.
struct Opened {
  explicit Opened(const char* serial = kSerial0) : device(Open(serial)) {}
  explicit Opened(QuorixHandle opened) : device(opened) {}
  ~Opened() {
    if (device != nullptr) QuorixCloseDevice(device);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  void Close() {
    QuorixHandle closing = device;
    device = nullptr;
    Expect(QuorixCloseDevice(closing), 0, "QuorixCloseDevice");
  }
  QuorixHandle device;
};

// Waits until the count is wanted; returns the milliseconds it took, or fails after limit_ms.
long WaitForCount(int wanted, long limit_ms) {
  const auto start = Clock::now();
  for (;;) {
    const long spent = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    if (Count() == wanted) return spent;
    if (spent > limit_ms) throw Failure{Format("the count did not reach %d within %ld ms", wanted, limit_ms)};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// ---- scenarios ----

std::string Discovery() {
  Expect(Count(), 2, "the board count");
  const char* first = QuorixGetDeviceSerialNumber(0);
  const char* second = QuorixGetDeviceSerialNumber(1);
  Check(first != nullptr && std::string_view(first) == kSerial0,
        Format("serial 0 is %s", first ? first : "null"));
  Check(second != nullptr && std::string_view(second) == kSerial1,
        Format("serial 1 is %s", second ? second : "null"));
  Check(QuorixGetDeviceSerialNumber(2) == nullptr, "a third serial number");
  QuorixHandle device = nullptr;
  Expect(QuorixOpenDeviceWithSerial("QX-KVM-000", &device), -1, "opening by a prefix");
  Expect(QuorixOpenDeviceWithSerial("qx-kvm-0002", &device), -1, "opening in other case");
  Expect(QuorixOpenDeviceWithSerial(kSerial1, &device), 0, "opening board 1 by serial");
  Expect(QuorixCloseDevice(device), 0, "closing board 1");
  return "";
}

std::string OpenCloseReopen() {
  QuorixHandle first = nullptr, again = nullptr;
  Expect(QuorixOpenDevice(0, &first), 0, "QuorixOpenDevice");
  Expect(QuorixOpenDevice(0, &again), -3, "a second open");
  Check(again == nullptr, "a failed open left a handle");
  Expect(QuorixCloseDevice(first), 0, "QuorixCloseDevice");
  Expect(QuorixCloseDevice(first), -4, "a second close");
  Expect(QuorixOpenDevice(0, &again), 0, "reopening");
  Check(again == first, "reopening gave another handle");
  Expect(QuorixCloseDevice(again), 0, "closing again");
  Expect(Count(), 2, "the board count after closing");
  return "";
}

std::string Stream64() {
  Opened board;
  std::uint64_t position = 0;
  // Odd sizes: single bytes, around a packet, across the ring's end, larger than the ring.
  const double rate = ReadPattern(board.device, 64ull * kMiB, position,
                                  {1, 511, 513, 4097, 65537, 1000003, 3, 2097153, 77777});
  return Format("64 MiB at %.1f MiB/s", rate);
}

// The loops applications write, each on a fresh open: poll and read 64 KiB once that much is
// held; poll and read all that is held; read 64 KiB and poll once. None may lose a byte.
std::string ApplicationLoops() {
  constexpr std::uint64_t kTotal = 16ull * kMiB;
  constexpr std::uint32_t kBlock = 64 * 1024;
  std::vector<std::uint8_t> buffer(2 * kMiB);
  int polls = 0;
  auto poll = [&](QuorixHandle device) {
    std::uint32_t held = 0;
    Expect(QuorixNumberOfBytesAvailable(device, &held), 0, "QuorixNumberOfBytesAvailable");
    ++polls;
    return held;
  };
  auto take = [&](QuorixHandle device, std::uint64_t& position, std::uint32_t size) {
    Expect(QuorixReadDevice(device, size, buffer.data()), 0, "QuorixReadDevice");
    CheckPattern(buffer.data(), size, position);
    position += size;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  {
    Opened board;
    for (std::uint64_t position = 0; position < kTotal;) {
      if (poll(board.device) >= kBlock) take(board.device, position, kBlock);
      Check(Clock::now() < deadline, "the loops ran past two minutes");
    }
  }
  {
    Opened board;
    for (std::uint64_t position = 0; position < kTotal;) {
      if (const std::uint32_t held = poll(board.device)) take(board.device, position, held);
      Check(Clock::now() < deadline, "the loops ran past two minutes");
    }
  }
  {
    Opened board;
    for (std::uint64_t position = 0; position < kTotal;) {
      take(board.device, position, kBlock);
      poll(board.device);
    }
  }
  return Format("3 x 16 MiB, %d polls", polls);
}

// Small reads with a write between them: each write also takes in the completed read.
std::string ReadWriteLoop() {
  Opened board;
  std::vector<std::uint8_t> buffer(70000);
  const std::uint8_t command[4] = {'p', 'i', 'n', 'g'};
  std::uint64_t position = 0;
  for (int turn = 0; position < 16ull * kMiB; ++turn) {
    Expect(QuorixWriteDevice(board.device, sizeof command, command), 0, "QuorixWriteDevice");
    const std::uint32_t size = 1 + static_cast<std::uint32_t>(turn * 7919) % 69999;
    Expect(QuorixReadDevice(board.device, size, buffer.data()), 0, "QuorixReadDevice");
    CheckPattern(buffer.data(), size, position);
    position += size;
  }
  HostOk("board 0 out");  // let go of what the writes sent
  return "16 MiB";
}

std::string ShortAndZeroLengthPackets() {
  Opened board;
  std::uint64_t position = 0;
  ReadPattern(board.device, 3 * kMiB, position, {4096});
  // Queued on the board, each ends the IN transfer it lands in; the stream goes on unbroken.
  for (const char* packet : {"short 100", "zlp", "short 1", "short 511", "zlp", "zlp", "short 4"})
    HostOk(std::string("board 0 ") + packet);
  ReadPattern(board.device, 8 * kMiB, position, {4096, 123457});
  const std::string state = HostOk("board 0 state");
  Check(state.find("queued=0") != std::string::npos, "packets left on the board: " + state);
  return "";
}

std::string StalledRequest() {
  Opened board;
  HostOk("board 0 stall-request b2");
  Expect(QuorixSetPortDOutputs(board.device, 0x11), 31, "a stalled port D request");
  Expect(QuorixSetPortDOutputs(board.device, 0x22), 0, "the next port D request");
  std::uint8_t outputs = 0;
  Expect(QuorixGetPortDOutputs(board.device, &outputs), 0, "QuorixGetPortDOutputs");
  Check(outputs == 0x22, Format("port D reads 0x%02x", outputs));
  return "";
}

std::string StalledBulkIn() {
  int status = 0;
  {
    Opened board;
    std::uint64_t position = 0;
    ReadPattern(board.device, 1 * kMiB, position, {65536});
    HostOk("board 0 stall-in");
    std::vector<std::uint8_t> buffer(65536);
    // The ring still holds what came before the stall; the failure shows once it is empty.
    for (int i = 0; i < 1000 && status == 0; ++i) {
      status = QuorixReadDevice(board.device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
      if (status == 0) {
        CheckPattern(buffer.data(), buffer.size(), position);
        position += buffer.size();
      }
    }
    Check(status == -6 || status == 31, Format("a read on the stalled pipe returned %d", status));
    std::uint32_t available = 1;
    Expect(QuorixNumberOfBytesAvailable(board.device, &available), 31, "polling the stalled read");
    board.Close();
  }
  // Closing reset the pipes; opening configures the board, and its stream starts again.
  Opened board;
  std::uint64_t position = 0;
  ReadPattern(board.device, 2 * kMiB, position, {100000});
  return Format("read status %d", status);
}

std::string HeldSource() {
  HostOk("board 0 hold-in on");
  Opened board;
  Expect(QuorixSetTimeOut(board.device, 300), 0, "QuorixSetTimeOut");
  std::uint8_t byte = 0;
  const auto start = Clock::now();
  const int status = QuorixReadDevice(board.device, 1, &byte);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  HostOk("board 0 hold-in off");
  Expect(status, -5, "a read on a held source");
  Check(waited.count() >= 290, Format("the read gave up after %lld ms", static_cast<long long>(waited.count())));
  // The read stayed outstanding: once the board answers, the stream arrives from its start.
  Expect(QuorixSetTimeOut(board.device, 5000), 0, "QuorixSetTimeOut");
  std::uint64_t position = 0;
  ReadPattern(board.device, 1 * kMiB, position, {4096});
  return Format("timed out after %lld ms", static_cast<long long>(waited.count()));
}

std::string Writes() {
  Opened board;
  HostOk("board 0 out");
  std::vector<std::uint8_t> data(70001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  std::string expected;
  for (std::uint32_t size : {1u, 512u, 0u, 513u, 70001u}) {
    Expect(QuorixWriteDevice(board.device, size, data.data()), 0, "QuorixWriteDevice");
    char pair[3];
    for (std::uint32_t i = 0; i < size; ++i) {
      std::snprintf(pair, sizeof pair, "%02x", data[i]);
      expected += pair;
    }
  }
  const std::string received = HostOk("board 0 out");
  Check(received == expected, Format("the board received %zu bytes, expected %zu, or others",
                                     received.size() / 2, expected.size() / 2));
  return Format("%zu bytes", expected.size() / 2);
}

std::string BoardControls() {
  Opened board;
  Expect(QuorixSetPortDOutputEnable(board.device, 0xF0), 0, "QuorixSetPortDOutputEnable");
  Expect(QuorixSetPortDOutputs(board.device, 0x5A), 0, "QuorixSetPortDOutputs");
  std::uint8_t outputs = 0;
  Expect(QuorixGetPortDOutputs(board.device, &outputs), 0, "QuorixGetPortDOutputs");
  Check(outputs == 0x5A, Format("port D reads 0x%02x", outputs));
  const std::uint8_t sequence[] = {1, 2, 3, 0xC3};
  Expect(QuorixSetPortDOutputsExt(board.device, sizeof sequence, sequence), 0, "QuorixSetPortDOutputsExt");
  Expect(QuorixSetConfFpgaMode(board.device, 2), 0, "QuorixSetConfFpgaMode");
  const std::string state = HostOk("board 0 state");
  Check(state.find("port_d=195 enable=240 fpga=2") != std::string::npos, "the board holds " + state);
  return "";
}

std::string Eeprom() {
  Opened board;
  std::uint8_t data[32], back[32] = {};
  for (int i = 0; i < 32; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
  Expect(QuorixWriteEprom(board.device, 1, 0x0200, 32, data), 0, "QuorixWriteEprom");
  Expect(QuorixReadEprom(board.device, 1, 0x0200, 32, back), 0, "QuorixReadEprom");
  Check(std::memcmp(data, back, 32) == 0, "the EEPROM reads back otherwise");
  Expect(QuorixReadEprom(board.device, 7, 0, 1, back), 31, "reading an EEPROM that is not there");
  return "";
}

std::string StartupCommand() {
  Opened board;
  const char command[] = "mode 1; stream";
  Expect(QuorixSetStartupCommand(board.device, 14, reinterpret_cast<const std::uint8_t*>(command)), 0,
         "QuorixSetStartupCommand");
  std::uint8_t stored[16] = {};
  Expect(QuorixReadEprom(board.device, 1, 0x1000, 16, stored), 0, "QuorixReadEprom");
  Check(stored[0] == 14 && stored[1] == 0 && std::memcmp(stored + 2, command, 14) == 0,
        "the stored command differs");
  return "";
}

std::string FirmwareLoad() {
  Opened board;
  Expect(QuorixLoadFirmware(board.device, "/blink.hex"), 0, "QuorixLoadFirmware");
  HostOk("ram-matches 0 blink.hex");
  const std::string state = HostOk("board 0 state");
  Check(state.find("cpu_reset=0") != std::string::npos, "the CPU stayed in reset: " + state);
  Expect(QuorixLoadFirmware(board.device, "/missing.hex"), -1, "loading a missing file");
  return "";
}

// Board 0's fixed-rate source, which drops what finds no request and no room in its FIFO,
// read with the classic calls. Whether the guest keeps up or not, every gap in the pattern
// must be whole packets skipped forward, and the gaps must add up to what the board counted
// as dropped: once the board is back on the counter source (which sends what the FIFO holds
// first, then goes on from there), reading past all that the fixed-rate source produced
// closes the account.
std::string FixedRateSource() {
  constexpr std::uint32_t kRate = 4000000;  // bytes per second
  constexpr std::uint64_t kTotal = 16ull * kMiB;
  constexpr std::uint32_t kBlock = 64 * 1024;
  std::vector<std::uint8_t> buffer(kBlock);
  std::uint64_t expected_word = 0, gaps = 0, gap_bytes = 0;
  auto take = [&](QuorixHandle device) {
    Expect(QuorixReadDevice(device, kBlock, buffer.data()), 0, "QuorixReadDevice");
    for (std::uint32_t i = 0; i < kBlock; i += 4) {
      std::uint32_t word = 0;
      std::memcpy(&word, buffer.data() + i, 4);
      if (word != static_cast<std::uint32_t>(expected_word)) {
        const std::uint64_t skipped = (word - static_cast<std::uint32_t>(expected_word)) * 4ull;
        Check(i % 512 == 0 && skipped % 512 == 0 && skipped < (1ull << 31),
              Format("at byte %u of a read: word %u instead of %llu", i, word,
                     static_cast<unsigned long long>(expected_word)));
        ++gaps;
        gap_bytes += skipped;
        expected_word += skipped / 4;
      }
      ++expected_word;
    }
  };
  const std::uint64_t dropped_before = std::stoull(HostOk("board 0 dropped"));
  Opened board;
  HostOk(Format("board 0 source fixed %u 2048", kRate));
  const auto start = Clock::now();
  for (std::uint64_t done = 0; done < kTotal; done += kBlock) take(board.device);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  HostOk("board 0 source counter");
  // What the ring, the request in flight and the FIFO held at the switch.
  for (std::uint64_t done = 0; done < 8 * kMiB; done += kBlock) take(board.device);
  const std::uint64_t dropped = std::stoull(HostOk("board 0 dropped")) - dropped_before;
  Check(gap_bytes == dropped, Format("gaps of %llu bytes, the board dropped %llu",
                                     static_cast<unsigned long long>(gap_bytes),
                                     static_cast<unsigned long long>(dropped)));
  return Format("classic read, %u B/s, 2 KiB FIFO: 16 MiB in %.1f s, %llu bytes dropped in %llu "
                "gaps",
                kRate, seconds, static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(gaps));
}

// Unplugs board 0 while a read waits on it, in the way given, and plugs it in again.
std::string UnplugWhileReading(const std::string& unplug, const std::string& replug) {
  HostOk("board 0 hold-in on");
  int pending = 0;
  {
    Opened gone;
    Expect(QuorixSetTimeOut(gone.device, 20000), 0, "QuorixSetTimeOut");
    HostOk("later 300 " + unplug);
    std::uint8_t byte = 0;
    pending = QuorixReadDevice(gone.device, 1, &byte);
    HostOk("board 0 hold-in off");
    Check(pending == -6 || pending == 1167, Format("the pending read returned %d", pending));
    Expect(Count(), 2, "the count with the gone board still open");
    Expect(QuorixReadDevice(gone.device, 1, &byte), -2, "a read after the refresh");
    std::uint32_t available = 0;
    Expect(QuorixNumberOfBytesAvailable(gone.device, &available), -2, "a poll after the refresh");
    QuorixHandle handle = gone.device;
    gone.Close();
    Expect(QuorixCloseDevice(handle), -1, "closing it again");
    Expect(Count(), 1, "the count after closing");
  }
  HostOk(replug);
  const long replugged = WaitForCount(2, 2000);
  // A new record, appended behind board 1's.
  const char* serial = QuorixGetDeviceSerialNumber(1);
  Check(serial != nullptr && std::string_view(serial) == kSerial0, "the re-plugged board's serial");
  Opened board;
  std::uint64_t position = 0;
  ReadPattern(board.device, 1 * kMiB, position, {65536});
  return Format("pending read %d, counted again after %ld ms", pending, replugged);
}

std::string UnplugSocket() {
  return UnplugWhileReading("board 0 unplug socket", "board 0 plug");
}
std::string UnplugDisconnect() {
  return UnplugWhileReading("board 0 unplug disconnect", "board 0 plug");
}
std::string UnplugDeviceDel() {
  return UnplugWhileReading("device-del 0", "device-add 0");
}

// The same board's fixed-rate source read by a program that works on its data in bursts: after
// every MiB it pauses 100 ms, so it falls behind the board for a while and catches up. With the
// classic read the 2 MiB ring fills and the board drops while the program pauses; with reads
// kept queued into a ring that holds the backlog, the pump keeps reads at the board and nothing
// is lost. Every gap must be what the board dropped.
std::string QueuedFixedRate() {
  constexpr std::uint32_t kRate = 4000000;
  constexpr std::uint64_t kTotal = 16ull * kMiB;
  constexpr std::uint32_t kBlock = 64 * 1024;
  std::string figures;
  for (const bool queued : {false, true}) {
    std::vector<std::uint8_t> buffer(kBlock);
    std::uint64_t expected_word = 0, gaps = 0, gap_bytes = 0, first_gap_at = 0;
    QuorixHandle device = nullptr;
    const QuorixReadQueue queue{8, 64 * 1024, 16 * kMiB};
    Expect(QuorixOpenDeviceQueued(0, kSerial0, queued ? &queue : nullptr, &device), 0,
           "QuorixOpenDeviceQueued");
    Opened board(device);
    Expect(QuorixSetTimeOut(device, 5000), 0, "QuorixSetTimeOut");
    HostOk(Format("board 0 source fixed %u 2048", kRate));
    // The first MiB settles the switch of sources (the reads posted at open were filled by the
    // counter source); the count starts behind it, at the pattern's word where it stands.
    for (std::uint64_t done = 0; done < kMiB; done += kBlock)
      Expect(QuorixReadDevice(device, kBlock, buffer.data()), 0, "QuorixReadDevice");
    const std::uint64_t dropped_before = std::stoull(HostOk("board 0 dropped"));
    const auto start = Clock::now();
    for (std::uint64_t done = 0; done < kTotal; done += kBlock) {
      Expect(QuorixReadDevice(device, kBlock, buffer.data()), 0, "QuorixReadDevice");
      if (done == 0) {
        std::uint32_t first = 0;
        std::memcpy(&first, buffer.data(), 4);
        expected_word = first;
      }
      for (std::uint32_t i = 0; i < kBlock; i += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, buffer.data() + i, 4);
        if (word != static_cast<std::uint32_t>(expected_word)) {
          const std::uint64_t skipped = (word - static_cast<std::uint32_t>(expected_word)) * 4ull;
          if (gaps++ == 0) first_gap_at = done + i;
          gap_bytes += skipped;
          expected_word += skipped / 4;
        }
        ++expected_word;
      }
      if ((done + kBlock) % kMiB == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    HostOk("board 0 source counter");
    QuorixStreamStatistics stats{};
    stats.size = sizeof stats;
    Expect(QuorixGetStreamStatistics(device, &stats), 0, "QuorixGetStreamStatistics");
    board.Close();
    const std::uint64_t dropped = std::stoull(HostOk("board 0 dropped")) - dropped_before;
    if (queued)
      Check(dropped == 0 && gaps == 0,
            Format("queued reads: %llu bytes dropped, %llu gaps, the first at byte %llu; %llu "
                   "gaps without a read (%.1f ms), ring full %llu times",
                   static_cast<unsigned long long>(dropped),
                   static_cast<unsigned long long>(gaps),
                   static_cast<unsigned long long>(first_gap_at),
                   static_cast<unsigned long long>(stats.gaps), stats.gap_total_us / 1000.0,
                   static_cast<unsigned long long>(stats.ring_full)));
    else
      // That the gaps add up to the drops is fixed_rate_source's check; here the drops of the
      // first MiB may still be in the ring.
      Check(dropped > 0 && gaps > 0,
            Format("classic read: %llu bytes dropped, gaps of %llu bytes",
                   static_cast<unsigned long long>(dropped),
                   static_cast<unsigned long long>(gap_bytes)));
    figures += Format("%s%s: %llu bytes dropped in %llu gaps, %.2f MB/s, %llu gaps of %.1f ms "
                      "without a read",
                      figures.empty() ? "" : "; ", queued ? "queued 8x64K" : "classic",
                      static_cast<unsigned long long>(dropped),
                      static_cast<unsigned long long>(gaps), kTotal / seconds / 1e6,
                      static_cast<unsigned long long>(stats.gaps), stats.gap_total_us / 1000.0);
  }
  return Format("%u B/s into a 2 KiB FIFO, 16 MiB after the first, 100 ms pause per MiB: ",
                kRate) + figures;
}

// Reads kept queued (QUORIX_READ_QUEUE, as an application that cannot be rebuilt gets them)
// through a timeout, a close from another thread while a read waits, and an unplug while a
// read waits.
std::string QueuedEnds() {
  setenv("QUORIX_READ_QUEUE", "8x64K", 1);
  struct Unset {
    ~Unset() { unsetenv("QUORIX_READ_QUEUE"); }
  } unset;
  HostOk("board 0 hold-in on");
  {
    Opened board;
    QuorixReadQueue queue{};
    Expect(QuorixGetReadQueue(board.device, &queue), 0, "QuorixGetReadQueue");
    Check(queue.reads == 8 && queue.read_size == 65536, "the environment's queue");
    Expect(QuorixSetTimeOut(board.device, 200), 0, "QuorixSetTimeOut");
    std::uint8_t byte = 0;
    Expect(QuorixReadDevice(board.device, 1, &byte), -5, "a read of a held board");
    Expect(QuorixSetTimeOut(board.device, 0), 0, "QuorixSetTimeOut");
    int waited = 0;
    std::thread reader([&] { waited = QuorixReadDevice(board.device, 1, &byte); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    board.Close();
    reader.join();
    Expect(waited, -4, "a waiting read ended by a close of another thread");
  }
  HostOk("board 0 hold-in off");
  return UnplugWhileReading("board 0 unplug socket", "board 0 plug");
}

// A child process opens board 0, reads, and ends with the board open: by returning from main
// (the library's detach runs) or killed (only the kernel cleans up).
std::string ExitWithBoardOpen() {
  std::string figures;
  for (const char* how : {"exit", "kill"}) {
    const pid_t child = fork();
    if (child == 0) {
      execl("/proc/self/exe", "quorix_guest_test", "--hold-open", how, nullptr);
      _exit(127);
    }
    int status = 0;
    if (std::string_view(how) == "kill") {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      kill(child, SIGKILL);
    }
    waitpid(child, &status, 0);
    if (std::string_view(how) == "exit")
      Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, Format("the child ended with 0x%x", status));
    Opened board;
    std::uint64_t position = 0;
    ReadPattern(board.device, 1 * kMiB, position, {65536});
    figures += std::string(figures.empty() ? "" : ", ") + how + " ok";
  }
  return figures;
}

// The child of ExitWithBoardOpen.
int HoldOpen(std::string_view how) {
  QuorixHandle device = nullptr;
  if (QuorixOpenDeviceWithSerial(kSerial0, &device) != 0) return 1;
  std::vector<std::uint8_t> buffer(65536);
  if (QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data()) != 0) return 2;
  if (how == "kill") {
    for (;;) QuorixReadDevice(device, static_cast<std::uint32_t>(buffer.size()), buffer.data());
  }
  return 0;
}

// The example program that waits with poll() on both boards' ready handles and a timer, run as
// a user runs it: 64 MiB from each board, every byte checked against the counter pattern.
std::string PollTwoBoards() {
  FILE* output = popen("/bin/poll_boards 64 2>&1", "r");
  Check(output != nullptr, "cannot start /bin/poll_boards");
  std::string text, figures;
  char line[512];
  while (std::fgets(line, sizeof line, output) != nullptr) {
    text += line;
    // "board N SERIAL: BYTES bytes in S s (R MB/s), G gaps in the counter pattern"
    unsigned long long bytes = 0, gaps = 0;
    double seconds = 0, rate = 0;
    int board = -1;
    char serial[64];
    if (std::sscanf(line, "board %d %63[^:]: %llu bytes in %lf s (%lf MB/s), %llu gap", &board,
                    serial, &bytes, &seconds, &rate, &gaps) == 6) {
      Check(bytes == 64ull * kMiB && gaps == 0, "poll_boards: " + std::string(line));
      figures += Format("%sboard %d %.1f MB/s, %llu gaps", figures.empty() ? "" : "; ", board,
                        rate, gaps);
    }
  }
  const int status = pclose(output);
  Check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
        Format("poll_boards ended with 0x%x: %s", status, text.c_str()));
  Check(figures.find("board 1") != std::string::npos, "poll_boards printed no figures: " + text);
  return "64 MiB from each board: " + figures;
}

// What a plug callback has seen, and a pipe it writes a byte to for each event, so that a
// program can wait for plug events in the same poll() as for its boards' data.
struct PlugEvents {
  struct Seen {
    int event;
    std::string serial;
    QuorixHandle device;
    Clock::time_point when;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Seen> seen;
  int pipe_fds[2] = {-1, -1};

  PlugEvents() { Check(pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) == 0, "pipe2"); }
  ~PlugEvents() {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
  }
  static void QUORIX_CALL Record(void* context, int32_t event, const char* serial,
                                 QuorixHandle device) {
    auto* self = static_cast<PlugEvents*>(context);
    const std::lock_guard lock(self->mutex);
    self->seen.push_back({event, serial, device, Clock::now()});
    const char byte = 1;
    (void)!write(self->pipe_fds[1], &byte, 1);
    self->changed.notify_all();
  }
  // Waits for the count-th event; fails after limit_ms.
  Seen Await(std::size_t count, long limit_ms) {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                          [&] { return seen.size() >= count; }))
      throw Failure{Format("plug event %zu did not come within %ld ms", count, limit_ms)};
    Check(seen.size() == count, Format("%zu plug events where %zu were due", seen.size(), count));
    return seen[count - 1];
  }
};

// A thread waiting in poll() on a ready handle and on the plug events' pipe, as an event loop
// would: it notes when the ready handle became readable, and how often plug events woke it.
struct EventLoop {
  EventLoop(int ready_fd, int plug_fd) : thread([this, ready_fd, plug_fd] { Run(ready_fd, plug_fd); }) {}
  ~EventLoop() { Stop(); }
  void Run(int ready_fd, int plug_fd) {
    pollfd waits[3] = {{ready_fd, POLLIN, 0}, {plug_fd, POLLIN, 0}, {stop_fds[0], POLLIN, 0}};
    for (;;) {
      polling = true;
      if (poll(waits, 3, -1) < 0) continue;
      if (waits[0].revents != 0) {
        const std::lock_guard lock(mutex);
        ready_at = Clock::now();
        ready_events = waits[0].revents;
        waits[0].fd = -1;  // level-triggered: stays readable until the device is closed
      }
      if (waits[1].revents & POLLIN) {
        char drain[64];
        while (read(plug_fd, drain, sizeof drain) > 0) {
        }
        plug_wakes += 1;
      }
      if (waits[2].revents != 0) return;
    }
  }
  void Stop() {
    if (!thread.joinable()) return;
    const char byte = 1;
    (void)!write(stop_fds[1], &byte, 1);
    thread.join();
    close(stop_fds[0]);
    close(stop_fds[1]);
  }
  // Once the thread is about to enter poll(): a close before it is inside finds the ready
  // handle still open and ready (it outlives the close), so no moment more is needed.
  void Started() {
    while (!polling.load()) std::this_thread::yield();
  }
  bool Ready() {
    const std::lock_guard lock(mutex);
    return ready_at != Clock::time_point{};
  }
  Clock::time_point ReadyAt(long limit_ms) {
    const auto limit = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (!Ready()) {
      if (Clock::now() > limit) throw Failure{"the ready handle did not become readable"};
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::lock_guard lock(mutex);
    return ready_at;
  }
  int stop_fds[2] = {-1, -1};
  bool made = pipe2(stop_fds, O_CLOEXEC) == 0;
  std::mutex mutex;
  Clock::time_point ready_at{};
  short ready_events = 0;
  std::atomic<bool> polling{false};
  std::atomic<int> plug_wakes{0};
  std::thread thread;
};

long MsBetween(Clock::time_point from, Clock::time_point to) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// QEMU's device_del and device_add of the boards while a program waits in poll() on board 1's
// ready handle (its source held, so only its departure makes it ready) and on plug events. Each
// arrival and departure must come once, board 0's without waking the ready handle, board 1's
// departure with it. The figures are the milliseconds from sending the request to the host
// (which includes the serial line's round trip and, for device-add, the board's connection) to
// the callback, and from the host's answer (QEMU's command done) to the callback.
std::string PlugEventsDeviceDel() {
  PlugEvents events;
  HostOk("board 1 hold-in on");
  QuorixHandle device = nullptr;
  const QuorixReadQueue queue{4, 64 * 1024, 4 * kMiB};
  Expect(QuorixOpenDeviceQueued(0, kSerial1, &queue, &device), 0, "QuorixOpenDeviceQueued");
  Opened board(device);
  QuorixNativeHandle ready = -1;
  Expect(QuorixGetReadyHandle(device, &ready), 0, "QuorixGetReadyHandle");
  std::uint32_t registration = 0;
  Expect(QuorixRegisterPlugCallback(PlugEvents::Record, &events, 0, &registration), 0,
         "QuorixRegisterPlugCallback");
  struct Unregister {
    std::uint32_t id;
    ~Unregister() { QuorixUnregisterPlugCallback(id); }
  } unregister{registration};
  EventLoop loop(ready, events.pipe_fds[0]);
  Check(loop.made, "pipe2");

  std::string figures;
  auto step = [&](const std::string& request, std::size_t number, int event, const char* serial,
                  QuorixHandle expected_device) {
    const auto sent = Clock::now();
    HostOk(request);
    const auto answered = Clock::now();
    const PlugEvents::Seen seen = events.Await(number, 10000);
    Check(seen.event == event && seen.serial == serial && seen.device == expected_device,
          Format("after %s: event %d for %s (device %p)", request.c_str(), seen.event,
                 seen.serial.c_str(), static_cast<void*>(seen.device)));
    figures += Format("%s%s %ld ms (%ld after the host's answer)", figures.empty() ? "" : ", ",
                      request.c_str(), MsBetween(sent, seen.when), MsBetween(answered, seen.when));
    return sent;
  };
  step("device-del 0", 1, QUORIX_BOARD_LEFT, kSerial0, nullptr);
  step("device-add 0", 2, QUORIX_BOARD_ARRIVED, kSerial0, nullptr);
  Check(!loop.Ready(), "board 1's ready handle woke for board 0's plug events");
  const auto deleted = step("device-del 1", 3, QUORIX_BOARD_LEFT, kSerial1, device);
  const long ready_ms = MsBetween(deleted, loop.ReadyAt(10000));
  Check((loop.ready_events & POLLIN) != 0,
        Format("board 1's ready handle woke with events 0x%x", loop.ready_events));
  board.Close();
  step("device-add 1", 4, QUORIX_BOARD_ARRIVED, kSerial1, nullptr);
  HostOk("board 1 hold-in off");
  Check(loop.plug_wakes.load() >= 1, "the plug events never woke the poll");

  // A close from another thread ends a wait on the ready handle.
  HostOk("board 0 hold-in on");
  Expect(QuorixOpenDeviceQueued(0, kSerial0, &queue, &device), 0, "QuorixOpenDeviceQueued");
  Expect(QuorixGetReadyHandle(device, &ready), 0, "QuorixGetReadyHandle");
  int closed_ms = -1;
  {
    EventLoop waiter(ready, events.pipe_fds[0]);
    waiter.Started();
    const auto closing = Clock::now();
    Expect(QuorixCloseDevice(device), 0, "QuorixCloseDevice");
    closed_ms = static_cast<int>(MsBetween(closing, waiter.ReadyAt(10000)));
    Check((waiter.ready_events & POLLIN) != 0,
          Format("the waiter woke with events 0x%x, not readable", waiter.ready_events));
  }
  HostOk("board 0 hold-in off");
  Check(events.seen.size() == 4, Format("%zu plug events in all", events.seen.size()));
  return Format("plug events after %s; board 1's ready handle woke %ld ms after its device_del, "
                "a waiter %d ms after a close from another thread",
                figures.c_str(), ready_ms, closed_ms);
}

struct Scenario {
  const char* name;
  std::function<std::string()> run;
};

const Scenario kScenarios[] = {
    {"discovery", Discovery},
    {"open_close_reopen", OpenCloseReopen},
    {"stream_64mib", Stream64},
    {"application_loops", ApplicationLoops},
    {"read_write_loop", ReadWriteLoop},
    {"short_and_zlp", ShortAndZeroLengthPackets},
    {"stall_request", StalledRequest},
    {"stall_bulk_in", StalledBulkIn},
    {"held_source", HeldSource},
    {"writes", Writes},
    {"board_controls", BoardControls},
    {"eeprom", Eeprom},
    {"startup_command", StartupCommand},
    {"firmware_load", FirmwareLoad},
    {"unplug_socket", UnplugSocket},
    {"unplug_disconnect", UnplugDisconnect},
    {"unplug_device_del", UnplugDeviceDel},
    {"exit_with_board_open", ExitWithBoardOpen},
    {"fixed_rate_source", FixedRateSource},
    {"queued_fixed_rate", QueuedFixedRate},
    {"queued_ends", QueuedEnds},
    {"poll_two_boards", PollTwoBoards},
    {"plug_events_device_del", PlugEventsDeviceDel},
};

bool Selected(const std::string& list, const char* name) {
  if (list == "all") return true;
  const std::string padded = "," + list + ",";
  return padded.find("," + std::string(name) + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--hold-open") return HoldOpen(argv[2]);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CONTROLLER all|SCENARIO[,SCENARIO...]\n", argv[0]);
    return 2;
  }
  const std::string controller = argv[1], list = argv[2];
  OpenHost();
  int failed = 0;
  for (const Scenario& scenario : kScenarios) {
    if (!Selected(list, scenario.name)) continue;
    std::string line;
    try {
      if (gHost < 0) throw Failure{"no line to the host on /dev/ttyS1"};
      const auto start = Clock::now();
      const std::string figures = scenario.run();
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      line = Format("pass %.1f s", seconds) + (figures.empty() ? "" : ", " + figures);
    } catch (const Failure& failure) {
      line = "fail: " + failure.why;
      ++failed;
      // The next scenario starts from both boards plugged in and answering.
      for (const char* request : {"ensure-plugged 0", "ensure-plugged 1", "board 0 hold-in off",
                                  "board 1 hold-in off",
                                  "board 0 source counter", "board 0 fifo 2048"})
        Host(request);
      try {
        WaitForCount(2, 3000);
      } catch (const Failure&) {
      }
    }
    std::printf("RESULT %s %s %s\n", controller.c_str(), scenario.name, line.c_str());
    std::fflush(stdout);
  }
  return failed == 0 ? 0 : 1;
}
