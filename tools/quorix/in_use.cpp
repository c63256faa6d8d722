#include "in_use.h"

#if defined(__linux__)
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "quorix/quorix.h"
#endif

namespace quorix::tool {

#if defined(__linux__)

namespace {

namespace fs = std::filesystem;

std::string Attribute(const fs::path& device, const char* name) {
  std::ifstream file(device / name);
  std::string text;
  std::getline(file, text);
  return text;
}

// What a device in sysfs says about itself, with where it sits: the library lists boards by
// bus, port chain and address.
struct Found {
  unsigned bus = 0;
  std::vector<unsigned> ports;
  unsigned address = 0;
  BoardUse use;
};

}  // namespace

std::optional<std::vector<BoardUse>> BoardsInUse() {
  // A program that claims an interface through usbfs binds it to the "usbfs" driver; the
  // kernel refuses a new configuration while any interface is bound, which is the busy that
  // opening meets.
  const fs::path devices = "/sys/bus/usb/devices";
  std::error_code error;
  fs::directory_iterator it(devices, error);
  if (error) return std::nullopt;
  std::vector<Found> found;
  for (const fs::directory_entry& entry : it) {
    const std::string name = entry.path().filename().string();
    const std::size_t dash = name.find('-');
    if (name.find(':') != std::string::npos || dash == std::string::npos) continue;
    unsigned vendor = 0, product = 0;
    try {
      vendor = static_cast<unsigned>(std::stoul(Attribute(entry.path(), "idVendor"), nullptr, 16));
      product = static_cast<unsigned>(std::stoul(Attribute(entry.path(), "idProduct"), nullptr, 16));
    } catch (const std::exception&) {
      continue;
    }
    if (vendor != QUORIX_VENDOR_ID || product != QUORIX_PRODUCT_ID) continue;
    Found board;
    try {
      board.bus = static_cast<unsigned>(std::stoul(Attribute(entry.path(), "busnum")));
      board.address = static_cast<unsigned>(std::stoul(Attribute(entry.path(), "devnum")));
      std::istringstream chain(name.substr(dash + 1));
      for (std::string port; std::getline(chain, port, '.');)
        board.ports.push_back(static_cast<unsigned>(std::stoul(port)));
    } catch (const std::exception&) {
      return std::nullopt;  // a device the tool cannot place: the order is not known
    }
    board.use.serial = Attribute(entry.path(), "serial");
    const std::string configuration = Attribute(entry.path(), "bConfigurationValue");
    if (!configuration.empty()) {
      const fs::path driver = entry.path() / (name + ":" + configuration + ".0") / "driver";
      const fs::path target = fs::read_symlink(driver, error);
      if (!error) {
        board.use.in_use = true;
        board.use.driver = target.filename().string();
      }
    }
    found.push_back(board);
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.bus, a.ports, a.address) < std::tie(b.bus, b.ports, b.address);
  });
  std::vector<BoardUse> boards;
  for (const Found& board : found) boards.push_back(board.use);
  return boards;
}

#else

std::optional<std::vector<BoardUse>> BoardsInUse() { return std::nullopt; }

#endif

}  // namespace quorix::tool
