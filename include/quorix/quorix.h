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
 *     -7        QUORIX_ERR_OVERFLOW         the driver reported more data than the read
 *                                           asked for (a fault of the driver or the board);
 *                                           the ring was emptied and reading goes on
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
 * Windows codes on Linux and macOS
 *   The native library there works over libusb-1.0 and reports each libusb error, and each
 *   status of a finished transfer, as the Windows code that means the same:
 *     LIBUSB_ERROR_IO              1117  I/O device error
 *     LIBUSB_ERROR_INVALID_PARAM     87  invalid parameter
 *     LIBUSB_ERROR_ACCESS             5  access denied: no permission for the device
 *                                        (see "Linux permissions" in docs/install.md)
 *     LIBUSB_ERROR_NO_DEVICE       1167  device not connected
 *     LIBUSB_ERROR_NOT_FOUND          2  not found
 *     LIBUSB_ERROR_BUSY             170  busy: another process has claimed the board
 *     LIBUSB_ERROR_TIMEOUT          121  semaphore timeout (a control transfer's one second)
 *     LIBUSB_ERROR_OVERFLOW          31  the device sent more than was asked for (babble)
 *     LIBUSB_ERROR_PIPE              31  the device stalled the request
 *     LIBUSB_ERROR_INTERRUPTED      995  operation aborted
 *     LIBUSB_ERROR_NO_MEM             8  not enough memory
 *     LIBUSB_ERROR_NOT_SUPPORTED     50  not supported
 *     LIBUSB_ERROR_OTHER             31  the device is not functioning
 *     LIBUSB_TRANSFER_ERROR        1117  the transfer failed on the wire
 *     LIBUSB_TRANSFER_TIMED_OUT     121  the transfer timed out
 *     LIBUSB_TRANSFER_CANCELLED     995  the transfer was aborted
 *     LIBUSB_TRANSFER_STALL          31  the endpoint stalled
 *     LIBUSB_TRANSFER_NO_DEVICE    1167  the board was unplugged
 *     LIBUSB_TRANSFER_OVERFLOW       31  babble
 *
 * Ownership
 *   The caller owns every buffer it passes; the library copies what it keeps. The string
 *   returned by QuorixGetDeviceSerialNumber belongs to the library (see there).
 *
 * Blocking
 *   Every call runs to completion on the caller's thread. Each call says below how long it may
 *   block.
 *
 * Threads
 *   Every function may be called from any thread at any time; the library serialises itself.
 *   It starts no thread of its own, except one per device opened with queued reads (see
 *   QuorixOpenDeviceQueued): that thread, the pump, only takes completed reads into the
 *   device's ring and posts them again, under the device's lock like any call on the board.
 *   It runs none of the application's code, holds no lock while it waits for the board, is
 *   counted as a call inside the device (so a close or an unplug ends it, and the close waits
 *   for it), and ends before QuorixCloseDevice returns. On Windows it keeps the DLL loaded
 *   while it runs: a FreeLibrary of a process that left such a device open does not unload the
 *   DLL. The simulated library on its virtual clock starts no pump (its calls take the
 *   completions in). The classic read starts no thread.
 *   The second kind of thread is the plug watcher, one per process while any plug callback is
 *   registered (QuorixRegisterPlugCallback). It refreshes the table of boards as discovery
 *   does (so indices may change under it, as they may under another thread's
 *   QuorixCountDevices) when the system tells of a change, or at an interval where it cannot,
 *   and runs the registered callbacks, one at a time, with none of the library's locks held.
 *   A callback may call any function of the library, QuorixUnregisterPlugCallback of its own
 *   registration included (which then returns at once). It should not wait for another thread
 *   that is itself in QuorixUnregisterPlugCallback of that callback's registration, or in
 *   QuorixUnregisterPlugCallback of the last registration (which waits for the watcher to
 *   end): that waits for the callback in turn. The watcher ends with the last registration, and
 *   at the library's unload (waiting up to 2 s for a callback in progress); on Windows it keeps
 *   the DLL loaded while it runs, so a FreeLibrary with a callback still registered unloads the
 *   DLL only once the last registration has ended. A child of fork() has no watcher and no
 *   registrations. How the watcher learns of changes: libusb's hotplug where libusb has it
 *   (Linux with udev, macOS), handling libusb's events itself while it waits; on Windows the
 *   configuration manager's notification for the driver's interface class, or where the system
 *   lacks it (Wine 8, Windows before 8) a message-only window registered for the class's device
 *   broadcasts, on a thread of its own (the first registration loads cfgmgr32 and user32); the
 *   simulated bus's plug calls in the simulated library; elsewhere it walks the listing every
 *   250 ms, and where it is told, every 2 s all the same. Each arrival and each departure is
 *   reported once to each registration, whichever thread's discovery noticed it first.
 *   - QuorixWaitForBytes waits as a read does, and takes the read's turn: it and a read of one
 *     board run one at a time. The data-ready handle of QuorixGetReadyHandle may be waited on
 *     from any thread; the library makes it ready or not under the board's lock.
 *   - Discovery, opening and closing (QuorixCountDevices, QuorixGetDeviceSerialNumber,
 *     QuorixOpenDevice, QuorixOpenDeviceWithSerial, QuorixCloseDevice) run one at a time in
 *     the process. Every other call takes the table of boards only for the moment it checks
 *     its handle. A close that has to wait for another call on its board (a startup command
 *     holds the board for its pauses) lets go of the table meanwhile: discovery, opening and
 *     the other boards' calls go on.
 *   - Calls on different boards run in parallel.
 *   - Calls on one board run one at a time, except that a QuorixReadDevice or
 *     QuorixWriteDevice waiting for the driver lets the other calls on that board go on
 *     meanwhile: QuorixNumberOfBytesAvailable, the board controls, the EEPROM, the startup
 *     command, QuorixLoadFirmware, QuorixSetTimeOut, a write while a read waits (a read while a
 *     write waits), and QuorixCloseDevice. A second read of a board waits until the first has
 *     returned, and a second write until the first has: reads of one board never interleave.
 *   - A read that waits while another thread's QuorixNumberOfBytesAvailable or
 *     QuorixWriteDevice takes the completion it waits for into the ring returns at once with
 *     those bytes.
 *   - QuorixCloseDevice from another thread ends a waiting read or write at once: it returns
 *     -4 (a write whose transfer had completed returns 0) and touches the device no more. The
 *     close waits until such calls have returned, then closes as it always does. A waiting
 *     read whose board is unplugged returns -6 (its transfer failed), or -2 when discovery on
 *     another thread noticed first.
 *   - Unloading the library (the process's detach, also at exit()) ends the waiting reads and
 *     writes of the process's devices in the same way and waits up to 2 s in all for calls of
 *     other threads still inside, a call that holds its board (a startup command) included;
 *     a device that a call is still inside after that is left alone, not freed. At the end of
 *     a Windows process the other threads are gone already and nothing is waited for. Calls
 *     made while the library is being unloaded are not supported.
 *   - fork() (POSIX) may be called while other threads are inside calls: the library takes its
 *     table's lock and the driver layer's around it, so the child inherits none of them held.
 *     The child may use the library: it finds the boards and opens one that is free afresh;
 *     the parent's open devices are not its own (-4), and its exit() leaves them to the
 *     parent.
 *   - The string QuorixGetDeviceSerialNumber returns may be freed by a refresh on another
 *     thread (see there): copy it before other threads run discovery.
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
 *
 * Streaming
 *   While a device is open the library keeps one read posted on the board's bulk-IN endpoint
 *   0x86 and collects what arrives in a 2 MiB receive ring (2,097,152 bytes, of which at most
 *   2,097,144 hold data at a time). There is no thread behind it: a completed read is moved
 *   into the ring, and the next read posted, only inside QuorixNumberOfBytesAvailable,
 *   QuorixReadDevice (when the ring is empty, and after every 64 KiB it takes out of the
 *   ring, so that a reader that drains a full ring without polling has the next read posted
 *   long before the ring is empty; what such a look finds wrong is reported, as always, once
 *   the ring is empty) and at the end of each successful QuorixWriteDevice. Each read asks for as many whole 512-byte packets as the ring has room
 *   for; the first after open asks for 2,096,640 bytes. While the ring has room for less than
 *   one packet no read is posted: the board keeps its data (bulk IN is flow-controlled), and
 *   the first of those calls that finds room again, after the application has read some,
 *   posts the next read. Nothing the board sends is dropped, however an application
 *   interleaves its reads and polls; one that reads slowly only slows the board down. Reads
 *   and writes wait at most the device's transfer timeout (QuorixSetTimeOut; 200 ms unless
 *   changed) for each completion.
 *
 * When data become visible
 *   The bytes of a read reach the ring when that read completes: when it is full, or when the
 *   board ends a transfer with a short or zero-length packet. Until then
 *   QuorixNumberOfBytesAvailable does not count them and a read waiting for them can time
 *   out. A board that streams continuously fills a 2 MiB read in about 40 ms at 50 MB/s; a
 *   board that sends slowly, or in bursts that must be seen at once, ends each burst with a
 *   short packet (a zero-length one after a burst of whole packets).
 *
 * Tracing
 *   With the environment variable QUORIX_TRACE set to 1 the library writes one line per
 *   driver request to stderr (set to a file name, it appends them to that file): the request
 *   (setup stage and data, or endpoint and length), its result and the time it took, and a
 *   second line when the result of a pending bulk transfer is learned. The variable is read
 *   once, at the first request. Apart from this the library never prints.
 *   Tracing never makes a call hang. The file is opened without waiting, and only a regular
 *   file, a character device (a terminal, /dev/stderr) or a FIFO that a program is reading
 *   is taken; anything else (a FIFO with no reader, a folder, a socket) is refused with one
 *   line on stderr, and the lines go to stderr instead. A line that cannot be written within
 *   200 ms (a FIFO or pipe whose reader stopped reading, a terminal held by Ctrl-S) is
 *   dropped, and the lines after it are dropped at once until the reader makes room; the
 *   first line written then says how many were lost. A reader that goes away ends tracing,
 *   not the program (no SIGPIPE).
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

/* ---- Opening and closing --------------------------------------------------------------- */

/* Opens the board at index (0-based, among the boards counted by QuorixCountDevices), after
 * refreshing the table. Opening sends SET_CONFIGURATION 1, makes the calling process the
 * device's owner (only it may use the handle), allocates the 2 MiB receive ring and posts the
 * first read on endpoint 0x86. A device is opened once: a second open fails with -3 until it
 * is closed, whoever asks.
 *
 * out: receives the device handle; may be NULL. It is set to NULL first, so that it holds
 *      NULL after any failure.
 * Returns 0; -1 when the refresh failed, index is negative or not below the count, the
 * board's connection has gone, or no memory or event could be had; -3 when the device is
 * already open; a Windows error code when the board refused SET_CONFIGURATION or the driver
 * refused the first read; or -7 when the driver reported more for the first read than it
 * asked for. On every failure the device stays closed and can be opened again.
 * Blocks for the refresh and one control transfer (up to about 1 s). */
QUORIX_API int QUORIX_CALL QuorixOpenDevice(int32_t index, QuorixHandle* out);

/* Opens the board whose serial-number string is exactly serial (case and length count), after
 * refreshing the table; otherwise as QuorixOpenDevice. Only the first board with that serial
 * number is tried.
 *
 * serial: NUL-terminated; NULL gives -1. It may be a string QuorixGetDeviceSerialNumber
 *   returned, even one that the refresh here frees: the text is copied first. No board's
 *   serial number is longer than 126 characters, so a longer text matches none.
 * out: receives the device handle on success; may be NULL. Left unchanged on failure.
 * Returns 0, -1 (also when no board has that serial number), -3, a Windows error code or -7,
 * as QuorixOpenDevice. */
QUORIX_API int QUORIX_CALL QuorixOpenDeviceWithSerial(const char* serial, QuorixHandle* out);

/* Closes a device that this process opened, after refreshing the table: both bulk pipes are
 * aborted and reset (abort 0x02, abort 0x86, reset 0x02, reset 0x86), which ends the
 * outstanding read, and the ring is freed; data still in the ring are lost. The board stays in
 * the table and, opened again, gives the same handle as long as no board came or went in
 * between. A device whose board was unplugged while open is removed from the table, and its
 * handle is then unknown (-1).
 *
 * Calls of other threads still inside on the device are ended first: their waits end at once
 * (they return -4), and the close waits until they have returned.
 *
 * Returns 0; -1 when the refresh failed or the handle is unknown; -4 when the device is not
 * open, another process opened it, or another thread's close of it has begun. Blocks for the
 * refresh and four pipe requests, and for the other threads' calls on the device to return. */
QUORIX_API int QUORIX_CALL QuorixCloseDevice(QuorixHandle device);

/* ---- Streaming -------------------------------------------------------------------------- */

/* Every call of this group first checks the handle: -1 when it is unknown, -2 when the board
 * was unplugged while the device was open (close it), -4 when the device is not open, another
 * process opened it, or its close has begun. Nothing else is done then. */

/* The number of bytes waiting in the receive ring, after taking in the outstanding read if it
 * has completed (and posting the next). Never waits.
 *
 * count: receives the number; may be NULL (the read is still taken in). Untouched when the
 *        handle check fails; 0 after any other failure.
 * Returns 0; -1, -2, -4 (handle check); -7 when the driver reported more for the completed
 * read than it asked for (the ring was emptied and a new read posted, so the next call goes
 * on normally); or the Windows error
 * code with which the outstanding read failed, or the driver refused the next one. Once the
 * outstanding read has failed, it is not replaced: every later call returns that code, even
 * while the ring still holds bytes (QuorixReadDevice still delivers them), until the device is
 * closed. While the ring is full no read is outstanding; each call then asks the driver, without
 * a request to the board, whether the board is still connected, so an unplug is reported by
 * the first call after it, as promptly as by a failed read and with the code the driver gives
 * (1167 on Linux and with the simulated board). */
QUORIX_API int QUORIX_CALL QuorixNumberOfBytesAvailable(QuorixHandle device, uint32_t* count);

/* Reads exactly count bytes into buffer, from the receive ring, waiting for further
 * completions of the outstanding read while the ring is empty. A read the ring can serve
 * entirely asks the board nothing.
 *
 * buffer: room for count bytes; may be NULL only when count is 0 (otherwise -1).
 * Returns 0 once count bytes are in buffer (at once for count 0); -1, -2, -4 (handle check);
 * -1 also when waiting failed; -5 when the ring was empty and no read completed within the
 * transfer timeout (the outstanding read goes on, and the next call continues with it); -6
 * when the outstanding read failed after the wait; -7 when the driver reported more for a
 * read than it asked for (the ring was emptied, reading goes on); -4 when another thread
 * closed the device while the read waited, and -2 when discovery on another thread found its
 * board gone; or the Windows error code with which the outstanding read failed or the driver
 * refused the next read. After a failure the bytes copied so far in this call are in buffer
 * and gone from the ring; how many is not reported.
 * Blocks while the ring is empty: up to the transfer timeout for each completion (without
 * limit when the timeout is 0); a second read of the device first waits for the first. */
QUORIX_API int QUORIX_CALL QuorixReadDevice(QuorixHandle device, uint32_t count, void* buffer);

/* Writes count bytes to the board's bulk-OUT endpoint 0x02 and waits until the driver has
 * completed the write, then takes in a completed read as QuorixNumberOfBytesAvailable does
 * (without reporting what it found: an overrun there, a driver reporting more than it was
 * asked for, empties the ring silently). buffer is handed to the driver as is, without a
 * copy; a count of 0 is passed on.
 *
 * buffer: count bytes; may be NULL only when count is 0 (otherwise -1).
 * Returns 0 when the driver completed the write, even if it sent fewer bytes than count;
 * -1, -2, -4 (handle check); -1 also when waiting failed; -5 when the write did not complete
 * within the transfer timeout; -6 when it failed after the wait; -4 when another thread closed
 * the device while the write waited, and -2 when discovery on another thread found its board
 * gone; or the Windows error code with which the driver refused it. On -5, -4, -2 and -1 the
 * write has ended before the call returned, and part of the data may have been sent.
 * Blocks until the write ends: up to the transfer timeout (without limit when it is 0); a
 * second write of the device first waits for the first. */
QUORIX_API int QUORIX_CALL QuorixWriteDevice(QuorixHandle device, uint32_t count,
                                             const void* buffer);

/* Sets the device's transfer timeout in milliseconds (0: no limit), which bounds each wait of
 * QuorixReadDevice and QuorixWriteDevice from their next wait on. It starts at 200 when the
 * board is found and is kept when the device is closed and opened again.
 *
 * Returns 0, or -1, -2, -4 (handle check; the timeout is then unchanged). Never blocks. */
QUORIX_API int QUORIX_CALL QuorixSetTimeOut(QuorixHandle device, uint32_t milliseconds);

/* ---- Board controls --------------------------------------------------------------------- */

/* Every call from here on first checks the handle as the streaming calls do (-1, -2, -4,
 * nothing sent). The rest of each call is one or more control transfers on endpoint 0, each
 * waiting up to about 1 s for the board; a positive status is the Windows error code of the
 * failed transfer (31 when the board stalled it). The bytes are passed through unchanged:
 * their meaning is the board firmware's. Byte and word arguments are C types of that width,
 * so wider values are cut to their low 8 or 16 bits by the caller's conversion. */

/* Sets the port D output latch to outputs (vendor request 0xB2, wIndex 0, one data byte).
 * Returns 0 or a status as above. */
QUORIX_API int QUORIX_CALL QuorixSetPortDOutputs(QuorixHandle device, uint8_t outputs);

/* Sends count bytes to the port D output latch in one request (0xB2, wIndex 0, wLength
 * count), which the board's firmware applies in order; the latch keeps the last one.
 *
 * bytes: count bytes; may be NULL only when count is 0 (a request without data stage is
 *        then sent). NULL with a non-zero count gives -1 and sends nothing. */
QUORIX_API int QUORIX_CALL QuorixSetPortDOutputsExt(QuorixHandle device, uint8_t count,
                                                    const uint8_t* bytes);

/* Reads the port D outputs back (0xB2 device-to-host, wIndex 0, one byte).
 *
 * outputs: receives the byte; untouched on any failure. NULL gives -1 and sends nothing. */
QUORIX_API int QUORIX_CALL QuorixGetPortDOutputs(QuorixHandle device, uint8_t* outputs);

/* Sets the port D output enables (0xB2, wIndex 1, one data byte). They cannot be read back. */
QUORIX_API int QUORIX_CALL QuorixSetPortDOutputEnable(QuorixHandle device, uint8_t enable);

/* Sets the FPGA configuration mode (vendor request 0xB3, one data byte). */
QUORIX_API int QUORIX_CALL QuorixSetConfFpgaMode(QuorixHandle device, uint8_t mode);

/* ---- EEPROM ----------------------------------------------------------------------------- */

/* The board's firmware reaches its EEPROMs through vendor request 0xB0, the device select in
 * wIndex (the board's own EEPROM is select 1) and the EEPROM address in the data stage, high
 * byte first. The library imposes no size or page limit: addressing, wrapping and write
 * timing are the board's. */

/* The size of the board's own EEPROM (select 1) in bytes: a 24C64, addresses 0x0000-0x1FFF.
 * The part ignores higher address bits, so an address past its end wraps to the start; the
 * library passes every address on unchanged, so staying below this size is the caller's
 * part. The startup-command area's address chain lies in its top bytes (see
 * QuorixSetStartupCommand). */
#define QUORIX_EEPROM_SIZE 8192

/* Reads count bytes from address: one request sets the EEPROM's read position (wLength 2,
 * the address only), a second reads count bytes. When the first fails the second is not
 * sent.
 *
 * buffer: room for count bytes; written only when the read succeeds. NULL with a non-zero
 *         count gives -1 after the position was set.
 * Returns 0 or a status as above. Blocks for two control transfers. */
QUORIX_API int QUORIX_CALL QuorixReadEprom(QuorixHandle device, uint8_t select, uint16_t address,
                                           uint8_t count, uint8_t* buffer);

/* Writes count bytes at address in one request (wLength count + 2: the address, then the
 * data). Pieces larger than the EEPROM's page, or crossing its page boundaries, are the
 * caller's to split; the library does not wait for the EEPROM to finish writing.
 *
 * data: count bytes; may be NULL only when count is 0. NULL with a non-zero count gives -1
 *       and sends nothing; so does running out of memory. */
QUORIX_API int QUORIX_CALL QuorixWriteEprom(QuorixHandle device, uint8_t select, uint16_t address,
                                            uint8_t count, const uint8_t* data);

/* ---- Startup command -------------------------------------------------------------------- */

/* Stores command as the board's startup command in its EEPROM (select 1). The place is read
 * from the EEPROM each time: the byte at 0x1FFD must not be 0 (else -8); the base address B
 * is at 0x1FF8, the command address S at B + 7, both stored low byte first. The image, the
 * length low byte first and then the command, goes at S in pieces of 16 bytes; it must end
 * below 0x1FEF, that is S + length + 2 < 8175 (else -9, nothing written). The pieces are
 * aligned to S, not to the EEPROM's pages: with 32-byte pages, as a 24C64 has, an S that is
 * not a multiple of 16 makes pieces cross page boundaries, which such a part wraps. A
 * shorter command leaves the bytes of a longer earlier one behind its own image.
 *
 * Order of the requests: three EEPROM reads (0x1FFC, 4 bytes; 0x1FF8, 2 bytes; B + 7, 2
 * bytes; each an address request and a data read), then the writes. An image of up to 16
 * bytes (a command of up to 14) is one write. A longer one of k pieces takes k + 1 writes:
 * first the piece at S with its length bytes zeroed, then the pieces at S + 16, S + 32, ...
 * in order, and last the piece at S again, now with the length. So a call that is cut short
 * at any request (an unplug, a failed request, the process ending) leaves the EEPROM
 * unchanged (before the first write), holding no command (length 0), or holding the whole
 * new command: never a length that promises bytes that were not written.
 *
 * command: length bytes, copied before anything is written; may be NULL only when length is
 *          0 (else -1, nothing sent).
 * Returns 0; -1, -2, -4 (handle check); -1 also without memory; -8; -9; or the Windows error
 * code of the first failed transfer, after which nothing more is sent and the EEPROM holds
 * what the paragraph above says.
 * Blocks for 200 ms after each of the three reads and each write: 0.8 s for up to 14 bytes,
 * 1.2 s for 15 to 30, about 52 s for the 4,076 bytes that fit above S = 0x1000 (3 reads and
 * 256 writes). */
QUORIX_API int QUORIX_CALL QuorixSetStartupCommand(QuorixHandle device, uint16_t length,
                                                   const uint8_t* command);

/* ---- Firmware --------------------------------------------------------------------------- */

/* Loads the firmware image file at path into the FX2 and starts it: the CPU is held in reset
 * (vendor request 0xA0 writing 0x01 to CPUCS at 0xE600), each data record is written at its
 * address (0xA0, wValue the address, one request per line, in file order), and the CPU is
 * released (0x00 to 0xE600).
 *
 * The file holds Intel HEX lines, read as text: ':' first, then the byte count (at most 16
 * data bytes per line), the address and the record type at fixed positions, then the data.
 * Checksums are not checked. Every line up to the file's end must be such a line: a blank
 * line, also one at the end, fails the whole file. The first record that is not data (type
 * 0) ends the download; an end-of-file record (type 1) is the usual one, and what follows it
 * is read but not sent. Any other record type, such as an extended-address record (types 2
 * and 4), ends the download too, and its address is not applied: images lie below 64 KiB,
 * in records of at most 16 bytes, as sdcc's packihx writes them.
 *
 * path: NUL-terminated, in the system's narrow character set.
 * Returns 0; -1, -2, -4 (handle check, before the file is opened); -1 when the file cannot
 * be opened or read, a line is malformed, memory runs out, the file has more than 16,777,216
 * lines, or data records follow the extended-address or start-address record that ended the
 * download before any end-of-file record (they would be left out; nothing is sent in these
 * cases); or the Windows error code of the first failed request. After a failed data write
 * the CPU stays in reset and the records before it are written. Blocks for one control
 * transfer per record. */
QUORIX_API int QUORIX_CALL QuorixLoadFirmware(QuorixHandle device, const char* path);

/* ==== Beyond the classic calls =========================================================== */
/* The calls above keep their behaviour, byte for byte on the wire. What follows is added
 * beside them, exported by every library and both DLLs. */

/* ---- Reads kept queued ---------------------------------------------------------------- */

/* How a device reads from its board's bulk IN, chosen when it is opened.
 *
 * reads = 0 is the classic read: one read posted at a time into a 2 MiB ring, sized and posted
 * as "Streaming" above says; read_size and ring_size are then 0.
 *
 * reads > 0 keeps that many reads of read_size bytes each posted at the board at all times,
 * into a ring of ring_size bytes: each completion is taken into the ring in order and its read
 * posted again at once, as long as the ring has room for it. A board that cannot wait (an ADC
 * behind the FPGA, whose FIFO overflows while no read is posted) needs this. Completions are
 * taken in by whichever call of the library comes first and by a thread of the library's own
 * (see "Threads" below), so the reads stay posted while the application processes its data.
 *   reads      1 to 64
 *   read_size  a multiple of 512, from 512 to 4 MiB; about 5 ms of data is a good size
 *              (256 KiB at 48 MB/s)
 *   ring_size  a multiple of 512, at least twice reads * read_size and at most 1 GiB; 0 means
 *              64 MiB (about 1.2 s at the USB 2.0 rate), raised to twice reads * read_size.
 *              The ring holds what the application has not read yet: one that pauses for a
 *              second needs a second of data.
 * On Linux all reads in flight of all devices count against usbfs_memory_mb (16 MB unless the
 * system changed it); a queue past it is refused when opened (8, not enough memory).
 *
 * With queued reads a read completes when it is full or the board ends a transfer with a short
 * or zero-length packet; a short completion leaves the rest of its place in the ring unused,
 * so the ring holds a little less then. Reads, polls, writes, timeouts and statuses behave as
 * with the classic read, except that -7 (a driver that reported more than a read asked for)
 * drops only that completion's data, not the ring, and that a failed read is reported by a
 * poll or a read once the bytes taken in before it have been read.
 *
 * The environment variable QUORIX_READ_QUEUE, read at each open that is not given a queue,
 * sets the queue for applications that cannot be rebuilt: "<reads>x<size>", the size in bytes
 * with an optional K or M (KiB, MiB), for example "8x256K"; "0" or "off" is the classic read.
 * QUORIX_RING_SIZE ("256M") sets the ring of a queue chosen that way. A value that cannot be
 * used is reported with one line on stderr, and the device opens with the classic read. */
typedef struct QuorixReadQueue {
  uint32_t reads;
  uint32_t read_size;
  uint32_t ring_size;
} QuorixReadQueue;

/* Opens a board as QuorixOpenDevice (serial NULL: by index) or QuorixOpenDeviceWithSerial
 * (serial given: index is not used) do, reading with the queue given (NULL: as the environment
 * says, else classic).
 * Returns what those calls return: -1 also for a queue outside the limits above (nothing is
 * opened) and when the ring, the reads' records or their events cannot be had; the Windows
 * code with which the driver refused the first read. */
QUORIX_API int QUORIX_CALL QuorixOpenDeviceQueued(int32_t index, const char* serial,
                                                  const QuorixReadQueue* queue,
                                                  QuorixHandle* out);

/* The queue the device reads with, as it was opened (reads 0 for the classic read, with the
 * classic ring's size). Returns 0; -1, -2, -4 (handle check), or -1 for a NULL queue. */
QUORIX_API int QUORIX_CALL QuorixGetReadQueue(QuorixHandle device, QuorixReadQueue* queue);

/* ---- Stream statistics ---------------------------------------------------------------- */

/* What the device's bulk IN has done since it was opened. Times are microseconds of the
 * system's monotonic clock (the simulated library's bus clock). A gap is a time in which the
 * board had no read posted: a board that cannot wait drops its data then, once its FIFO is
 * full. It lasts from the completion of the last read posted (as the driver reported it where
 * the platform tells that, else when the library noticed it) until the next read is posted. A
 * full ring is a time in which a read could not be posted for want of room: the application
 * is not keeping up. */
typedef struct QuorixStreamStatistics {
  uint32_t size;             /* set by the caller: sizeof(QuorixStreamStatistics) */
  uint32_t reads_posted;     /* reads at the board now */
  uint64_t bytes_received;   /* taken into the ring */
  uint64_t reads_completed;  /* completions taken in, short and empty ones included */
  uint64_t gaps;             /* times the board had no read posted */
  uint64_t gap_total_us;
  uint64_t gap_longest_us;
  uint64_t ring_full;        /* times a read could not be posted for want of room */
  uint64_t ring_full_total_us;
  uint64_t ring_full_longest_us;
  uint64_t last_completion_us; /* when the latest completion was taken in; 0 for none */
  uint64_t now_us;             /* the same clock when the statistics were taken */
} QuorixStreamStatistics;

/* Fills stats (whose size field says how much of it the caller knows; the library fills no
 * more). A gap or full ring still going on is counted up to now. Never waits for the board.
 * Returns 0; -1, -2, -4 (handle check), or -1 for a NULL stats or a size below 8. */
QUORIX_API int QUORIX_CALL QuorixGetStreamStatistics(QuorixHandle device,
                                                     QuorixStreamStatistics* stats);

/* ---- Waiting without blocking ------------------------------------------------------------ */

/* The native object an event loop waits on: a file descriptor on Linux and macOS, an event
 * HANDLE on Windows. */
#ifdef _WIN32
typedef void* QuorixNativeHandle;
#else
typedef int QuorixNativeHandle;
#endif

/* The device's data-ready handle, for poll/select/epoll (readable), WaitForMultipleObjects
 * (signalled) or asyncio's loop.add_reader. It is ready while
 *   - the ring holds at least the ready threshold of bytes (QuorixSetReadyThreshold; 1 unless
 *     set), or no read can be posted for want of room (read to make some), or
 *   - the device has failed (a read or poll would report the failure), its board has gone, or a
 *     close has begun,
 * and not ready otherwise. It is level-triggered and owned by the library: never read from,
 * write to, reset or close it. Every call gives the same handle. It outlives QuorixCloseDevice,
 * ready: a thread that waits on it while another closes the device wakes, and its next call
 * gets -4. It is closed when the board leaves the table of boards (the discovery after the
 * device's board was unplugged and the device closed) or the library is unloaded; the next
 * open of the same board, queued, gives the same handle again. Being ready says that a
 * QuorixReadDevice of up to the bytes held, or QuorixNumberOfBytesAvailable, returns at once.
 * Only for devices opened with queued reads (QuorixOpenDeviceQueued): the library's own thread
 * takes their completions in while the application waits elsewhere. A device reading with the
 * classic read has no thread behind it, so nothing would ever make the handle ready: -1. The
 * simulated library on its virtual clock has no such thread either: -1.
 * Returns 0; -1, -2, -4 (handle check); -1 for a NULL handle pointer, a classic device, or when
 * the system gives no descriptor or event. */
QUORIX_API int QUORIX_CALL QuorixGetReadyHandle(QuorixHandle device, QuorixNativeHandle* handle);

/* How many bytes the ring must hold for the data-ready handle to be ready: 1 to half the ring's
 * size (a queued ring's ring_size / 2; 1,048,576 for the classic ring). Any device may have one
 * set; QuorixWaitForBytes does not use it. Returns 0; -1, -2, -4 (handle check); -1 for a value
 * outside that range. */
QUORIX_API int QUORIX_CALL QuorixSetReadyThreshold(QuorixHandle device, uint32_t bytes);

/* Waits up to timeout_ms (0: not at all) until the ring holds at least count bytes, consuming
 * nothing, and stores how many it holds through held (may be NULL). Completed reads are taken
 * into the ring, as QuorixNumberOfBytesAvailable does.
 * Returns 0 once count bytes are held, or when fewer are held but no more can come until some
 * are read (the ring is full); -5 when the time ran out first (held says what is there); -4
 * when the device is closed (from another thread too); -2 when discovery found its board gone;
 * a read that failed as QuorixNumberOfBytesAvailable reports it (the driver's Windows code:
 * 1167 for a board that has gone), once fewer than count bytes are held (held says how many:
 * they are read before the failure); -7 for an overrun (the bytes taken in before it stay
 * held). count is 1 to half the ring's size, else -1. A wait and a read of one
 * board run one at a time, as two reads do; QuorixNumberOfBytesAvailable, writes and the other
 * calls go on meanwhile. */
QUORIX_API int QUORIX_CALL QuorixWaitForBytes(QuorixHandle device, uint32_t count,
                                              uint32_t timeout_ms, uint32_t* held);

/* ---- Plug and unplug notifications -------------------------------------------------------- */

#define QUORIX_BOARD_ARRIVED 1
#define QUORIX_BOARD_LEFT 2

/* Flags of QuorixRegisterPlugCallback. */
#define QUORIX_PLUG_ENUMERATE 1u /* first report every board present now as arrived */

/* Called for a board of this vendor and product that arrived (event QUORIX_BOARD_ARRIVED) or
 * left (QUORIX_BOARD_LEFT). serial is its serial number ("" when it could not be read), valid
 * for the call only. device is the handle of the board's device when this process has it open
 * (a board that left: the device then answers -2, as after any unplug, until it is closed),
 * else NULL. A board that arrives again is a new device. */
typedef void(QUORIX_CALL* QuorixPlugCallback)(void* context, int32_t event, const char* serial,
                                              QuorixHandle device);

/* Registers callback with context; *registration receives a non-zero number for
 * QuorixUnregisterPlugCallback. Each arrival and each departure is reported once to each
 * registration, in the order they were noticed, within about a second (how the library learns
 * of them: see "Threads" below and the platform notes there).
 * Callbacks run on the library's watcher thread, one at a time, never inside another call's
 * locks: a callback may call any function of the library (open the board that arrived, close
 * the one that left, unregister any registration, its own included). A callback that blocks
 * delays the next events of every registration.
 * Returns 0; -1 for a NULL callback or registration, unknown flags, when no thread or memory
 * can be had, or in the simulated library on its virtual clock. */
QUORIX_API int QUORIX_CALL QuorixRegisterPlugCallback(QuorixPlugCallback callback, void* context,
                                                      uint32_t flags, uint32_t* registration);

/* Ends a registration. From any other thread it returns once a call of that callback in
 * progress has returned, so that its context may be freed at once; from inside a callback it
 * returns at once, and the callback is not called again. The watcher thread ends with the last
 * registration. Returns 0; -1 for a number that is not registered. */
QUORIX_API int QUORIX_CALL QuorixUnregisterPlugCallback(uint32_t registration);

#ifdef __cplusplus
}
#endif
