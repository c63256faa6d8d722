// watch: boards that arrive and leave, as they do, until Ctrl-C.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "commands.h"
#include "json.h"
#include "platform.h"

namespace quorix::tool {

namespace {

// How often Ctrl-C is looked at while nothing happens.
constexpr auto kSlice = std::chrono::milliseconds(100);

struct Event {
  bool arrived;
  std::string serial;
  std::chrono::system_clock::time_point at;
};

// What the library's watcher thread and the stdin reader hand to the tool's thread, which
// alone prints and calls the simulator. Shared, since the reader may outlive the command: it
// waits in a read of stdin that nothing can end, and the process's end takes it away.
struct Inbox {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Event> events;
  std::deque<std::string> lines;
};

void QUORIX_CALL OnPlug(void* context, std::int32_t kind, const char* serial, QuorixHandle) {
  auto* inbox = static_cast<Inbox*>(context);
  const std::lock_guard hold(inbox->lock);
  inbox->events.push_back({kind == QUORIX_BOARD_ARRIVED, serial != nullptr ? serial : "",
                           std::chrono::system_clock::now()});
  inbox->changed.notify_all();
}

// "2026-12-10 16:13:00.123" in local time for people, "2026-12-10T15:13:00.123Z" in UTC for
// scripts.
std::string TimeText(std::chrono::system_clock::time_point at, bool utc) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::tm parts{};
#if defined(_WIN32)
  if (utc)
    gmtime_s(&parts, &seconds);
  else
    localtime_s(&parts, &seconds);
#else
  if (utc)
    gmtime_r(&seconds, &parts);
  else
    localtime_r(&seconds, &parts);
#endif
  char text[48];
  const std::size_t length =
      std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03d%s", static_cast<int>(millis),
                utc ? "Z" : "");
  return text;
}

void Print(const Event& event, bool json) {
  const char* kind = event.arrived ? "arrived" : "left";
  if (json) {
    Json document;
    document.Object()
        .String("event", kind)
        .String("serial", event.serial)
        .String("time", TimeText(event.at, true))
        .Close()
        .Print();
  } else {
    std::printf("%s  %-7s  %s\n", TimeText(event.at, false).c_str(), kind,
                event.serial.empty() ? "(no serial number)" : event.serial.c_str());
  }
  // Each line as it happens, for a program that reads them through a pipe.
  std::fflush(stdout);
}

// With --sim, a line of stdin plugs or unplugs a simulated board: "plug SERIAL" (the board
// unplugged before, or a new one), "unplug SERIAL".
void SimulatorLine(const SimApi& sim, std::vector<SimBoard>& boards, std::vector<bool>& plugged,
                   const std::string& line) {
  std::istringstream words(line);
  std::string verb, serial, extra;
  words >> verb >> serial >> extra;
  if (verb.empty()) return;
  if ((verb != "plug" && verb != "unplug") || serial.empty() || !extra.empty()) {
    std::fprintf(stderr,
                 "quorix: watch: '%s' is not a line the simulated bus takes: 'plug SERIAL' or "
                 "'unplug SERIAL'\n",
                 line.c_str());
    return;
  }
  std::size_t at = 0;
  while (at < boards.size() && boards[at].serial != serial) ++at;
  if (verb == "unplug") {
    if (at == boards.size() || !plugged[at] || sim.QuorixSimUnplug(boards[at].number) != 0)
      std::fprintf(stderr, "quorix: watch: no simulated board '%s' is plugged in\n",
                   serial.c_str());
    else
      plugged[at] = false;
    return;
  }
  if (at == boards.size()) {
    const int number = sim.QuorixSimAddBoard(serial.c_str(), QUORIX_VENDOR_ID, QUORIX_PRODUCT_ID);
    if (number > 0) {
      boards.push_back({serial, number});
      plugged.push_back(true);
    }
  } else if (plugged[at] || sim.QuorixSimReplug(boards[at].number) != 0) {
    std::fprintf(stderr, "quorix: watch: the simulated board '%s' is plugged in already\n",
                 serial.c_str());
  } else {
    plugged[at] = true;
  }
}

}  // namespace

int Watch(const Library& library, const Options& options, bool enumerate) {
  const Api& api = library.api();
  const auto inbox = std::make_shared<Inbox>();
  std::uint32_t registration = 0;
  Check(api.QuorixRegisterPlugCallback(&OnPlug, inbox.get(), enumerate ? QUORIX_PLUG_ENUMERATE : 0u,
                                       &registration),
        "watching for boards (QuorixRegisterPlugCallback)");
  // Ends the registration however the command ends, before the inbox can go: the call returns
  // once a callback in progress has returned.
  struct Registered {
    const Api& api;
    std::uint32_t number;
    ~Registered() { (void)api.QuorixUnregisterPlugCallback(number); }
  } registered{api, registration};

  const SimApi* sim = library.sim();
  std::vector<SimBoard> boards = SimulatedBoards();
  std::vector<bool> plugged(boards.size(), true);
  if (sim != nullptr) {
    std::thread([inbox] {
      for (std::string line; std::getline(std::cin, line);) {
        const std::lock_guard hold(inbox->lock);
        inbox->lines.push_back(line);
        inbox->changed.notify_all();
      }
    }).detach();
  }
  if (!options.quiet && !options.json && platform::IsTerminal(platform::Stream::kError))
    std::fprintf(stderr, "watching for boards%s; Ctrl-C ends%s\n",
                 enumerate ? " (those present first)" : "",
                 sim != nullptr ? "; type 'plug SERIAL' or 'unplug SERIAL' to change the "
                                  "simulated bus"
                                : "");

  platform::InterruptScope interrupt;
  bool written = true;
  std::unique_lock hold(inbox->lock);
  while (written && !platform::Interrupted()) {
    inbox->changed.wait_for(hold, kSlice,
                            [&] { return !inbox->events.empty() || !inbox->lines.empty(); });
    while (written && !inbox->events.empty()) {
      const Event event = inbox->events.front();
      inbox->events.pop_front();
      hold.unlock();
      Print(event, options.json);
      written = std::ferror(stdout) == 0;
      hold.lock();
    }
    while (!inbox->lines.empty()) {
      const std::string line = inbox->lines.front();
      inbox->lines.pop_front();
      hold.unlock();
      if (sim != nullptr) SimulatorLine(*sim, boards, plugged, line);
      hold.lock();
    }
  }
  hold.unlock();
  // Ctrl-C (or another signal) is how a watch ends; a failed write to stdout says so at the
  // tool's end.
  if (written) SignalIsTheEnd();
  return 0;
}

}  // namespace quorix::tool
