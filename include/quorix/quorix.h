/*
 * Quorix: access library for the FX2-based USB 2.0 board (vendor 0xDEAD, product 0xBEEF).
 *
 * Front page
 * ==========
 *
 * Prefixes
 *   Functions are named Quorix<Verb><Object>; constants QUORIX_<NAME>. Nothing else is
 *   declared by this header.
 *
 * Statuses
 *   Every function returns an int status, except QuorixGetDeviceSerialNumber, which returns
 *   a string. A status is one of:
 *     0         QUORIX_OK                   success
 *     -1        QUORIX_ERR_FAILED           general failure: unknown device handle, no board
 *                                           at that index or with that serial number, a
 *                                           required pointer missing, no memory or event
 *                                           available, discovery failed, a firmware file
 *                                           could not be opened or is malformed, a wait that
 *                                           ended for a reason other than its timeout
 *     -2        QUORIX_ERR_NO_DRIVER        the device has no connection to the driver: its
 *                                           board was unplugged while it was open
 *     -3        QUORIX_ERR_ALREADY_OPEN     the device is already open
 *     -4        QUORIX_ERR_NOT_OPEN         the device is not open, or another process opened it
 *     -5        QUORIX_ERR_TIMEOUT          a read or write did not complete within the
 *                                           device's transfer timeout
 *     -6        QUORIX_ERR_TRANSFER         a read or write ended in time but failed
 *     -7        QUORIX_ERR_OVERFLOW         more data arrived than the receive ring had room
 *                                           for; the ring was emptied and reading goes on
 *     -8        QUORIX_ERR_NO_STARTUP_AREA  the board's EEPROM holds no startup-command area
 *     -9        QUORIX_ERR_NO_SPACE         the startup command does not fit the EEPROM space
 *     positive  a Windows error code of a failed driver request, passed through unchanged,
 *               on every platform (ports other than Windows map their errors to the Windows
 *               code that means the same). Common ones: 5 access denied, 8 not enough memory,
 *               31 device stalled the request, 121 semaphore timeout, 170 busy, 995 operation
 *               aborted, 1167 device not connected.
 *   The numbers never change; negative codes and Windows codes are never translated into each
 *   other.
 *
 * Ownership
 *   The caller owns every buffer it passes; the library copies what it keeps. The string
 *   returned by QuorixGetDeviceSerialNumber belongs to the library (see there).
 *
 * Blocking
 *   Every call runs to completion on the caller's thread; the library starts no thread. Each
 *   call says below how long it may block.
 *
 * Threads
 *   The library takes no lock: a process calls it from one thread at a time.
 *
 * Discovery
 *   The library keeps one table of the boards it has found, per process. Each call that needs
 *   an up-to-date picture of the boards (QuorixCountDevices, QuorixGetDeviceSerialNumber and
 *   the open and close calls) lists the driver's interfaces first: a new board gets a record
 *   (ten control transfers read its device descriptor and its manufacturer, product and serial
 *   strings), a known board costs no request, and a board that is gone leaves the table unless
 *   it is open. Indices count the boards of this vendor and product in table order. When a
 *   board leaves the table, the board that was last takes its place, so indices of other
 *   boards may change after an unplug.
 */
#pragma once

#include <stdint.h>

#define QUORIX_VERSION_MAJOR 1
#define QUORIX_VERSION_MINOR 0
#define QUORIX_VERSION_PATCH 0
#define QUORIX_MAKE_VERSION(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define QUORIX_VERSION \
  QUORIX_MAKE_VERSION(QUORIX_VERSION_MAJOR, QUORIX_VERSION_MINOR, QUORIX_VERSION_PATCH)

/* Explicit cdecl on 32-bit Windows, where it is not the only convention; elsewhere the
 * platform's one C convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define QUORIX_CALL __cdecl
#else
#define QUORIX_CALL
#endif

#if defined(_WIN32)
#define QUORIX_API /* exported by the module definition file */
#elif defined(__GNUC__)
#define QUORIX_API __attribute__((visibility("default")))
#else
#define QUORIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum QuorixStatus {
  QUORIX_OK = 0,
  QUORIX_ERR_FAILED = -1,
  QUORIX_ERR_NO_DRIVER = -2,
  QUORIX_ERR_ALREADY_OPEN = -3,
  QUORIX_ERR_NOT_OPEN = -4,
  QUORIX_ERR_TIMEOUT = -5,
  QUORIX_ERR_TRANSFER = -6,
  QUORIX_ERR_OVERFLOW = -7,
  QUORIX_ERR_NO_STARTUP_AREA = -8,
  QUORIX_ERR_NO_SPACE = -9
};

/* The board's USB identity; only devices with both are counted and opened. */
#define QUORIX_VENDOR_ID 0xDEAD
#define QUORIX_PRODUCT_ID 0xBEEF

/* A device handle designates one board of the library's table. It is handed out by the open
 * calls and accepted while its board stays in the table; a handle whose board has left the
 * table must not be used again. Never dereference it. */
typedef struct QuorixDevice* QuorixHandle;

/* ---- Discovery ------------------------------------------------------------------------- */

/* Counts the boards that are plugged in (vendor 0xDEAD, product 0xBEEF), after refreshing the
 * table. A board that was unplugged while it was open is still counted until it is closed.
 *
 * count: where the number goes; may be NULL (the refresh still runs).
 * Returns 0 with the number written, or -1 when the driver's interfaces could not be listed
 * or memory ran out; *count is then left as it was.
 * Blocks for the listing and, per new board, ten control transfers (each up to about 1 s). */
QUORIX_API int QUORIX_CALL QuorixCountDevices(int32_t* count);

/* The serial-number string of the board at index (0-based, among the boards counted by
 * QuorixCountDevices), after refreshing the table.
 *
 * Returns a NUL-terminated 8-bit string: the low byte of each UTF-16 unit of the board's
 * serial-number string descriptor, without code-page conversion. It belongs to the library:
 * do not change or free it. It stays valid until the board leaves the table (it is unplugged
 * while closed, or closed after an unplug) or the library is unloaded.
 * Returns NULL when the refresh failed, when index is negative or not below the count, or
 * when the board's serial-number string could not be read.
 * Blocks as QuorixCountDevices does. */
QUORIX_API const char* QUORIX_CALL QuorixGetDeviceSerialNumber(int32_t index);

#ifdef __cplusplus
}
#endif
