/* The test board's private control channel, shared by the kernel-mode driver (C) and the
 * tests (C++).
 *
 * The driver emulates boards behind the CyUSB driver's four I/O control codes. Each device the
 * installer makes is a port: a root-enumerated device with an interface of the CyUSB class,
 * listed while a board is plugged into it. There are twice as many ports as boards, so that a
 * board that is unplugged and plugged in again goes into another port and is listed under a
 * new interface path, as a board moved to another USB port is.
 *
 * Besides the ports' interfaces the driver creates one control device, \\.\QuorixTestBoards,
 * which answers a single I/O control code: a QxbRequest in, and for each command the record or
 * bytes below out. Through it a test reads the board's side (what the board saw and holds) and
 * sets its behaviour, whether the board is plugged in or not. */
#ifndef QUORIX_TEST_BOARD_CONTROL_H
#define QUORIX_TEST_BOARD_CONTROL_H

#include <stdint.h>

#define QXB_CONTROL_PATH "\\\\.\\QuorixTestBoards"
#define QXB_CONTROL_DEVICE_NAME L"\\Device\\QuorixTestBoards"
#define QXB_CONTROL_LINK_NAME L"\\DosDevices\\QuorixTestBoards"

/* Device type 0x22, function 0x800 (outside the CyUSB driver's), buffered, any access. */
#define QXB_IOCTL_CONTROL 0x222000u

/* The service and device names the installer gives the boards. */
#define QXB_SERVICE_NAME "QuorixTestBoard"
#define QXB_DRIVER_FILE "quorix_test_board.sys"
#define QXB_DEVICE_NAME "QUORIXTESTBOARD"
#define QXB_HARDWARE_ID "Root\\QuorixTestBoard"

/* The number of boards, in the service's Parameters key; the installer makes twice as many
 * ports. */
#define QXB_BOARDS_VALUE L"Boards"
#define QXB_MAX_BOARDS 8u
#define QXB_MAX_PORTS (2 * QXB_MAX_BOARDS)

/* The FX2's memory that the 0xA0 request reaches, and the board's EEPROM at select 1 (a
 * 24C64-like part: 8 KiB, 32-byte write pages, the startup-command area laid out). */
#define QXB_PROGRAM_RAM_SIZE 0x4000u
#define QXB_SCRATCH_RAM_START 0xE000u
#define QXB_SCRATCH_RAM_SIZE 0x0200u
#define QXB_CPUCS 0xE600u
#define QXB_EEPROM_SIZE 8192u
#define QXB_EEPROM_PAGE 32u
#define QXB_EEPROM_SELECT 1u
#define QXB_STARTUP_BASE 0x1FE8u
#define QXB_STARTUP_COMMAND 0x1000u

/* What bulk OUT keeps of the bytes written: the first QXB_OUT_CAPTURE of them. */
#define QXB_OUT_CAPTURE 65536u

enum QxbCommand {
  QXB_BOARDS = 0,      /* out: QxbBoards */
  QXB_STATE = 1,       /* out: QxbState of board */
  QXB_SET_KNOBS = 2,   /* in: knobs; out: QxbState */
  QXB_RESET = 3,       /* the board as it comes up: memory, EEPROM, knobs and counters */
  QXB_UNPLUG = 4,      /* surprise removal: listed no more, pending ends, handles fail */
  QXB_PLUG = 5,        /* into port address, or with QXB_ANY into the free port left the
                          longest: a new interface path */
  QXB_READ = 6,        /* out: length bytes of region from address */
  QXB_END_PENDING = 7, /* ends the pending transfers on endpoint with status */
};

enum QxbRegion {
  QXB_REGION_RAM = 0,    /* FX2 memory as 0xA0 addresses it (program RAM, scratch RAM) */
  QXB_REGION_EEPROM = 1, /* the EEPROM at select 1 */
  QXB_REGION_OUT = 2,    /* the captured bulk-OUT bytes */
};

/* How a bulk-IN read ends. */
enum QxbInMode {
  /* The read pends; the board's worker completes it later. */
  QXB_IN_LATER = 0,
  /* The board has data at hand when a read arrives after one that pended: that read
   * completes inside the I/O control call, and the one after it pends again. */
  QXB_IN_AT_ONCE = 1,
};

/* How a bulk-OUT write ends. */
enum QxbOutMode {
  QXB_OUT_LATER = 0,   /* pends; the worker takes the bytes and completes it */
  QXB_OUT_AT_ONCE = 1, /* the bytes are taken inside the call */
  QXB_OUT_HOLD = 2,    /* pends until aborted, the handle closes or the board goes */
};

/* Where the bulk-IN data comes from. */
enum QxbSource {
  /* The counter pattern at the pace of the reads: the board waits while no read is pending,
   * so nothing is ever lost. */
  QXB_SOURCE_PACED = 0,
  /* The counter pattern at source_rate bytes a second whether or not a read is pending, into
   * a FIFO of fifo_bytes: what does not fit is dropped and counted, and the counter goes on
   * through it, so a gap in the data is exactly what was lost. A pending read takes what the
   * FIFO holds and then the bytes as they are made, and completes once it is full. Setting
   * the knobs or configuring the board starts the source afresh at 0. */
  QXB_SOURCE_FIXED_RATE = 2,
};
#define QXB_DEFAULT_FIFO 2048u

/* A completion size that fills the read whole. */
#define QXB_WHOLE 0xFFFFFFFFu
/* Matches any endpoint or request in QxbFault. */
#define QXB_ANY 0xFFFFFFFFu
#define QXB_MAX_SIZES 8u
#define QXB_SERIAL_LENGTH 32u

/* Fails requests: after skip matching requests, the next count of them end with status
 * (an NTSTATUS). A request matches when its I/O control code is code and its endpoint (the
 * header's for a direct transfer, the byte of an abort or reset) or, for a control transfer,
 * its bRequest is match. Refused requests fail inside the call; with at_completion set, a
 * direct transfer pends and its completion carries the failure. */
typedef struct QxbFault {
  uint32_t code;
  uint32_t match;
  uint32_t skip;
  uint32_t count;
  int32_t status;
  uint32_t at_completion;
} QxbFault;

typedef struct QxbKnobs {
  uint32_t in_mode;   /* QxbInMode */
  uint32_t in_paused; /* non-zero: bulk-IN reads wait, none completes */
  /* Each completed read delivers the next size of this cycle (at most what it asked): 0 is a
   * zero-length packet, other sizes below the read's length a short one, QXB_WHOLE the whole
   * read. An empty cycle fills every read whole. */
  uint32_t in_sizes[QXB_MAX_SIZES];
  uint32_t in_size_count;
  uint32_t out_mode; /* QxbOutMode */
  /* Non-zero: control transfers and the abort and reset of a pipe pend, and the worker carries
   * them out, as a real board's driver does; otherwise they complete inside the call. */
  uint32_t requests_later;
  QxbFault fault;
  /* The identity its descriptors give. */
  uint16_t vendor;
  uint16_t product;
  char serial[QXB_SERIAL_LENGTH]; /* NUL-terminated */
  uint32_t source;      /* QxbSource */
  uint32_t source_rate; /* QXB_SOURCE_FIXED_RATE: bytes a second, at least 1 */
  uint32_t fifo_bytes;  /* QXB_SOURCE_FIXED_RATE: the FIFO's size; 0 is QXB_DEFAULT_FIFO */
} QxbKnobs;

/* Indices of the per-endpoint counters. */
enum QxbEndpoint { QXB_IN = 0, QXB_OUT = 1 };

/* The last control requests the board saw. */
#define QXB_SETUP_LOG 32u
typedef struct QxbSetupEntry {
  uint8_t setup[8]; /* bmRequestType, bRequest, wValue, wIndex, wLength, little-endian */
  int32_t status;   /* the NTSTATUS it was completed with */
} QxbSetupEntry;

typedef struct QxbState {
  uint32_t number; /* 0 to the number of boards - 1 */
  uint32_t plugged;
  uint32_t port;    /* the port's number (its device's instance) while plugged in */
  uint32_t plugs;   /* times plugged in */
  uint32_t handles; /* driver handles open on the present connection */
  char path[160];   /* the port's interface symbolic link while plugged in */
  QxbKnobs knobs;

  uint8_t configuration;
  uint8_t port_d;
  uint8_t port_d_enable;
  uint8_t fpga_mode;
  uint8_t cpu_reset; /* non-zero while the FX2's CPU is held in reset */
  uint8_t padding[3];
  uint32_t cpu_changes;    /* changes of the reset bit; the first 16 in cpu_history */
  uint8_t cpu_history[16]; /* 1 held, 0 released */
  uint32_t port_d_writes;
  uint32_t set_configurations;

  uint32_t control_transfers;
  uint32_t setup_count; /* entries in setup_log, oldest first */
  QxbSetupEntry setup_log[QXB_SETUP_LOG];

  uint32_t transfers[2]; /* direct transfers received, per QxbEndpoint */
  uint32_t at_once[2];   /* of them completed inside the call */
  uint32_t pending[2];   /* pending now */
  uint32_t aborts[2];
  uint32_t resets[2];
  uint32_t failed;          /* requests failed by the fault knob */
  uint32_t pended_requests; /* control and pipe requests that pended (requests_later) */
  uint32_t last_in_length;  /* the length the last bulk-IN read asked for */
  uint64_t in_bytes;        /* counter-pattern bytes sent: the position of the next one */
  uint64_t out_bytes;       /* bytes taken by bulk OUT */
  /* QXB_SOURCE_FIXED_RATE, as of the worker's last look (about every millisecond): */
  uint64_t produced;      /* bytes the source has made: the position of the next one */
  uint64_t dropped_bytes; /* of them, dropped since the board was made */
  uint32_t fifo_fill;     /* held in the FIFO */
  uint32_t padding2;
} QxbState;

typedef struct QxbBoards {
  uint32_t count; /* boards, numbered 0 to count - 1 */
  uint32_t ports; /* ports started */
} QxbBoards;

typedef struct QxbRequest {
  uint32_t command; /* QxbCommand */
  uint32_t board;
  uint32_t region;  /* QXB_READ: QxbRegion; QXB_END_PENDING: QxbEndpoint */
  uint32_t address; /* QXB_READ; QXB_PLUG: the port */
  uint32_t length;
  int32_t status; /* QXB_END_PENDING */
  QxbKnobs knobs; /* QXB_SET_KNOBS */
} QxbRequest;

#endif
