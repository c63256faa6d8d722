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
 *   Boards added with QuorixSimAddBoard have the same manufacturer and product strings.
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
 * library holds stay valid; requests on them fail as on a board that was unplugged.
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

#ifdef __cplusplus
}
#endif
