/*
 * Control of the simulated board, exported by the quorix-sim library only.
 *
 * The simulated library has the same functions as the real one (quorix.h) over a simulated
 * bus in the process, so an application switches to it by loading the other library. These
 * QuorixSim functions shape that bus. Like the rest of the library they may be called from
 * any thread, and never print.
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
 *   what the board FIFO holds, then what its source produces. A read completes when its
 *   buffer is full or when a short (or zero-length) packet ends it; several reads may be
 *   pending at once, and they are filled and complete in the order they were posted, the next
 *   going on at once when one is full. The sources (QuorixSimSetSource) all send the counter
 *   pattern, 32-bit little-endian words 0, 1, 2, ... restarting at 0 whenever the board is
 *   configured (as opening the device does), in whole 512-byte packets:
 *     QUORIX_SIM_SOURCE_COUNTER, every board's source at first, at 32 MiB/s (33,554,432 bytes
 *       per second), is flow-controlled like an FPGA that stalls on a full FIFO: it fills the
 *       board FIFO and then waits while no read is posted, so a reader that keeps a read
 *       posted sees the pattern without gaps.
 *     QUORIX_SIM_SOURCE_FIXED_RATE cannot wait, like an ADC behind the FPGA: it produces at
 *       its rate whether or not a read is posted. Each packet goes into the first pending read
 *       with room, else into the board FIFO, and when that is full it is dropped. The pattern
 *       counts on through what was dropped, so a gap in the data is exactly what was lost,
 *       and QuorixSimGetDroppedBytes counts it. A read receives only what was produced after
 *       it was posted, besides what the FIFO held then; a wait for it lasts as long as the
 *       rate takes to fill it and the reads ahead of it (virtual time advances instead).
 *       While the board is not configured (before the first open), it produces nothing;
 *       configuring it again empties the FIFO, which is not counted as dropped. Closing the
 *       device does not stop it: with no read posted it fills the FIFO, then drops.
 *     QUORIX_SIM_SOURCE_NONE sends nothing but the pushed data.
 *   The board FIFO is 2 KiB at first (QUORIX_SIM_FIFO_DEFAULT: the FX2's four 512-byte
 *   endpoint buffers); QuorixSimSetBoardFifo sets it, for instance to add an FPGA's FIFO.
 *   Bulk OUT 0x02 keeps what is written for QuorixSimTakeOut, or with loopback on sends it
 *   back on bulk IN as packets. Transfers complete when the library asks for their result or
 *   waits for them (or a QuorixSim call looks at the board); the simulator starts no thread,
 *   and the fixed-rate source's packets are reckoned at each look over the time since the
 *   last, so that what they find is as if the board had run meanwhile. A wait without limit
 *   (transfer timeout 0) for something that nothing on the bus could ever complete, such as a
 *   read with the source stopped, waits for another thread to change the board (a port D
 *   value given to QuorixSimStartSourceOnPortD, QuorixSimSetSource, QuorixSimPushIn, an
 *   unplug, a close). When the waiting thread is the only one that has used the library since
 *   it was loaded or QuorixSimReset, nothing could, and the wait would hang the caller for
 *   good; the simulator fails it instead, so the read or write returns -1 (a write is aborted
 *   first).
 *
 * Board firmware
 *   Every board answers the vendor requests of a board with its firmware running:
 *     0xB2 port D: writes with wIndex 0 set the output latch (a sequence of bytes leaves the
 *          last one in it; each write is kept whole), wIndex 1 sets the output enables, and
 *          a read with wIndex 0 returns the latch. Outputs and enables start at 0.
 *     0xB3 FPGA mode: one byte, kept; it starts at 0.
 *     0xB0 EEPROM: select 1 (wIndex) is an 8 KiB EEPROM (QUORIX_SIM_EEPROM_SIZE bytes); no
 *          other select answers. A write sets the address pointer to its address (high byte
 *          first) and stores its data from there; a read returns bytes from the pointer on
 *          and moves it. Addresses wrap at 8 KiB, as the part ignores higher address bits.
 *          Like a 24C64 the part takes a write within one 32-byte page: bytes beyond the
 *          page's end wrap to its start, so writes that cross a page boundary (at multiples
 *          of QUORIX_SIM_EEPROM_PAGE) must be split by the application, as on the board.
 *          Writes take no time.
 *   Requests the firmware does not know, or with other wValue, wIndex or wLength, stall
 *   (error 31). While the FX2's CPU is held in reset the firmware does not run, and all of
 *   these stall too.
 *
 * The EEPROM's content
 *   Erased bytes are 0xFF. Each board starts with a startup-command area: 0x1FFC-0x1FFD hold
 *   01 01 (0x1FFD non-zero: the area is there), the base address B = QUORIX_SIM_STARTUP_BASE
 *   (0x1FE8) is stored at 0x1FF8, the command address S = QUORIX_SIM_STARTUP_COMMAND
 *   (0x1000) at B + 7 = 0x1FEF, and the length at S is 0: no command. A command of up to
 *   4,076 bytes fits. QuorixSimClearStartupArea removes the area.
 *
 * The FX2 core
 *   Vendor request 0xA0 (wIndex 0, wValue the address) writes and reads the program and data
 *   RAM 0x0000-0x3FFF and the scratch RAM 0xE000-0xE1FF, as on the larger FX2 parts; a
 *   request that does not lie wholly in one of them stalls (31). Writing CPUCS (0xE600, one
 *   byte) holds the CPU in reset while its bit 0 is 1, and starts it when that bit is 0;
 *   reading it returns that bit. RAM starts zeroed and the CPU running. The simulator does
 *   not execute the code: once released, the board behaves as before.
 *
 * Interface paths
 *   Each connection of a board lists a path text of its own, so a board that is unplugged
 *   and plugged in again is a new interface to the library. The listing shows plugged boards
 *   in the order they were (last) plugged in.
 *
 * A board that remembers: QUORIX_SIM_STATE
 *   Each process that loads the simulated library has a bus of its own, so by default a board
 *   forgets everything when the process ends. With the environment variable QUORIX_SIM_STATE
 *   naming a file, the library loads the boards' state from that file when it is loaded
 *   (before any call), and saves it there when it is unloaded or the process ends, so that
 *   consecutive programs see one board. The state of a board is its EEPROMs' contents, the
 *   port D latch and output enables, the FPGA mode, the FX2's RAM and the reset bit of its
 *   CPUCS; it is kept by serial number, and a board added later with a remembered serial
 *   number (QuorixSimAddBoard) gets its state too. Nothing else is kept: streams, faults,
 *   the request log and the boards' number start afresh.
 *   - A file that does not exist yet is made at the end; its folder must exist.
 *   - A file that is not a state file, or is damaged (every file carries a checksum), or is
 *     not a regular file, is refused as a whole: the library writes one line on stderr that
 *     says why, the boards start afresh, and the file is left as it is, not saved over.
 *   - FILE may be a symbolic link only when the link is the user's own: owned by the
 *     process's effective user (on Linux and macOS). Such a link is followed (up to 8 links
 *     in a row, each of them the user's own) and the file it leads to is read and saved,
 *     the link kept. A link owned by anyone else, root included, is refused as above, so
 *     that a link planted in a shared folder cannot aim the save at another file. On Windows
 *     FILE is used as named.
 *   - The file is saved whole or not at all: written to a new file beside it
 *     (FILE.XXXXXXXX.new, made afresh, never one that is already there, and never through a
 *     link), flushed to the disk, and renamed over FILE. It is saved by the process that
 *     loaded it only: a forked child that exits does not save it. A save that fails writes
 *     one line on stderr that says why, and leaves the file as it was.
 *   - One process at a time: from load to the end the library holds a lock on FILE.lock
 *     beside it (flock; on Windows the file opened without sharing), and removes it at the
 *     end. A second process that loads the library with the same file waits for the first
 *     to end, then loads what the first saved, so that neither undoes the other's writes.
 *     After 30 s it gives up: the file is refused (one line on stderr) and it does not save.
 *     A process that waits says so on stderr once.
 *   - What a process that is killed leaves: the file as the last save left it. An
 *     application that can be ended by a signal calls QuorixSimSaveState from its handler;
 *     it saves the boards as the last request that changed them left them, and takes no lock.
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

/* The EEPROM and startup-command area every board starts with. */
#define QUORIX_SIM_EEPROM_SIZE 8192
#define QUORIX_SIM_EEPROM_PAGE 32
#define QUORIX_SIM_STARTUP_BASE 0x1FE8
#define QUORIX_SIM_STARTUP_COMMAND 0x1000

/* Sources of bulk IN, for QuorixSimSetSource. */
#define QUORIX_SIM_SOURCE_NONE 0
#define QUORIX_SIM_SOURCE_COUNTER 1
#define QUORIX_SIM_SOURCE_FIXED_RATE 2
/* Rates in bytes per second; 0 stops the source. */
#define QUORIX_SIM_RATE_DEFAULT 33554432u
#define QUORIX_SIM_RATE_UNLIMITED 0xFFFFFFFFu
/* The board FIFO every board starts with, in bytes. */
#define QUORIX_SIM_FIFO_DEFAULT 2048u

/* Queues count bytes on the board's bulk IN as 512-byte packets, the last one short; a count
 * of 0 queues one zero-length packet. They are sent before anything of the source.
 * Returns 0, or -1 for an unknown board or a NULL data with a non-zero count. */
QUORIX_API int QUORIX_CALL QuorixSimPushIn(int board, const void* data, uint32_t count);

/* Chooses what feeds bulk IN after the pushed data (a QUORIX_SIM_SOURCE_ value; see "Bulk
 * endpoints" above), and how fast (bytes per second; QUORIX_SIM_RATE_UNLIMITED never makes a
 * read wait; 0 stops). The counter pattern goes on from where it was, and what the FIFO holds
 * is sent first. Returns 0, or -1 for an unknown board or source, or the fixed-rate source
 * with QUORIX_SIM_RATE_UNLIMITED. */
QUORIX_API int QUORIX_CALL QuorixSimSetSource(int board, int source, uint32_t bytes_per_second);

/* Sets the size of the board FIFO, in bytes: a multiple of 512 (whole packets), 0 for none at
 * all, up to 4,294,966,784; QUORIX_SIM_FIFO_DEFAULT at first. What a smaller FIFO cannot hold
 * of what it held is dropped. Returns 0, or -1 for an unknown board or a size that is not a
 * multiple of 512. */
QUORIX_API int QUORIX_CALL QuorixSimSetBoardFifo(int board, uint32_t bytes);

/* Stores through bytes the number of bytes the board's fixed-rate source dropped since the
 * board was made (board 1 when the library was loaded, the others by QuorixSimAddBoard), up
 * to now. Returns 0, or -1 for an unknown board or a NULL bytes. */
QUORIX_API int QUORIX_CALL QuorixSimGetDroppedBytes(int board, uint64_t* bytes);

/* Loopback on (non-zero) sends what is written to bulk OUT back on bulk IN, as packets;
 * off (0, the start) keeps it for QuorixSimTakeOut. Returns 0, or -1 for an unknown board. */
QUORIX_API int QUORIX_CALL QuorixSimSetLoopback(int board, int on);

/* Takes up to capacity bytes of what was written to the board's bulk OUT, oldest first, and
 * stores their number through taken. With a NULL buffer nothing is taken and taken receives
 * the number of bytes kept. Returns 0, or -1 for an unknown board or a NULL taken. */
QUORIX_API int QUORIX_CALL QuorixSimTakeOut(int board, void* buffer, uint32_t capacity,
                                            uint32_t* taken);

/* Reads or writes count bytes of the board's EEPROM at select, from address on (wrapping at
 * its size, with no page limit), as a programmer reaches the part; no request is logged and
 * the address pointer of the 0xB0 request is not moved. Returns 0, or -1 for an unknown board or
 * select, or a NULL buffer with a non-zero count. */
QUORIX_API int QUORIX_CALL QuorixSimReadEeprom(int board, uint8_t select, uint16_t address,
                                               uint32_t count, void* buffer);
QUORIX_API int QUORIX_CALL QuorixSimWriteEeprom(int board, uint8_t select, uint16_t address,
                                                uint32_t count, const void* data);

/* Writes 0 at 0x1FFD of the EEPROM at select 1: the board then holds no startup-command area
 * and QuorixSetStartupCommand returns -8. Returns 0, or -1 for an unknown board. */
QUORIX_API int QUORIX_CALL QuorixSimClearStartupArea(int board);

/* Reads count bytes of the FX2's RAM from address on; they must lie wholly in 0x0000-0x3FFF
 * or in 0xE000-0xE1FF. Returns 0, or -1 for an unknown board, a range outside the RAM, or a
 * NULL buffer with a non-zero count. */
QUORIX_API int QUORIX_CALL QuorixSimReadMemory(int board, uint16_t address, uint32_t count,
                                               void* buffer);

/* 1 when the board's FX2 CPU runs, 0 while it is held in reset, -1 for an unknown board. */
QUORIX_API int QUORIX_CALL QuorixSimCpuRunning(int board);

/* Makes the board start its source at bytes_per_second once port D's output latch is written
 * with value (0xB2, wIndex 0), as a board whose FPGA streams when told to: lets a test release,
 * from another thread, a read that waits without limit. Returns 0, or -1 for an unknown board. */
QUORIX_API int QUORIX_CALL QuorixSimStartSourceOnPortD(int board, uint8_t value,
                                                       uint32_t bytes_per_second);

/* What became of QUORIX_SIM_STATE when the library was loaded. */
#define QUORIX_SIM_STATE_NONE 0       /* not set: nothing is loaded or saved */
#define QUORIX_SIM_STATE_LOADED 1     /* the file was read; it is saved at the end */
#define QUORIX_SIM_STATE_NEW 2        /* no such file yet; it is made at the end */
#define QUORIX_SIM_STATE_REFUSED (-1) /* refused (see above); it is not saved over */
QUORIX_API int QUORIX_CALL QuorixSimStateStatus(void);

/* Saves the boards' state to the QUORIX_SIM_STATE file now, as the last request or QuorixSim
 * call that changed a board left it, and keeps the file's lock: the save at the end writes it
 * again if it changes after this. Safe to call from a signal handler (it takes no lock and
 * allocates nothing), from several threads, and any number of times. Returns 0 when saved
 * or when there is nothing to save (no QUORIX_SIM_STATE, or a refused file), and -1 when
 * the save failed (one line on stderr says why) or in a forked child. */
QUORIX_API int QUORIX_CALL QuorixSimSaveState(void);

/* The port D output latch and output enables, and the FPGA mode, as the board holds them;
 * each pointer may be NULL. Returns 0, or -1 for an unknown board. */
QUORIX_API int QUORIX_CALL QuorixSimGetBoardState(int board, uint8_t* port_d,
                                                  uint8_t* port_d_enable, uint8_t* fpga_mode);

#ifdef __cplusplus
}
#endif
