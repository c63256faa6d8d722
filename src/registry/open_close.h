// Opening a discovered board for streaming, and closing it again.
#pragma once

#include "registry/device_record.h"

namespace quorix {

// Gives a closed record its events and buffers, configures the board, makes this process its
// owner and posts the first read. 0; -1 not in the registry, no driver handle, or no event or
// memory; -3 already open; SET_CONFIGURATION's status; or the first read's. On any failure the
// record is left closed, without owner, holding nothing of the attempt. With queued reads (the
// shape given, or else the environment's) the ring is the queue's and the queue is posted in
// place of the first read, and the pump started.
struct QueueShape;
int OpenDeviceRecord(DeviceRecord* record, const QueueShape* shape = nullptr);

// Ends the outstanding read, releases the open state, and removes the record when its board
// has gone. 0; -1 not in the registry; -4 not open.
int CloseDeviceRecord(DeviceRecord* record);

}  // namespace quorix
