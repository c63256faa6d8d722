// A board for a QEMU guest: the simulated board's model served over usbredir.
//
// QEMU's usb-redir device listens on a unix socket; this program connects to it and is the
// device behind it: a high-speed board with EP0 of 64 bytes and bulk IN 0x86 and OUT 0x02 of
// 512. Control requests are answered by the simulator's Board (descriptors, configuration, the
// FX2's 0xA0 load request and the firmware's 0xB0, 0xB2 and 0xB3), and bulk IN by its counter
// source, so the guest sees the same board as the simulated library and the usbfs emulator.
// The counter source answers each IN request at once, as fast as the guest asks; the
// fixed-rate source ("source fixed") produces at its rate in real time, fills the requests
// the guest has queued in order, then the board FIFO, and drops the rest, as in the simulated
// library.
//
// Usage: quorix_usbredir_board SOCKET [SERIAL]
// The test drives it with one command per line on standard input and gets one line back on
// standard output, "ok ..." or "error ...":
//   plug                      connect to SOCKET (retrying for up to 10 s), or announce the
//                             board again after a disconnect
//   unplug socket|disconnect  close the connection, or send usbredir's device_disconnect
//   hold-in on|off            keep bulk IN requests pending, or answer them
//   short N                   the next IN answer ends after N bytes of the stream
//   zlp                       the next IN answer is a zero-length packet
//   stall-in                  bulk IN stalls until the host clears the halt
//   stall-request R           the next control request R (hexadecimal) stalls
//   ram ADDRESS LENGTH        FX2 RAM, hexadecimal
//   source counter|none       the IN source: the counter pattern as fast as asked (the
//                             start), or only what short and zlp queue
//   source fixed RATE [FIFO]  the fixed-rate source at RATE bytes per second, and the board
//                             FIFO in bytes (a multiple of 512; 2048, the FX2's own, at the
//                             start); the pattern goes on from where it was, and restarts at
//                             0 when the guest configures the board (opening it does)
//   fifo BYTES                the board FIFO alone
//   dropped                   "ok N": the bytes the fixed-rate source dropped since the
//                             program started (a request the guest cancels loses what it
//                             held, and that counts too)
//   state                     port D, enables, FPGA mode, CPU reset, configuration, IN
//                             position, packets queued
//   out                       the bytes written to OUT since last asked, hexadecimal
//   quit
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/port.h"
#include "sim/board.h"

namespace {

using quorix::sim::Board;
using quorix::sim::Source;

// The fixed-rate source's clock, in microseconds.
std::uint64_t NowUs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

constexpr std::uint8_t kBulkIn = 0x86;
constexpr std::uint8_t kBulkOut = 0x02;

// usbredir numbers endpoints 0-15 OUT, 16-31 IN.
constexpr int EndpointIndex(std::uint8_t address) {
  return ((address & 0x80) >> 3) | (address & 0x0F);
}

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  text.reserve(2 * size);
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

class RedirBoard {
 public:
  RedirBoard(std::string socket_path, const std::string& serial) : path_(std::move(socket_path)) {
    quorix::sim::BoardIdentity identity;
    identity.serial = serial;
    quorix::sim::Describe(board_, identity);
    board_.rate = quorix::sim::kRateUnlimited;
    board_.hook = [this](const quorix::sim::Setup& setup,
                         std::span<const std::uint8_t>) -> std::optional<quorix::sim::Reply> {
      if (stall_request_ >= 0 && setup.bRequest == stall_request_) {
        stall_request_ = -1;
        return quorix::sim::Reply{quorix::port::error::kGenFailure, {}};
      }
      return std::nullopt;
    };
  }
  ~RedirBoard() { Drop(); }

  int Run();

 private:
  std::string Command(const std::string& line);
  bool Connect();
  void Drop();
  void Announce();
  void Flush();
  void AnswerIn();
  void SendIn(std::uint64_t id, std::uint32_t length);
  void SendInReply(std::uint64_t id, int status, const std::vector<std::uint8_t>& bytes);
  // Microseconds until the fixed-rate source fills the first request, or -1 for never.
  std::int64_t TimeToAnswer() const;

  // usbredirparser's callbacks.
  static int Read(void* self, std::uint8_t* data, int count);
  static int Write(void* self, std::uint8_t* data, int count);
  static void Log(void*, int level, const char* message);
  static void Hello(void* self, usb_redir_hello_header*);
  static void Reset(void* self);
  static void SetConfiguration(void* self, std::uint64_t id,
                               usb_redir_set_configuration_header* header);
  static void GetConfiguration(void* self, std::uint64_t id);
  static void SetAltSetting(void* self, std::uint64_t id, usb_redir_set_alt_setting_header* header);
  static void GetAltSetting(void* self, std::uint64_t id, usb_redir_get_alt_setting_header* header);
  static void Cancel(void* self, std::uint64_t id);
  static void Control(void* self, std::uint64_t id, usb_redir_control_packet_header* header,
                      std::uint8_t* data, int length);
  static void Bulk(void* self, std::uint64_t id, usb_redir_bulk_packet_header* header,
                   std::uint8_t* data, int length);

  static RedirBoard& Of(void* self) { return *static_cast<RedirBoard*>(self); }
  void Configure(std::uint8_t configuration);

  std::string path_;
  Board board_;
  int fd_ = -1;
  usbredirparser* parser_ = nullptr;
  bool announce_on_hello_ = false;
  bool announced_ = false;
  struct InRequest {
    std::uint64_t id;
    std::uint32_t length;
    std::vector<std::uint8_t> bytes;  // what the fixed-rate source filled in so far
    std::uint32_t filled = 0;
  };
  std::deque<InRequest> in_requests_;  // held, in arrival order
  bool hold_in_ = false;
  bool in_halted_ = false;
  int stall_request_ = -1;
  std::vector<std::uint8_t> out_;
};

// ---- the connection ----

bool RedirBoard::Connect() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
    close(fd_);
    fd_ = -1;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = Log;
  parser_->read_func = Read;
  parser_->write_func = Write;
  parser_->hello_func = Hello;
  parser_->reset_func = Reset;
  parser_->set_configuration_func = SetConfiguration;
  parser_->get_configuration_func = GetConfiguration;
  parser_->set_alt_setting_func = SetAltSetting;
  parser_->get_alt_setting_func = GetAltSetting;
  parser_->cancel_data_packet_func = Cancel;
  parser_->control_packet_func = Control;
  parser_->bulk_packet_func = Bulk;
  // The parser calls these without checking: QEMU acknowledges a disconnect and may send a
  // filter, neither of which needs an answer.
  parser_->device_disconnect_ack_func = [](void*) {};
  parser_->filter_reject_func = [](void*) {};
  parser_->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                  usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length,
                  usb_redir_cap_device_disconnect_ack})
    usbredirparser_caps_set_cap(caps, cap);
  char version[] = "quorix-usbredir-board";
  usbredirparser_init(parser_, version, caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  // The board is announced once the peer's capabilities are known: they decide the layout.
  announce_on_hello_ = true;
  announced_ = true;
  board_.configuration = 0;
  in_requests_.clear();
  Flush();
  return true;
}

void RedirBoard::Drop() {
  if (parser_ != nullptr) usbredirparser_destroy(parser_);
  parser_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  in_requests_.clear();
}

void RedirBoard::Announce() {
  announced_ = true;
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = 0xFF;
  usbredirparser_send_interface_info(parser_, &interfaces);

  usb_redir_ep_info_header endpoints{};
  for (int i = 0; i < 32; ++i) endpoints.type[i] = usb_redir_type_invalid;
  for (int index : {0, 16}) {
    endpoints.type[index] = usb_redir_type_control;
    endpoints.max_packet_size[index] = 64;
  }
  for (std::uint8_t address : {kBulkIn, kBulkOut}) {
    endpoints.type[EndpointIndex(address)] = usb_redir_type_bulk;
    endpoints.max_packet_size[EndpointIndex(address)] = quorix::sim::kPacketSize;
  }
  usbredirparser_send_ep_info(parser_, &endpoints);

  usb_redir_device_connect_header connect{};
  connect.speed = usb_redir_speed_high;
  connect.device_class = board_.device_descriptor[4];
  connect.vendor_id = board_.identity.vendor;
  connect.product_id = board_.identity.product;
  connect.device_version_bcd = board_.identity.release;
  usbredirparser_send_device_connect(parser_, &connect);
}

void RedirBoard::Flush() {
  while (parser_ != nullptr && usbredirparser_has_data_to_write(parser_) > 0) {
    if (usbredirparser_do_write(parser_) != 0) {
      Drop();  // the guest's side went away: an unplug
      return;
    }
  }
}

int RedirBoard::Read(void* self, std::uint8_t* data, int count) {
  const ssize_t got = recv(Of(self).fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT);
  if (got > 0) return static_cast<int>(got);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;  // closed or failed
}

int RedirBoard::Write(void* self, std::uint8_t* data, int count) {
  int done = 0;
  while (done < count) {
    const ssize_t sent = send(Of(self).fd_, data + done, static_cast<std::size_t>(count - done),
                              MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return -1;
    done += static_cast<int>(sent);
  }
  return done;
}

void RedirBoard::Log(void*, int level, const char* message) {
  if (level <= 2) std::fprintf(stderr, "usbredir: %s\n", message);  // errors and warnings
}

// ---- the device's side of the protocol ----

void RedirBoard::Hello(void* self, usb_redir_hello_header*) {
  RedirBoard& board = Of(self);
  if (!board.announce_on_hello_) return;
  board.announce_on_hello_ = false;
  board.Announce();
}

void RedirBoard::Configure(std::uint8_t configuration) {
  AnswerIn();  // the stream as it ran until now
  // Configuring resets the endpoints' halts and restarts the FPGA's stream.
  in_halted_ = false;
  board_.Control({0x00, 9, configuration, 0, 0}, {});
  board_.RestartSource(NowUs());
}

void RedirBoard::Reset(void* self) {
  RedirBoard& board = Of(self);
  board.AnswerIn();
  board.board_.configuration = 0;
  board.in_halted_ = false;
}

void RedirBoard::SetConfiguration(void* self, std::uint64_t id,
                                  usb_redir_set_configuration_header* header) {
  RedirBoard& board = Of(self);
  usb_redir_configuration_status_header status{};
  if (header->configuration > 1) {
    status.status = usb_redir_stall;
  } else {
    board.Configure(header->configuration);
  }
  status.configuration = board.board_.configuration;
  usbredirparser_send_configuration_status(board.parser_, id, &status);
}

void RedirBoard::GetConfiguration(void* self, std::uint64_t id) {
  RedirBoard& board = Of(self);
  usb_redir_configuration_status_header status{usb_redir_success, board.board_.configuration};
  usbredirparser_send_configuration_status(board.parser_, id, &status);
}

void RedirBoard::SetAltSetting(void* self, std::uint64_t id,
                               usb_redir_set_alt_setting_header* header) {
  usb_redir_alt_setting_status_header status{};
  status.status = header->interface == 0 && header->alt == 0 ? usb_redir_success : usb_redir_stall;
  status.interface = header->interface;
  usbredirparser_send_alt_setting_status(Of(self).parser_, id, &status);
}

void RedirBoard::GetAltSetting(void* self, std::uint64_t id,
                               usb_redir_get_alt_setting_header* header) {
  usb_redir_alt_setting_status_header status{};
  status.status = header->interface == 0 ? usb_redir_success : usb_redir_inval;
  status.interface = header->interface;
  usbredirparser_send_alt_setting_status(Of(self).parser_, id, &status);
}

void RedirBoard::Cancel(void* self, std::uint64_t id) {
  RedirBoard& board = Of(self);
  board.AnswerIn();  // what filled before the cancel was answered
  for (auto it = board.in_requests_.begin(); it != board.in_requests_.end(); ++it) {
    if (it->id != id) continue;
    // The guest never sees what the request held: lost at the board like a drop.
    board.board_.dropped += it->filled;
    usb_redir_bulk_packet_header header{};
    header.endpoint = kBulkIn;
    header.status = usb_redir_cancelled;
    usbredirparser_send_bulk_packet(board.parser_, id, &header, nullptr, 0);
    board.in_requests_.erase(it);
    return;
  }
}

void RedirBoard::Control(void* self, std::uint64_t id, usb_redir_control_packet_header* header,
                         std::uint8_t* data, int length) {
  RedirBoard& board = Of(self);
  const quorix::sim::Setup setup{header->requesttype, header->request, header->value,
                                 header->index, header->length};
  const bool in = (setup.bmRequestType & 0x80) != 0;
  usb_redir_control_packet_header reply = *header;
  reply.status = usb_redir_success;
  std::vector<std::uint8_t> answer;
  // The FX2's USB core answers these standard requests itself; the model never sees them.
  if (setup.bmRequestType == 0x02 && setup.bRequest == 1 && setup.wValue == 0) {  // CLEAR_FEATURE
    if ((setup.wIndex & 0xFF) == kBulkIn) board.in_halted_ = false;
    reply.length = 0;
  } else if ((setup.bmRequestType & 0xE0) == 0x80 && setup.bRequest == 0) {  // GET_STATUS
    std::uint8_t halted = setup.bmRequestType == 0x82 && (setup.wIndex & 0xFF) == kBulkIn &&
                                  board.in_halted_
                              ? 1
                              : 0;
    answer = {halted, 0};
    reply.length = static_cast<std::uint16_t>(std::min<std::size_t>(2, setup.wLength));
  } else {
    const quorix::sim::Reply result = board.board_.Control(
        setup, in ? std::span<const std::uint8_t>()
                  : std::span<const std::uint8_t>(data, static_cast<std::size_t>(length)));
    if (result.error != 0) {
      reply.status = usb_redir_stall;
      reply.length = 0;
    } else if (in) {
      answer = result.data;
      if (answer.size() > setup.wLength) answer.resize(setup.wLength);
      reply.length = static_cast<std::uint16_t>(answer.size());
    }
  }
  if (data != nullptr) usbredirparser_free_packet_data(board.parser_, data);
  usbredirparser_send_control_packet(board.parser_, id, &reply,
                                     in && !answer.empty() ? answer.data() : nullptr,
                                     in ? static_cast<int>(reply.length) : 0);
}

void RedirBoard::Bulk(void* self, std::uint64_t id, usb_redir_bulk_packet_header* header,
                      std::uint8_t* data, int length) {
  RedirBoard& board = Of(self);
  const std::uint32_t asked = header->length | static_cast<std::uint32_t>(header->length_high) << 16;
  if (header->endpoint == kBulkOut) {
    board.out_.insert(board.out_.end(), data, data + length);
    usbredirparser_free_packet_data(board.parser_, data);
    usb_redir_bulk_packet_header reply = *header;
    reply.status = usb_redir_success;
    usbredirparser_send_bulk_packet(board.parser_, id, &reply, nullptr, 0);
    return;
  }
  if (data != nullptr) usbredirparser_free_packet_data(board.parser_, data);
  if (header->endpoint != kBulkIn) {
    usb_redir_bulk_packet_header reply = *header;
    reply.status = usb_redir_inval;
    reply.length = reply.length_high = 0;
    usbredirparser_send_bulk_packet(board.parser_, id, &reply, nullptr, 0);
    return;
  }
  // The requests already queued take what was produced until now; this one what follows.
  board.AnswerIn();
  board.in_requests_.push_back({id, asked, {}, 0});
  board.AnswerIn();
}

void RedirBoard::SendIn(std::uint64_t id, std::uint32_t length) {
  int status = usb_redir_stall;
  std::vector<std::uint8_t> bytes;
  if (!in_halted_) {
    bytes.resize(length);
    std::uint32_t error = 0;
    bytes.resize(board_.SendIn(bytes, error));
    status = error != 0 ? usb_redir_babble : usb_redir_success;
  }
  SendInReply(id, status, bytes);
}

void RedirBoard::SendInReply(std::uint64_t id, int status, const std::vector<std::uint8_t>& bytes) {
  usb_redir_bulk_packet_header reply{};
  reply.endpoint = kBulkIn;
  reply.status = static_cast<std::uint8_t>(status);
  reply.length = static_cast<std::uint16_t>(bytes.size());
  reply.length_high = static_cast<std::uint16_t>(bytes.size() >> 16);
  usbredirparser_send_bulk_packet(parser_, id, &reply,
                                  bytes.empty() ? nullptr : const_cast<std::uint8_t*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
}

void RedirBoard::AnswerIn() {
  const bool fixed = board_.source == Source::kFixedRate;
  // The fixed-rate source since it last ran: into the requests in order, then the FIFO.
  std::uint64_t produced = fixed ? board_.Produce(NowUs()) : 0;
  while (parser_ != nullptr && !in_requests_.empty() && (!hold_in_ || in_halted_)) {
    InRequest& request = in_requests_.front();
    if (in_halted_) {
      board_.dropped += request.filled;  // the stall's answer carries none of it
      SendIn(request.id, request.length);
    } else if (fixed || request.filled != 0) {
      // A request the fixed-rate source began goes on with whatever source follows.
      std::uint64_t unlimited =
          board_.source == Source::kNone || board_.configuration == 0 ? 0 : ~std::uint64_t{0};
      request.bytes.resize(request.length);
      std::uint32_t error = 0;
      if (!board_.FillIn(request.bytes, request.filled, fixed ? produced : unlimited, error))
        break;
      request.bytes.resize(request.filled);
      SendInReply(request.id, error != 0 ? usb_redir_babble : usb_redir_success, request.bytes);
    } else {
      SendIn(request.id, request.length);
    }
    in_requests_.pop_front();
  }
  if (fixed) board_.KeepOrDrop(produced);
}

std::int64_t RedirBoard::TimeToAnswer() const {
  if (board_.source != Source::kFixedRate || board_.rate == 0 || board_.configuration == 0 ||
      in_requests_.empty() || hold_in_ || in_halted_ || parser_ == nullptr)
    return -1;
  const InRequest& first = in_requests_.front();
  const std::uint64_t room = first.length - first.filled;
  const std::uint64_t packets = (room + quorix::sim::kPacketSize - 1) / quorix::sim::kPacketSize;
  const std::uint64_t missing = packets * quorix::sim::kPacketSize;
  return static_cast<std::int64_t>(
      board_.TimeToProduce(missing > board_.fifo_held ? missing - board_.fifo_held : 0));
}

// ---- the test's commands ----

std::string RedirBoard::Command(const std::string& line) {
  std::istringstream words(line);
  std::string verb, argument;
  words >> verb >> argument;
  if (verb == "plug") {
    if (parser_ == nullptr) return Connect() ? "ok" : "error cannot connect to " + path_;
    if (!announced_) Announce();  // after a usbredir disconnect
    return "ok";
  }
  if (verb == "unplug") {
    if (parser_ == nullptr) return "error not connected";
    if (argument == "socket") {
      Drop();
      return "ok";
    }
    if (argument == "disconnect") {
      usbredirparser_send_device_disconnect(parser_);
      announced_ = false;
      in_requests_.clear();
      return "ok";
    }
    return "error unplug socket|disconnect";
  }
  if (verb == "hold-in") {
    hold_in_ = argument == "on";
    AnswerIn();
    return "ok";
  }
  if (verb == "short" || verb == "zlp") {
    const std::uint32_t size = verb == "zlp" ? 0 : static_cast<std::uint32_t>(std::stoul(argument));
    if (size >= quorix::sim::kPacketSize) return "error a short packet is under 512 bytes";
    std::vector<std::uint8_t> packet(size);
    quorix::sim::FillCounter(packet.data(), board_.source_position, size);
    board_.source_position += size;
    if (size == 0)
      board_.PushZeroLengthPacket();
    else
      board_.PushIn(packet);
    return "ok";
  }
  if (verb == "source") {
    AnswerIn();  // what the old source did until now stands
    if (argument == "counter" || argument == "none") {
      board_.ChangeSource(argument == "none" ? Source::kNone : Source::kCounter,
                          quorix::sim::kRateUnlimited);
      AnswerIn();
      return "ok";
    }
    if (argument != "fixed") return "error source counter|none|fixed RATE [FIFO]";
    std::string rate, fifo;
    words >> rate >> fifo;
    const unsigned long long bytes_per_second = std::stoull(rate);
    if (bytes_per_second == 0 || bytes_per_second >= quorix::sim::kRateUnlimited)
      return "error a rate from 1 to 4294967294 bytes per second";
    if (!fifo.empty()) {
      const unsigned long long size = std::stoull(fifo);
      if (size % quorix::sim::kPacketSize != 0 || size > 0xFFFFFFFFull)
        return "error the FIFO is a multiple of 512 bytes";
      board_.SetFifo(static_cast<std::uint32_t>(size));
    }
    board_.ChangeSource(Source::kFixedRate, static_cast<std::uint32_t>(bytes_per_second));
    AnswerIn();
    return "ok";
  }
  if (verb == "fifo") {
    const unsigned long long size = std::stoull(argument);
    if (size % quorix::sim::kPacketSize != 0 || size > 0xFFFFFFFFull)
      return "error the FIFO is a multiple of 512 bytes";
    AnswerIn();
    board_.SetFifo(static_cast<std::uint32_t>(size));
    return "ok";
  }
  if (verb == "dropped") {
    AnswerIn();
    return "ok " + std::to_string(board_.dropped);
  }
  if (verb == "stall-in") {
    in_halted_ = true;
    AnswerIn();
    return "ok";
  }
  if (verb == "stall-request") {
    stall_request_ = static_cast<int>(std::stoul(argument, nullptr, 16));
    return "ok";
  }
  if (verb == "ram") {
    std::string length;
    words >> length;
    const auto address = static_cast<std::uint16_t>(std::stoul(argument, nullptr, 0));
    const auto count = static_cast<std::uint32_t>(std::stoul(length, nullptr, 0));
    const std::uint8_t* memory = board_.Memory(address, count);
    if (memory == nullptr) return "error not RAM";
    return "ok " + Hex(memory, count);
  }
  if (verb == "state") {
    char text[160];
    std::snprintf(text, sizeof text,
                  "ok port_d=%u enable=%u fpga=%u cpu_reset=%d configuration=%u in=%llu "
                  "queued=%zu",
                  board_.port_d, board_.port_d_enable, board_.fpga_mode, board_.cpu_reset ? 1 : 0,
                  board_.configuration, static_cast<unsigned long long>(board_.source_position),
                  board_.in_packets.size());
    return text;
  }
  if (verb == "out") {
    std::string text = "ok " + Hex(out_.data(), out_.size());
    out_.clear();
    return text;
  }
  return "error unknown command";
}

int RedirBoard::Run() {
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fd_, POLLIN, 0}};
    const int count = parser_ != nullptr ? 2 : 1;
    // The fixed-rate source answers the first request when it has filled it, with no word
    // from either side.
    const std::int64_t wait = TimeToAnswer();
    const timespec limit{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    const int ready = ppoll(fds, static_cast<nfds_t>(count), wait >= 0 ? &limit : nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (ready == 0) {
      AnswerIn();
      Flush();
      continue;
    }
    if (count == 2 && fds[1].revents != 0) {
      if (usbredirparser_do_read(parser_) == usbredirparser_read_io_error)
        Drop();  // QEMU closed the connection
      else
        Flush();
    }
    if (fds[0].revents != 0) {
      char chunk[512];
      const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
      if (got <= 0) return 0;
      pending.append(chunk, static_cast<std::size_t>(got));
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line == "quit") return 0;
        std::string answer;
        try {
          answer = Command(line);
        } catch (const std::exception& e) {
          answer = std::string("error ") + e.what();
        }
        Flush();
        std::cout << answer << std::endl;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SOCKET [SERIAL]\n", argv[0]);
    return 2;
  }
  RedirBoard board(argv[1], argc > 2 ? argv[2] : "QX-REDIR-0001");
  return board.Run();
}
