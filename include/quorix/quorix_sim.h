/*
 * Control of the simulated board, exported by the quorix-sim library only.
 *
 * The simulated library has the same functions as the real one (quorix.h) over a simulated
 * bus in the process, so an application switches to it by loading the other library. These
 * QuorixSim functions shape that bus. Like the rest of the library they are called from one
 * thread at a time and never print.
 *
 * The default board
 *   Before any of these calls the bus holds exactly one board:
 *     vendor 0xDEAD, product 0xBEEF, release 0x0100,
 *     manufacturer "Quorix", product "Quorix FX2 board", serial number "QX-SIM-0001".
 *   It is board number 1. Boards added with QuorixSimAddBoard have the same manufacturer and
 *   product strings and the same endpoints.
 *
 * Bulk endpoints
 *   Bulk IN 0x86 sends first the data pushed with QuorixSimPushIn, as 512-byte packets, then
 *   what its source produces. A read completes when its buffer is full or when a short (or
 *   zero-length) packet ends it. The source of every board is at first the counter pattern
 *   (32-bit little-endian words 0, 1, 2, ... restarting at 0 whenever the board is configured,
 *   as opening the device does) at 32 MiB/s (33,554,432 bytes per second), in whole packets.
 *   It is flow-controlled like an FPGA that stalls on a full FIFO: beyond 2 KiB of endpoint
 *   buffering it waits while no read is posted, so a reader that keeps a read posted sees the
 *   pattern without gaps. Bulk OUT 0x02 keeps what is written for QuorixSimTakeOut, or with
 *   loopback on sends it back on bulk IN as packets. Transfers complete when the library asks
 *   for their result or waits for them; the simulator starts no thread. A wait without limit
 *   (transfer timeout 0) for something that nothing could ever complete, such as a read with
 *   the source stopped, would hang the caller for good; the simulator fails that wait instead,
 *   so the read or write returns -1 (a write is aborted first).
 *
 * Interface paths
 *   Each connection of a board lists a path text of its own, so a board that is unplugged
 *   and plugged in again is a new interface to the library. The listing shows plugged boards
 *   in the order they were (last) plugged in.
 */
#pragma once

#include <stdint.h>

#include "quorix/quorix.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Removes every board and every injected fault, and empties the request log. Handles the
 * library holds stay valid; requests on them fail as on a board that was unplugged, and
 * transfers still pending end as they would at an unplug.
 * Returns 0. */
QUORIX_API int QUORIX_CALL QuorixSimReset(void);

/* Plugs in a new board with this serial number and USB identity.
 * Returns the board's number (1 or more) for the calls below, or -1 when serial is NULL. */
QUORIX_API int QUORIX_CALL QuorixSimAddBoard(const char* serial, uint16_t vendor, uint16_t product);

/* Unplugs a board: its driver handles fail with 1167 (device not connected) and the next
 * discovery no longer lists it. Returns 0, or -1 for an unknown or unplugged board. */
QUORIX_API int QUORIX_CALL QuorixSimUnplug(int board);

/* Plugs an unplugged board in again, under a new interface path, listed last.
 * Returns 0, or -1 for an unknown or plugged board. */
QUORIX_API int QUORIX_CALL QuorixSimReplug(int board);

/* Sources of bulk IN, for QuorixSimSetSource. */
#define QUORIX_SIM_SOURCE_NONE 0
#define QUORIX_SIM_SOURCE_COUNTER 1
/* Rates in bytes per second; 0 stops the source. */
#define QUORIX_SIM_RATE_DEFAULT 33554432u
#define QUORIX_SIM_RATE_UNLIMITED 0xFFFFFFFFu

/* Queues count bytes on the board's bulk IN as 512-byte packets, the last one short; a count
 * of 0 queues one zero-length packet. They are sent before anything of the source.
 * Returns 0, or -1 for an unknown board or a NULL data with a non-zero count. */
QUORIX_API int QUORIX_CALL QuorixSimPushIn(int board, const void* data, uint32_t count);

/* Chooses what feeds bulk IN after the pushed data, and how fast (bytes per second;
 * QUORIX_SIM_RATE_UNLIMITED never makes a read wait; 0 stops). The counter pattern goes on
 * from where it was. Returns 0, or -1 for an unknown board or source. */
QUORIX_API int QUORIX_CALL QuorixSimSetSource(int board, int source, uint32_t bytes_per_second);

/* Loopback on (non-zero) sends what is written to bulk OUT back on bulk IN, as packets;
 * off (0, the start) keeps it for QuorixSimTakeOut. Returns 0, or -1 for an unknown board. */
QUORIX_API int QUORIX_CALL QuorixSimSetLoopback(int board, int on);

/* Takes up to capacity bytes of what was written to the board's bulk OUT, oldest first, and
 * stores their number through taken. With a NULL buffer nothing is taken and taken receives
 * the number of bytes kept. Returns 0, or -1 for an unknown board or a NULL taken. */
QUORIX_API int QUORIX_CALL QuorixSimTakeOut(int board, void* buffer, uint32_t capacity,
                                            uint32_t* taken);

#ifdef __cplusplus
}
#endif
