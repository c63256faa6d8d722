// A guided tour of the simulated board: each step with its result.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "commands.h"

namespace quorix::tool {

namespace {

constexpr std::uint64_t kDemoStream = 64ull << 20;
constexpr std::uint64_t kDemoLoopback = 1ull << 20;
constexpr char kDemoCommand[] = "mode 1; stream";

class Tour {
 public:
  // Prints the step's number and name, then what the step returns as its result.
  template <typename Step>
  void Run(const char* name, Step step) {
    std::printf("%2d  %-22s", ++number_, name);
    std::fflush(stdout);
    const std::string result = step();
    std::printf("%s\n", result.c_str());
  }

 private:
  int number_ = 0;
};

bool Count(void* context, const std::uint8_t* data, std::size_t size) {
  static_cast<CounterCheck*>(context)->Take(data, size);
  return true;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

}  // namespace

int Demo(const Library& library, const Options& options, const std::string& firmware) {
  if (library.sim() == nullptr) throw BadArguments("demo runs on the simulated board: add --sim");
  const Api& api = library.api();
  std::printf("Quorix demo on the simulated board (%s)\n\n", library.path().c_str());
  Tour tour;
  tour.Run("list the boards", [&] {
    int32_t count = 0;
    Check(api.QuorixCountDevices(&count), "listing the boards");
    std::string result = std::to_string(count) + (count == 1 ? " board:" : " boards:");
    for (int32_t i = 0; i < count; ++i) {
      const char* serial = api.QuorixGetDeviceSerialNumber(i);
      result += std::string(" ") + (serial != nullptr ? serial : "(no serial)");
    }
    return result;
  });
  std::optional<Session> session;
  tour.Run("open board 0", [&] {
    session.emplace(library, options);
    return std::string("open");
  });
  const QuorixHandle handle = session->handle();
  tour.Run("load firmware", [&] {
    Check(api.QuorixLoadFirmware(handle, firmware.c_str()), "loading " + firmware);
    return firmware + " loaded, CPU running";
  });
  tour.Run("port D", [&] {
    Check(api.QuorixSetPortDOutputEnable(handle, 0xFF), "setting the port D enables");
    Check(api.QuorixSetPortDOutputs(handle, 0x5A), "setting port D");
    std::uint8_t latch = 0;
    Check(api.QuorixGetPortDOutputs(handle, &latch), "reading port D");
    return "all lines driven, set 0x5a, reads back " + Hex(latch);
  });
  tour.Run("FPGA mode", [&] {
    Check(api.QuorixSetConfFpgaMode(handle, 1), "setting the FPGA mode");
    return std::string("mode 1");
  });
  tour.Run("EEPROM read", [&] {
    const StartupArea area = ReadStartupArea(api, handle);
    if (!area.present) return std::string("no startup-command area");
    return "startup area at " + Hex(area.base) + "..., command at " + Hex(area.command) + ", " +
           std::to_string(area.length) + " bytes stored";
  });
  tour.Run("startup command", [&] {
    const auto length = static_cast<std::uint16_t>(std::strlen(kDemoCommand));
    const double start = Seconds();
    Check(api.QuorixSetStartupCommand(handle, length,
                                      reinterpret_cast<const std::uint8_t*>(kDemoCommand)),
          "storing the startup command");
    const StartupArea area = ReadStartupArea(api, handle);
    char text[96];
    std::snprintf(text, sizeof text, "\"%s\" stored in %.1f s, %u bytes read back", kDemoCommand,
                  Seconds() - start, area.length);
    return std::string(text);
  });
  tour.Run("stream 64 MiB", [&] {
    CounterCheck counter;
    StreamRequest limits;
    limits.bytes = kDemoStream;
    const Capture capture = CaptureStream(api, handle, limits, 0, Count, &counter, false);
    if (capture.closed) session->Forget();
    if (capture.interrupted) throw Failure("interrupted");
    Check(capture.status, "reading the stream");
    if (counter.gaps() != 0) throw Failure("the counter pattern has gaps");
    return Summary(capture) + ", counter pattern intact";
  });
  tour.Run("loopback check", [&] {
    Check(session->Close(), "closing the board");  // reopened with the source stopped, loopback on
    session.reset();
    LoopSimulatedBoards(library, options);
    session.emplace(library, options);
    const LoopbackResult result = RunLoopback(api, session->handle(), kDemoLoopback);
    if (result.mismatch)
      throw Failure("loopback: byte " + std::to_string(*result.mismatch) + " came back changed");
    return std::to_string(result.bytes) + " bytes written and read back unchanged";
  });
  tour.Run("close", [&] {
    Check(session->Close(), "closing the board");
    return std::string("closed");
  });
  return 0;
}

}  // namespace quorix::tool
