#include "driver/requests.h"

#include <cstring>

#include "driver/port.h"
#include "driver/trace.h"
#include "quorix/quorix.h"
#include "registry/device_record.h"

namespace quorix {

std::uint8_t RequestType(const ControlRequest& request) {
  std::uint8_t type = request.direction == kDirectionIn ? 0x80 : 0x00;
  if (request.type == kTypeClass) type |= 0x20;
  if (request.type == kTypeVendor) type |= 0x40;
  if (request.recipient == kRecipientInterface) type |= 0x01;
  if (request.recipient == kRecipientEndpoint) type |= 0x02;
  return type;
}

int ControlTransfer(const DeviceRecord* device, const ControlRequest* request, std::uint16_t length,
                    std::uint8_t* data) {
  if (device->driver == nullptr) return QUORIX_ERR_NO_DRIVER;
  if (request == nullptr) return QUORIX_ERR_FAILED;
  if (length != 0 && data == nullptr) return QUORIX_ERR_FAILED;

  const std::uint32_t size = kHeaderSize + length;
  auto* buffer = static_cast<std::uint8_t*>(port::Allocate(size));
  if (buffer == nullptr) return QUORIX_ERR_FAILED;
  // Zeroed whole: a device that delivers less than asked must leave zeros, not stale heap
  // bytes, in the caller's buffer.
  std::memset(buffer, 0, size);

  SingleTransfer header{};
  header.bmRequestType = RequestType(*request);
  header.bRequest = request->request;
  header.wValue = request->value;
  header.wIndex = request->index;
  header.wLength = length;
  header.timeout = 1;
  header.buffer_offset = kHeaderSize;
  header.buffer_length = length;
  std::memcpy(buffer, &header, kHeaderSize);
  if (request->direction == kDirectionOut && data != nullptr)
    std::memcpy(buffer + kHeaderSize, data, length);

  std::uint32_t returned = 0;
  if (!DriverRequest(device->driver, kIoctlControlTransfer, buffer, size, buffer, size, &returned,
                     nullptr)) {
    const std::uint32_t error = port::LastError();
    port::Free(buffer);
    return static_cast<int>(error);
  }
  // The full requested length, whatever the driver reports as transferred.
  if (request->direction == kDirectionIn && data != nullptr)
    std::memcpy(data, buffer + kHeaderSize, length);
  port::Free(buffer);
  return QUORIX_OK;
}

int VendorOut(const DeviceRecord* device, std::uint8_t request, std::uint16_t value,
              std::uint16_t index, std::uint16_t length, const std::uint8_t* data) {
  const ControlRequest setup{kDirectionOut, kTypeVendor, kRecipientDevice, request, value, index};
  // An OUT request only reads its data.
  return ControlTransfer(device, &setup, length, const_cast<std::uint8_t*>(data));
}

int VendorIn(const DeviceRecord* device, std::uint8_t request, std::uint16_t value,
             std::uint16_t index, std::uint16_t length, std::uint8_t* data) {
  const ControlRequest setup{kDirectionIn, kTypeVendor, kRecipientDevice, request, value, index};
  return ControlTransfer(device, &setup, length, data);
}

int SetConfiguration(const DeviceRecord* device, std::uint8_t configuration) {
  const ControlRequest request{kDirectionOut, kTypeStandard, kRecipientDevice, 9, configuration, 0};
  return ControlTransfer(device, &request, 0, nullptr);
}

void ResetBulkPipes(const DeviceRecord* device) {
  struct Step {
    std::uint32_t code;
    std::uint8_t endpoint;
  };
  static constexpr Step kSteps[] = {{kIoctlAbortPipe, kEndpointBulkOut},
                                    {kIoctlAbortPipe, kEndpointBulkIn},
                                    {kIoctlResetPipe, kEndpointBulkOut},
                                    {kIoctlResetPipe, kEndpointBulkIn}};
  for (const Step& step : kSteps) {
    std::uint8_t endpoint = step.endpoint;
    std::uint32_t returned = 0;
    (void)DriverRequest(device->driver, step.code, &endpoint, 1, nullptr, 0, &returned, nullptr);
  }
}

}  // namespace quorix
