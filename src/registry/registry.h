// The registry's operations, the validation gate, the release routines and process attach
// and detach.
#pragma once

#include <cstdint>

#include "registry/device_record.h"

namespace quorix {

std::uint32_t GetDeviceCount();
// The record at position, or null when position is not below the count.
DeviceRecord* GetDeviceAt(std::uint32_t position);
// Appends at the end; false (registry unchanged) when the storage cannot grow.
bool AppendDeviceRecord(DeviceRecord* record);
// Takes the record out of its position; the last record moves there. The caller has released
// what the record held, and frees the record itself.
void RemoveDeviceRecord(std::uint32_t position);
// The position of the record, or the count when it is not in the registry. Compares
// addresses only, so any handle value is safe to look up.
std::uint32_t FindDevicePosition(const void* handle);

// 0, or -1 not in the registry, -2 no driver handle (when required), -4 not open or not ours.
int ValidateDevice(const void* handle, bool driver_required);

// Releases what the open state holds and marks the record closed. Always 0.
int ReleaseOpenDevice(std::uint32_t position);
// Releases everything the record still holds so that it can be dropped.
void DisposeDeviceRecord(DeviceRecord* record);

void ProcessAttach();
void ProcessDetach();

}  // namespace quorix
