// The request layer: the CyUSB driver's I/O control codes, its 38-byte transfer header, and
// the routes to the driver for endpoint 0 and for pipe control.
#pragma once

#include <cstdint>

namespace quorix {

struct DeviceRecord;

// Windows device-control codes of device type 0x22, any access.
inline constexpr std::uint32_t kIoctlControlTransfer = 0x220020;  // function 8, buffered
inline constexpr std::uint32_t kIoctlDirectTransfer = 0x22004B;   // function 18, neither
inline constexpr std::uint32_t kIoctlAbortPipe = 0x220044;        // function 17, buffered
inline constexpr std::uint32_t kIoctlResetPipe = 0x22002C;        // function 11, buffered

inline constexpr std::uint8_t kEndpointBulkIn = 0x86;
inline constexpr std::uint8_t kEndpointBulkOut = 0x02;

// The driver's own request record, little-endian and packed. The first twelve bytes are the
// setup stage with the driver's timeout in seconds.
#pragma pack(push, 1)
struct SingleTransfer {
  std::uint8_t bmRequestType;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
  std::uint32_t timeout;
  std::uint8_t reserved;
  std::uint8_t endpoint;
  std::uint32_t nt_status;
  std::uint32_t usbd_status;
  std::uint32_t iso_packet_offset;
  std::uint32_t iso_packet_length;
  std::uint32_t buffer_offset;
  std::uint32_t buffer_length;
};
#pragma pack(pop)
static_assert(sizeof(SingleTransfer) == 38, "the driver's header is 38 bytes");

inline constexpr std::uint32_t kHeaderSize = sizeof(SingleTransfer);

enum : std::int32_t { kDirectionOut = 0, kDirectionIn = 1 };
enum : std::int32_t { kTypeStandard = 0, kTypeClass = 1, kTypeVendor = 2 };
enum : std::int32_t { kRecipientDevice = 0, kRecipientInterface = 1, kRecipientEndpoint = 2 };

// One endpoint-0 request; the data-stage length and buffer travel beside it.
struct ControlRequest {
  std::int32_t direction;
  std::int32_t type;
  std::int32_t recipient;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
};

// bmRequestType of a request; unknown types and recipients add nothing (standard, device).
std::uint8_t RequestType(const ControlRequest& request);

// One control transfer on endpoint 0 through the device's driver handle. data must hold
// length bytes (read for OUT, written for IN) and may be null when length is 0.
// 0; -1 request or data missing, or no memory; -2 no driver handle; or the Windows error code.
int ControlTransfer(const DeviceRecord* device, const ControlRequest* request, std::uint16_t length,
                    std::uint8_t* data);

// A vendor request to the device (bmRequestType 0x40 out, 0xC0 in), through ControlTransfer.
int VendorOut(const DeviceRecord* device, std::uint8_t request, std::uint16_t value,
              std::uint16_t index, std::uint16_t length, const std::uint8_t* data);
int VendorIn(const DeviceRecord* device, std::uint8_t request, std::uint16_t value,
             std::uint16_t index, std::uint16_t length, std::uint8_t* data);

// SET_CONFIGURATION with the given configuration value.
int SetConfiguration(const DeviceRecord* device, std::uint8_t configuration);

// Abort 0x02, abort 0x86, reset 0x02, reset 0x86; results ignored, all four always sent.
// Call only while the device has a driver handle.
void ResetBulkPipes(const DeviceRecord* device);

}  // namespace quorix
