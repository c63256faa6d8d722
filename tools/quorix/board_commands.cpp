// Listing, identity, port D, FPGA mode, EEPROM and the startup command.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>

#include "commands.h"

#if defined(QUORIX_TOOL_HAS_LIBUSB)
#include <libusb.h>
#endif

namespace quorix::tool {

namespace {

// One request carries at most 255 bytes, and an EEPROM write must not cross a page (a
// 24C64's are 32 bytes) or the part wraps it within the page.
constexpr std::uint32_t kPiece = 255;
constexpr std::uint32_t kEepromPage = 32;

// When no board is found: is one there that this user may not open?
void HintAtPermissions() {
#if defined(QUORIX_TOOL_HAS_LIBUSB)
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
    if (descriptor.idVendor != QUORIX_VENDOR_ID || descriptor.idProduct != QUORIX_PRODUCT_ID)
      continue;
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(list[i], &handle);
    if (r == 0) {
      libusb_close(handle);
      continue;
    }
    std::fprintf(
        stderr,
        "A board (0xDEAD:0xBEEF) is on bus %u at address %u, but it cannot be opened (%s).\n",
        libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]), libusb_error_name(r));
    if (r == LIBUSB_ERROR_ACCESS)
      std::fprintf(stderr,
                   "Install the udev rule packaging/linux/60-quorix.rules (see \"Linux "
                   "permissions\" in the README), then plug the board in again.\n");
  }
  if (count >= 0) libusb_free_device_list(list, 1);
  libusb_exit(context);
#endif
}

void HexDump(std::uint32_t base, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t row = 0; row < bytes.size(); row += 16) {
    std::printf("%08zx ", base + row);
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) std::printf(" ");
      if (row + i < bytes.size())
        std::printf(" %02x", bytes[row + i]);
      else
        std::printf("   ");
    }
    std::printf("  |");
    for (std::size_t i = row; i < std::min(bytes.size(), row + 16); ++i)
      std::putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    std::printf("|\n");
  }
  std::printf("%08zx\n", base + bytes.size());
}

std::vector<std::uint8_t> ReadEeprom(const Api& api, QuorixHandle handle, std::uint8_t select,
                                     std::uint32_t address, std::uint32_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t piece = std::min(kPiece, length - done);
    Check(api.QuorixReadEprom(handle, select, static_cast<std::uint16_t>(address + done),
                              static_cast<std::uint8_t>(piece), bytes.data() + done),
          "reading the EEPROM at " + std::to_string(address + done));
    done += piece;
  }
  return bytes;
}

std::uint16_t Word(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

}  // namespace

int List(const Library& library) {
  const Api& api = library.api();
  int32_t count = 0;
  Check(api.QuorixCountDevices(&count), "listing the boards");
  std::printf("%d board%s\n", count, count == 1 ? "" : "s");
  for (int32_t i = 0; i < count; ++i) {
    const char* serial = api.QuorixGetDeviceSerialNumber(i);
    std::printf("  %d  %s\n", i, serial != nullptr ? serial : "(no serial number)");
  }
  if (count == 0 && library.sim() == nullptr) HintAtPermissions();
  return 0;
}

StartupArea ReadStartupArea(const Api& api, QuorixHandle handle) {
  // A non-zero byte at 0x1FFD marks the area; its base B is at 0x1FF8 and the command's
  // address at B + 7, where the command's length comes first; all low byte first.
  StartupArea area;
  std::uint8_t flag = 0, word[2] = {};
  Check(api.QuorixReadEprom(handle, 1, 0x1FFD, 1, &flag), "reading the EEPROM");
  if (flag == 0) return area;
  area.present = true;
  Check(api.QuorixReadEprom(handle, 1, 0x1FF8, 2, word), "reading the EEPROM");
  area.base = Word(word);
  Check(api.QuorixReadEprom(handle, 1, static_cast<std::uint16_t>(area.base + 7), 2, word),
        "reading the EEPROM");
  area.command = Word(word);
  Check(api.QuorixReadEprom(handle, 1, area.command, 2, word), "reading the EEPROM");
  area.length = Word(word);
  return area;
}

int Info(const Api& api, const Options& options) {
  Session session(api, options);
  const char* serial = options.serial ? options.serial->c_str()
                                      : api.QuorixGetDeviceSerialNumber(options.index.value_or(0));
  std::printf("serial number   %s\n", serial != nullptr ? serial : "(none)");
  std::uint8_t latch = 0;
  Check(api.QuorixGetPortDOutputs(session.handle(), &latch), "reading port D");
  std::printf("port D outputs  0x%02x\n", latch);
  const StartupArea area = ReadStartupArea(api, session.handle());
  if (!area.present)
    std::printf("startup area    none\n");
  else
    std::printf("startup area    base 0x%04x, command at 0x%04x, %u bytes stored\n", area.base,
                area.command, area.length);
  return 0;
}

int PortDSet(const Api& api, const Options& options, std::uint8_t value) {
  Session session(api, options);
  Check(api.QuorixSetPortDOutputs(session.handle(), value), "setting port D");
  return 0;
}

int PortDGet(const Api& api, const Options& options) {
  Session session(api, options);
  std::uint8_t latch = 0;
  Check(api.QuorixGetPortDOutputs(session.handle(), &latch), "reading port D");
  std::printf("0x%02x\n", latch);
  return 0;
}

int PortDEnable(const Api& api, const Options& options, std::uint8_t mask) {
  Session session(api, options);
  Check(api.QuorixSetPortDOutputEnable(session.handle(), mask), "setting the port D enables");
  return 0;
}

int PortDSequence(const Api& api, const Options& options, const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() > kPiece) throw BadArguments("BYTES: at most 255");
  Session session(api, options);
  Check(api.QuorixSetPortDOutputsExt(session.handle(), static_cast<std::uint8_t>(bytes.size()),
                                     bytes.data()),
        "writing the port D sequence");
  return 0;
}

int FpgaMode(const Api& api, const Options& options, std::uint8_t mode) {
  Session session(api, options);
  Check(api.QuorixSetConfFpgaMode(session.handle(), mode), "setting the FPGA mode");
  return 0;
}

int ReadEepromCommand(const Api& api, const Options& options, const EepromRead& request) {
  Session session(api, options);
  const std::vector<std::uint8_t> bytes =
      ReadEeprom(api, session.handle(), request.select, request.address, request.length);
  if (!request.output.empty()) {
    std::ofstream file(request.output, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file) throw Failure("cannot write " + request.output);
  } else if (request.hex || IsTerminal(1)) {
    HexDump(request.address, bytes);
  } else {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
  return 0;
}

int WriteEepromCommand(const Api& api, const Options& options, const EepromWrite& request) {
  const std::vector<std::uint8_t>& bytes = request.bytes;
  Session session(api, options);
  const bool progress = bytes.size() > 1024 && IsTerminal(2);
  for (std::size_t done = 0; done < bytes.size();) {
    const std::uint32_t at = request.address + static_cast<std::uint32_t>(done);
    const std::uint32_t room = kEepromPage - at % kEepromPage;
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(room, bytes.size() - done));
    Check(api.QuorixWriteEprom(session.handle(), request.select, static_cast<std::uint16_t>(at),
                               static_cast<std::uint8_t>(piece), bytes.data() + done),
          "writing the EEPROM at " + std::to_string(at));
    done += piece;
    if (progress) std::fprintf(stderr, "\rwritten %zu of %zu bytes", done, bytes.size());
  }
  if (progress) std::fprintf(stderr, "\n");
  std::printf("wrote %zu bytes at 0x%04x\n", bytes.size(), request.address);
  if (!request.verify) return 0;
  const auto back = ReadEeprom(api, session.handle(), request.select, request.address,
                               static_cast<std::uint32_t>(bytes.size()));
  const auto differ = std::mismatch(bytes.begin(), bytes.end(), back.begin());
  if (differ.first != bytes.end()) {
    char text[96];
    std::snprintf(text, sizeof text, "verify failed: 0x%04zx reads 0x%02x, not 0x%02x",
                  request.address + static_cast<std::size_t>(differ.first - bytes.begin()),
                  *differ.second, *differ.first);
    throw Failure(text);
  }
  std::printf("verified\n");
  return 0;
}

int SetStartup(const Api& api, const Options& options, const std::vector<std::uint8_t>& command) {
  if (command.size() > 0xFFFF) throw BadArguments("the command is longer than 65535 bytes");
  Session session(api, options);
  // One call, with a 200 ms pause after each of its EEPROM requests: three reads and one write
  // per 16 bytes of the length-prefixed image. The call runs on a thread of its own so that
  // this one can show how far it may have got; nothing else calls the library meanwhile.
  const double expected = 0.2 * (3 + (command.size() + 2 + 15) / 16);
  const double start = Seconds();
  auto call = std::async(std::launch::async, [&] {
    return api.QuorixSetStartupCommand(session.handle(), static_cast<std::uint16_t>(command.size()),
                                       command.data());
  });
  const bool progress = IsTerminal(2);
  while (call.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    if (progress)
      std::fprintf(stderr, "\rstoring the startup command: %.1f s of about %.1f s",
                   Seconds() - start, expected);
  }
  if (progress) std::fprintf(stderr, "\n");
  Check(call.get(), "storing the startup command");
  std::printf("stored a %zu-byte startup command in %.1f s\n", command.size(), Seconds() - start);
  return 0;
}

}  // namespace quorix::tool
