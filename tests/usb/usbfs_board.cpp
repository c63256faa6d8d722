#include "usb/usbfs_board.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace quorix::usbtest {

namespace {

constexpr int kInterface = 0;

const char* NameOf(unsigned long request) {
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      return "GET_CAPABILITIES";
    case USBDEVFS_GETDRIVER:
      return "GETDRIVER";
    case USBDEVFS_SETCONFIGURATION:
      return "SETCONFIGURATION";
    case USBDEVFS_CLAIMINTERFACE:
      return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE:
      return "RELEASEINTERFACE";
    case USBDEVFS_CLEAR_HALT:
      return "CLEAR_HALT";
    case USBDEVFS_SUBMITURB:
      return "SUBMITURB";
    case USBDEVFS_REAPURBNDELAY:
      return "REAPURBNDELAY";
    case USBDEVFS_REAPURB:
      return "REAPURB";
    case USBDEVFS_DISCARDURB:
      return "DISCARDURB";
    case USBDEVFS_CONNECTINFO:
      return "CONNECTINFO";
    case USBDEVFS_RESET:
      return "RESET";
    default:
      return "OTHER";
  }
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

usbdevfs_urb& UrbOf(UMockdevIoctlData* data) {
  return *reinterpret_cast<usbdevfs_urb*>(data->data);
}

}  // namespace

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {
  if (!umockdev_in_mock_environment())
    throw std::runtime_error("not under libumockdev-preload: the real bus would be used");
}

Testbed::~Testbed() { g_object_unref(testbed_); }

EmulatedBoard::EmulatedBoard(UMockdevTestbed* testbed, const BoardOptions& options)
    : testbed_(testbed), options_(options) {
  sim::BoardIdentity identity;
  identity.serial = options.serial;
  sim::Describe(board_, identity);
  board_.configuration = 1;

  char bus_dir[32], node[64];
  std::snprintf(bus_dir, sizeof bus_dir, "usb%d", options.bus);
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", options.bus, options.address);
  syspath_ = "/sys/devices/pci0000:00/0000:00:14.0/" + std::string(bus_dir) + "/" + options.port;
  node_ = std::string("/dev/") + node;

  // The node answers before the device is added, since adding it already sends udev's "add"
  // event, on which libusb's hotplug may have the library open the node at once: so the record
  // has no "N:" line, and the node is made here. It is a pty slave: closing the master is how
  // a disconnect reaches poll.
  int slave = -1;
  if (openpty(&pty_master_, &slave, nullptr, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  char slave_name[128];
  ttyname_r(slave, slave_name, sizeof slave_name);
  close(slave);
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  node_file_ = std::string(root) + node_;
  g_free(root);
  const std::string node_dir = node_file_.substr(0, node_file_.rfind('/'));
  g_mkdir_with_parents(node_dir.c_str(), 0755);
  unlink(node_file_.c_str());
  if (symlink(slave_name, node_file_.c_str()) != 0) throw std::runtime_error("symlink failed");

  GError* error = nullptr;
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedBoard::OnIoctl), this);
  if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error))
    throw std::runtime_error(error->message);

  std::vector<std::uint8_t> descriptors = board_.device_descriptor;
  descriptors.insert(descriptors.end(), board_.configuration_descriptor.begin(),
                     board_.configuration_descriptor.end());
  char record[2048];
  std::snprintf(record, sizeof record,
                "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
                "E: BUSNUM=%03d\nE: DEVNUM=%03d\nA: busnum=%d\\n\nA: devnum=%d\\n\n"
                "A: speed=480\\n\nA: bConfigurationValue=1\\n\nA: idVendor=dead\\n\n"
                "A: idProduct=beef\\n\nA: serial=%s\\n\nH: descriptors=%s\n",
                syspath_.substr(4).c_str(), node_.c_str(), options.bus, options.address,
                options.bus, options.address, options.serial.c_str(), Hex(descriptors).c_str());
  {
    std::lock_guard lock(mutex_);
    plugged_ = true;
  }
  if (!umockdev_testbed_add_from_string(testbed_, record, &error))
    throw std::runtime_error(error->message);
  umockdev_testbed_uevent(testbed_, syspath_.c_str(), "add");
}

EmulatedBoard::~EmulatedBoard() {
  Unplug();
  // No call may reach this object any more, even from a file still open on the node.
  g_signal_handlers_disconnect_by_data(handler_, this);
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), &error);
  if (error != nullptr) g_error_free(error);
  g_object_unref(handler_);
  std::lock_guard lock(mutex_);
  for (auto& [client, state] : clients_) {
    for (auto* queue : {&state.in, &state.out, &state.done})
      for (const Urb& urb : *queue) Release(urb);
    g_object_unref(client);
  }
  clients_.clear();
}

void EmulatedBoard::Unplug(bool announce) {
  {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
      if (announce && removal_pending_) AnnounceRemoval();
      return;
    }
    plugged_ = false;
    removal_pending_ = true;
    // The kernel kills what is in flight; the URBs stay to be reaped.
    for (auto& [client, state] : clients_) {
      for (auto* queue : {&state.in, &state.out}) {
        while (!queue->empty()) {
          Urb urb = queue->front();
          queue->pop_front();
          Complete(state, urb, -ESHUTDOWN, 0);
        }
      }
    }
  }
  if (announce) AnnounceRemoval();
}

void EmulatedBoard::AnnounceRemoval() {
  if (!std::exchange(removal_pending_, false)) return;
  close(pty_master_);
  pty_master_ = -1;
  // The node's handler stays: files still open on it are answered ENODEV until closed.
  umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath_.c_str());
  unlink(node_file_.c_str());
}

void EmulatedBoard::Release(const Urb& urb) {
  g_object_unref(urb.urb);
  if (urb.buffer != nullptr) g_object_unref(urb.buffer);
}

bool EmulatedBoard::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

void EmulatedBoard::HoldIn(bool hold) {
  std::lock_guard lock(mutex_);
  hold_in_ = hold;
}

void EmulatedBoard::HoldOut(bool hold) {
  std::lock_guard lock(mutex_);
  hold_out_ = hold;
}

void EmulatedBoard::LimitIn(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  in_budget_ = bytes;
}

void EmulatedBoard::ClaimElsewhere(bool claimed) {
  std::lock_guard lock(mutex_);
  claimed_elsewhere_ = claimed;
  // As the kernel shows it: the claimed interface is bound to the usbfs driver.
  const std::string interface = syspath_ + "/" + options_.port + ":1.0";
  if (!claimed) {
    umockdev_testbed_remove_device(testbed_, interface.c_str());
    return;
  }
  const std::string record = "P: " + interface.substr(4) +
                             "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbfs\n"
                             "L: driver=../../../../../../bus/usb/drivers/usbfs\n"
                             "A: bInterfaceNumber=00\\n\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error))
    throw std::runtime_error(error->message);
}

void EmulatedBoard::ServeOnDiscard(bool serve) {
  std::lock_guard lock(mutex_);
  serve_on_discard_ = serve;
}

void EmulatedBoard::LimitMemory(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  memory_limit_ = bytes;
}

std::vector<ControlSeen> EmulatedBoard::Controls() const {
  std::lock_guard lock(mutex_);
  return controls_;
}

void EmulatedBoard::ClearControls() {
  std::lock_guard lock(mutex_);
  controls_.clear();
  counts_.clear();
  cleared_.clear();
}

std::map<std::string, int> EmulatedBoard::IoctlCounts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::vector<unsigned> EmulatedBoard::ClearedHalts() const {
  std::lock_guard lock(mutex_);
  return cleared_;
}

std::vector<std::uint8_t> EmulatedBoard::TakeOut() {
  std::lock_guard lock(mutex_);
  return std::exchange(out_data_, {});
}

std::size_t EmulatedBoard::PendingUrbs() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& [client, state] : clients_) count += state.in.size() + state.out.size();
  return count;
}

std::vector<int> EmulatedBoard::PendingInLengths() const {
  std::lock_guard lock(mutex_);
  std::vector<int> lengths;
  for (const auto& [client, state] : clients_)
    for (const Urb& urb : state.in) lengths.push_back(urb.length);
  return lengths;
}

std::size_t EmulatedBoard::UnreapedUrbs() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& [client, state] : clients_) count += state.done.size();
  return count;
}

int EmulatedBoard::Configuration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

std::uint64_t EmulatedBoard::InPosition() const {
  std::lock_guard lock(mutex_);
  return in_position_;
}

sim::Board EmulatedBoard::BoardState() const {
  std::lock_guard lock(mutex_);
  return board_;
}

// ---- the kernel's side, on the testbed's worker thread ----

gboolean EmulatedBoard::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<EmulatedBoard*>(self)->Handle(client);
  return TRUE;
}

void EmulatedBoard::ReleaseClaimsOfGone() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (umockdev_ioctl_client_get_connected(it->first)) {
      ++it;
      continue;
    }
    // A closed file gives up its claim and its URBs, as the kernel does.
    if (claimant_ == it->first) claimant_ = nullptr;
    for (auto* queue : {&it->second.in, &it->second.out, &it->second.done})
      for (const Urb& urb : *queue) Release(urb);
    g_object_unref(it->first);
    it = clients_.erase(it);
  }
}

void EmulatedBoard::Handle(UMockdevIoctlClient* ioctl_client) {
  std::lock_guard lock(mutex_);
  const unsigned long request = umockdev_ioctl_client_get_request(ioctl_client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(ioctl_client);
  counts_[NameOf(request)] += 1;
  ReleaseClaimsOfGone();
  if (!clients_.contains(ioctl_client)) {
    g_object_ref(ioctl_client);
    clients_[ioctl_client];
  }
  Client& client = clients_[ioctl_client];

  long result = 0;
  int error = 0;
  auto word = [&]() -> std::uint32_t* {
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
    if (target == nullptr) return nullptr;
    // The argument keeps the resolved block, and writes it back when the call completes; the
    // reference resolving gave us is not needed.
    g_object_unref(target);
    return reinterpret_cast<std::uint32_t*>(target->data);
  };

  // After a disconnect only the killed URBs can still be reaped.
  if (!plugged_ && !(request == USBDEVFS_REAPURBNDELAY && !client.done.empty())) {
    umockdev_ioctl_client_complete(ioctl_client, -1, ENODEV);
    return;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      std::uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      if (options_.scatter_gather) caps |= USBDEVFS_CAP_BULK_SCATTER_GATHER;
      if (std::uint32_t* target = word()) *target = caps;
      break;
    }
    case USBDEVFS_GETDRIVER:
      result = -1;
      error = ENODATA;  // no kernel driver is bound
      break;
    case USBDEVFS_SETCONFIGURATION: {
      const std::uint32_t* value = word();
      if (claimant_ != nullptr || claimed_elsewhere_) {
        result = -1;
        error = EBUSY;
        break;
      }
      const sim::Reply reply =
          board_.Control({0x00, 9, static_cast<std::uint16_t>(value ? *value : 0), 0, 0}, {});
      if (reply.error != 0) {
        result = -1;
        error = EPIPE;
        break;
      }
      configuration_ = static_cast<int>(*value);
      in_position_ = 0;  // the board's source restarts when it is configured
      char text[16];
      std::snprintf(text, sizeof text, "%d\n", configuration_);
      umockdev_testbed_set_attribute(testbed_, syspath_.c_str(), "bConfigurationValue", text);
      break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      const std::uint32_t* number = word();
      if (number == nullptr || *number != kInterface) {
        result = -1;
        error = EINVAL;
      } else if (request == USBDEVFS_CLAIMINTERFACE) {
        if ((claimant_ != nullptr && claimant_ != ioctl_client) || claimed_elsewhere_) {
          result = -1;
          error = EBUSY;
        } else {
          claimant_ = ioctl_client;
        }
      } else if (claimant_ == ioctl_client) {
        claimant_ = nullptr;
      } else {
        result = -1;
        error = EINVAL;
      }
      break;
    }
    case USBDEVFS_CLEAR_HALT:
      if (const std::uint32_t* endpoint = word()) cleared_.push_back(*endpoint);
      break;
    case USBDEVFS_SUBMITURB:
      result = Submit(client, arg, error);
      break;
    case USBDEVFS_REAPURBNDELAY:
      result = Reap(client, arg, error);
      break;
    case USBDEVFS_DISCARDURB:
      result = Discard(client, *reinterpret_cast<std::uint64_t*>(arg->data), error);
      break;
    default:
      result = -1;
      error = ENOTTY;
  }
  umockdev_ioctl_client_complete(ioctl_client, result, error);
}

// What the kernel counts against usbfs_memory_mb: every URB not yet reaped, of every file.
std::uint64_t EmulatedBoard::MemoryInFlight() const {
  std::uint64_t bytes = 0;
  for (const auto& [client, state] : clients_)
    for (const auto* queue : {&state.in, &state.out, &state.done})
      for (const Urb& urb : *queue) bytes += static_cast<std::uint64_t>(urb.length);
  return bytes;
}

long EmulatedBoard::Submit(Client& client, UMockdevIoctlData* arg, int& error) {
  // Resolving hands over a reference of our own: it keeps the URB (and its buffer, below)
  // until Release, past the end of this call.
  Urb urb;
  urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (urb.urb == nullptr) {
    error = EFAULT;
    return -1;
  }
  const usbdevfs_urb& fields = UrbOf(urb.urb);
  urb.address = urb.urb->client_addr;  // resolving rewrote the argument to a local copy
  urb.type = fields.type;
  urb.endpoint = fields.endpoint;
  urb.flags = fields.flags;
  urb.length = fields.buffer_length;
  if (urb.length > 0 &&
      MemoryInFlight() + static_cast<std::uint64_t>(urb.length) > memory_limit_) {
    g_object_unref(urb.urb);
    error = ENOMEM;
    return -1;
  }
  if (urb.length > 0) {
    urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(urb.length), nullptr);
    if (urb.buffer == nullptr) {
      g_object_unref(urb.urb);
      error = EFAULT;
      return -1;
    }
  }

  if (urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.endpoint == 0 && urb.length >= 8) {
    ControlUrb(client, urb);
    return 0;
  }
  if (urb.type != USBDEVFS_URB_TYPE_BULK || (urb.endpoint != 0x86 && urb.endpoint != 0x02)) {
    Release(urb);
    error = EINVAL;
    return -1;
  }
  if (urb.endpoint == 0x86) {
    client.in.push_back(urb);
    return 0;
  }
  if (hold_out_) {
    client.out.push_back(urb);
    return 0;
  }
  if (urb.length > 0)
    out_data_.insert(out_data_.end(), urb.buffer->data, urb.buffer->data + urb.length);
  Complete(client, urb, 0, urb.length);
  return 0;
}

void EmulatedBoard::ControlUrb(Client& client, Urb urb) {
  std::uint8_t* bytes = urb.buffer->data;
  const sim::Setup setup{bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8),
                         static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8),
                         static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8)};
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const std::size_t room = static_cast<std::size_t>(urb.length) - 8;
  const std::size_t stage = std::min<std::size_t>(setup.wLength, room);
  ControlSeen seen{setup, {}};
  if (!in) seen.data.assign(bytes + 8, bytes + 8 + stage);
  controls_.push_back(seen);
  const sim::Reply reply = board_.Control(setup, std::span(bytes + 8, in ? 0 : stage));
  if (reply.error != 0) {
    Complete(client, urb, -EPIPE, 0);
    return;
  }
  if (!in) {
    Complete(client, urb, 0, static_cast<int>(stage));
    return;
  }
  const std::size_t sent = std::min(stage, reply.data.size());
  std::copy_n(reply.data.begin(), sent, bytes + 8);
  Complete(client, urb, 0, static_cast<int>(sent));
}

void EmulatedBoard::Complete(Client& client, Urb urb, int status, int actual) {
  usbdevfs_urb& fields = UrbOf(urb.urb);
  fields.status = status;
  fields.actual_length = actual;
  client.done.push_back(urb);
}

// The IN source: the counter pattern, as fast as the URBs come, up to the budget.
void EmulatedBoard::RunIn(Client& client) {
  if (hold_in_) return;
  while (ServeIn(client)) {
  }
}

// Fills the first IN URB in flight, if the budget lets the source send anything.
bool EmulatedBoard::ServeIn(Client& client) {
  if (client.in.empty() || in_budget_ == 0) return false;
  Urb urb = client.in.front();
  client.in.pop_front();
  const auto length = static_cast<std::uint64_t>(urb.length);
  const std::uint64_t sent = std::min(length, in_budget_);
  if (sent != 0) sim::FillCounter(urb.buffer->data, in_position_, sent);
  in_position_ += sent;
  in_budget_ -= std::min(in_budget_, sent);
  if (sent == length) {
    Complete(client, urb, 0, urb.length);
    return true;
  }
  // A short packet ends the transfer: an URB that may not be short fails, and the kernel
  // kills the continuation URBs queued behind it.
  const bool strict = (urb.flags & USBDEVFS_URB_SHORT_NOT_OK) != 0;
  Complete(client, urb, strict ? -EREMOTEIO : 0, static_cast<int>(sent));
  while (!client.in.empty() && (client.in.front().flags & USBDEVFS_URB_BULK_CONTINUATION)) {
    Urb killed = client.in.front();
    client.in.pop_front();
    Complete(client, killed, -ECONNRESET, 0);
  }
  return true;
}

long EmulatedBoard::Reap(Client& client, UMockdevIoctlData* arg, int& error) {
  if (plugged_) RunIn(client);
  if (client.done.empty()) {
    error = EAGAIN;
    return -1;
  }
  Urb urb = client.done.front();
  client.done.pop_front();
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (slot == nullptr) {
    Release(urb);
    error = EFAULT;
    return -1;
  }
  // The URB and its buffer go back to the client with the reap: the slot keeps them until
  // the call completes, and the argument keeps the slot.
  umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
  g_object_unref(slot);
  Release(urb);
  return 0;
}

long EmulatedBoard::Discard(Client& client, std::uint64_t address, int& error) {
  for (auto* queue : {&client.in, &client.out}) {
    auto found = std::find_if(queue->begin(), queue->end(),
                              [address](const Urb& urb) { return urb.address == address; });
    if (found == queue->end()) continue;
    Urb urb = *found;
    queue->erase(found);
    Complete(client, urb, -ECONNRESET, 0);
    // The host controller goes on with the URBs left while the host discards the next one.
    if (serve_on_discard_) ServeIn(client);
    return 0;
  }
  error = EINVAL;  // not in flight: already completed, or never submitted
  return -1;
}

}  // namespace quorix::usbtest
