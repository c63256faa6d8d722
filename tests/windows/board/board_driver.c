/* The test boards: a WDM driver of our own that stands where the CyUSB driver stands, with
 * boards behind it, so that KV420_FX2.dll's real Win32 path (SetupAPI listing, CreateFileA,
 * overlapped DeviceIoControl, events, abort, reset, surprise removal) runs end to end under
 * Wine.
 *
 * Each root-enumerated device the installer makes is a port: a function device object over the
 * PDO that Wine's PnP manager creates, with an interface of the CyUSB class that is enabled
 * while a board is plugged into the port. A board answers the four I/O control codes as the
 * DLL sends them and mirrors the simulated board of src/sim: its descriptors,
 * SET_CONFIGURATION, the FX2's 0xA0 load request with CPUCS, the firmware's 0xB0 EEPROM (with
 * the startup-command area), 0xB2 port D and 0xB3 FPGA mode, the counter pattern on bulk IN
 * 0x86 and a capture on bulk OUT 0x02.
 *
 * Bulk transfers pend and a system thread completes them, or they complete inside the call;
 * the control device \\.\QuorixTestBoards (board_control.h) lets a test read a board's side and
 * set its behaviour. Wine hands a METHOD_NEITHER request's buffers to the driver as copies in
 * its own process, which is why the worker may fill them from its thread; a driver for Windows
 * itself would lock the caller's pages first. */
#include <ntifs.h>

#include "board_control.h"

#define IOCTL_CONTROL_TRANSFER 0x220020u
#define IOCTL_DIRECT_TRANSFER 0x22004Bu
#define IOCTL_ABORT_PIPE 0x220044u
#define IOCTL_RESET_PIPE 0x22002Cu

#define HEADER_SIZE 38u
#define ENDPOINT_IN 0x86u
#define ENDPOINT_OUT 0x02u

/* The board stalls a request it does not answer; the DLL then sees ERROR_GEN_FAILURE (31). */
#define STATUS_STALL STATUS_UNSUCCESSFUL

/* The driver's request header, as the DLL lays it out. */
#pragma pack(push, 1)
typedef struct SingleTransfer {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
  uint32_t timeout;
  uint8_t reserved;
  uint8_t endpoint;
  uint32_t nt_status;
  uint32_t usbd_status;
  uint32_t iso_packet_offset;
  uint32_t iso_packet_length;
  uint32_t buffer_offset;
  uint32_t buffer_length;
} SingleTransfer;
#pragma pack(pop)

typedef char HeaderIs38Bytes[sizeof(SingleTransfer) == HEADER_SIZE ? 1 : -1];

static const GUID kInterfaceClass = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

typedef struct Port Port;

/* A run of counter-pattern bytes the fixed-rate source put into the FIFO; a drop between two
 * runs starts a new one. */
typedef struct Segment {
  uint64_t start; /* the counter position of its first byte */
  uint32_t length;
} Segment;
/* Runs the FIFO can tell apart; bytes that would need another are dropped. */
#define SEGMENTS 64u

/* The pending transfers of each bulk endpoint (QxbEndpoint), and the control and pipe
 * requests that pend (requests_later). */
enum Queue { QUEUE_IN = QXB_IN, QUEUE_OUT = QXB_OUT, QUEUE_REQUESTS, QUEUES };

typedef struct Board {
  KSPIN_LOCK lock; /* guards everything below */
  BOOLEAN plugged;
  ULONG_PTR connection;       /* new at every plug; a handle remembers the one it was opened on */
  LIST_ENTRY queue[QUEUES];   /* pending requests, per Queue */
  uint32_t in_flight[QUEUES]; /* taken off a queue by the worker and not yet completed */
  BOOLEAN data_at_hand;       /* QXB_IN_AT_ONCE: the next read completes inside the call */
  uint32_t size_cursor;       /* the next entry of the completion-size cycle */
  QxbState state;             /* knobs and counters; the queues' lengths are counted when asked */

  /* QXB_SOURCE_FIXED_RATE. The source made source_base bytes by source_origin (performance
   * counter ticks) and source_rate a second since; state.produced of them have been put
   * somewhere (a read, the FIFO, or dropped), up to the time source_clock. */
  LONGLONG source_origin;
  uint64_t source_base;
  LONGLONG source_clock;
  Segment fifo[SEGMENTS];
  uint32_t fifo_first, fifo_runs;
  IRP* head;            /* the pending read being filled, and how much of it is */
  uint32_t head_filled;

  uint8_t program_ram[QXB_PROGRAM_RAM_SIZE];
  uint8_t scratch_ram[QXB_SCRATCH_RAM_SIZE];
  uint8_t eeprom[QXB_EEPROM_SIZE];
  uint16_t eeprom_pointer;
  uint8_t out[QXB_OUT_CAPTURE];

  Port* port; /* while plugged in; guarded by gLock */
} Board;

/* A port's function device object extension. */
struct Port {
  DEVICE_OBJECT* self;
  DEVICE_OBJECT* lower;
  UNICODE_STRING link; /* its interface's symbolic link */
  uint32_t number;
  BOOLEAN started;
  /* Guarded by gLock. */
  Board* board;
  uint32_t freed; /* when it last became free: boards go into the port free the longest */
};

/* What a pending request carries in its DriverContext. */
enum { CONTEXT_BOARD = 0, CONTEXT_FAILURE = 1, CONTEXT_HELD = 2, CONTEXT_ARRIVAL = 3 };

/* The pool tag of the boards' memory: "Qxb " as a debugger shows it. */
#define kPoolTag 0x20627851u

static DEVICE_OBJECT* gControl;
static KSPIN_LOCK gLock; /* guards the ports and which board is in which */
static Board* gBoards[QXB_MAX_BOARDS];
static uint32_t gBoardCount;
static Port* gPorts[QXB_MAX_PORTS];
static ULONG_PTR gConnections;
static uint32_t gFrees;
static KEVENT gWork; /* wakes the worker */
static LONGLONG gFrequency; /* performance counter ticks a second */
static HANDLE gWorker;
static volatile LONG gStopping;

/* ---- small helpers ---- */

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void Wake(void) { KeSetEvent(&gWork, IO_NO_INCREMENT, FALSE); }

static void Pause(LONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * milliseconds;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

static uint8_t CounterByte(uint64_t position) {
  return (uint8_t)((position / 4) >> (8 * (position % 4)));
}

/* The counter pattern, 32-bit little-endian words 0, 1, 2, ..., from position on. */
static void FillCounter(uint8_t* target, uint64_t position, uint32_t size) {
  while (size != 0 && position % 4 != 0) {
    *target++ = CounterByte(position++);
    --size;
  }
  uint32_t word = (uint32_t)(position / 4);
  for (; size >= 4; size -= 4, target += 4, ++word) {
    target[0] = (uint8_t)word;
    target[1] = (uint8_t)(word >> 8);
    target[2] = (uint8_t)(word >> 16);
    target[3] = (uint8_t)(word >> 24);
    position += 4;
  }
  while (size-- != 0) *target++ = CounterByte(position++);
}

static LONGLONG Now(void) { return KeQueryPerformanceCounter(NULL).QuadPart; }

static void LinkText(const UNICODE_STRING* link, char* text, size_t size) {
  size_t i = 0;
  const size_t length = link->Length / sizeof(WCHAR);
  for (; i < length && i + 1 < size; ++i) text[i] = (char)link->Buffer[i];
  text[i] = '\0';
}

/* ---- the board model ---- */

static void RestartSource(Board* board);

static void EepromWrite16(Board* board, uint32_t address, uint16_t value) {
  board->eeprom[address % QXB_EEPROM_SIZE] = (uint8_t)value;
  board->eeprom[(address + 1) % QXB_EEPROM_SIZE] = (uint8_t)(value >> 8);
}

/* The board as it comes up: RAM cleared, the CPU running, an erased EEPROM with the
 * startup-command area laid out and no command stored, default knobs, no counts. Plug state,
 * interface, handles and pending transfers are left as they are. */
static void PowerUp(Board* board) {
  const QxbState kept = board->state;
  RtlZeroMemory(&board->state, sizeof board->state);
  board->state.number = kept.number;
  board->state.plugged = kept.plugged;
  board->state.port = kept.port;
  board->state.plugs = kept.plugs;
  board->state.handles = kept.handles;
  RtlCopyMemory(board->state.path, kept.path, sizeof kept.path);
  QxbKnobs* knobs = &board->state.knobs;
  knobs->vendor = 0xDEAD;
  knobs->product = 0xBEEF;
  const char prefix[] = "QX-WINE-000";
  RtlCopyMemory(knobs->serial, prefix, sizeof prefix - 1);
  knobs->serial[sizeof prefix - 1] = (char)('1' + kept.number);
  knobs->fault.match = QXB_ANY;
  RtlZeroMemory(board->program_ram, sizeof board->program_ram);
  RtlZeroMemory(board->scratch_ram, sizeof board->scratch_ram);
  RtlFillMemory(board->eeprom, sizeof board->eeprom, 0xFF);
  EepromWrite16(board, 0x1FF8, QXB_STARTUP_BASE);
  EepromWrite16(board, QXB_STARTUP_BASE + 7, QXB_STARTUP_COMMAND);
  board->eeprom[0x1FFC] = 0x01;
  board->eeprom[0x1FFD] = 0x01; /* non-zero: the area is there */
  EepromWrite16(board, QXB_STARTUP_COMMAND, 0);
  board->eeprom_pointer = 0;
  board->data_at_hand = FALSE;
  board->size_cursor = 0;
  RestartSource(board);
}

/* A write as the EEPROM takes it over its bus: within the page of address, wrapping at the
 * page's end, the pointer left behind the last byte. */
static void EepromProgram(Board* board, uint32_t address, const uint8_t* data, uint32_t count) {
  const uint32_t start = address % QXB_EEPROM_SIZE / QXB_EEPROM_PAGE * QXB_EEPROM_PAGE;
  uint32_t offset = address % QXB_EEPROM_SIZE - start;
  for (uint32_t i = 0; i < count; ++i) {
    board->eeprom[start + offset] = data[i];
    offset = (offset + 1) % QXB_EEPROM_PAGE;
  }
  board->eeprom_pointer = (uint16_t)(start + offset);
}

/* The FX2 memory from address on, or null when the bytes do not lie in one RAM region. */
static uint8_t* Memory(Board* board, uint32_t address, uint32_t count) {
  const uint32_t end = address + count;
  if (end <= QXB_PROGRAM_RAM_SIZE) return board->program_ram + address;
  if (address >= QXB_SCRATCH_RAM_START && end <= QXB_SCRATCH_RAM_START + QXB_SCRATCH_RAM_SIZE)
    return board->scratch_ram + (address - QXB_SCRATCH_RAM_START);
  return NULL;
}

static uint32_t StringDescriptor(const char* text, uint8_t* out) {
  uint32_t length = 2;
  for (; *text != '\0' && length + 2 <= 255; ++text) {
    out[length++] = (uint8_t)*text;
    out[length++] = 0;
  }
  out[0] = (uint8_t)length;
  out[1] = 3;
  return length;
}

/* GET_DESCRIPTOR: the bytes of the descriptor, or 0 for one the board does not have. */
static uint32_t Descriptor(const Board* board, uint16_t value, uint8_t* out) {
  const uint8_t kind = (uint8_t)(value >> 8), index = (uint8_t)value;
  const QxbKnobs* knobs = &board->state.knobs;
  if (kind == 1) {
    const uint8_t device[18] = {18,
                                1,
                                0x00,
                                0x02,
                                0xFF,
                                0x00,
                                0x00,
                                64,
                                (uint8_t)knobs->vendor,
                                (uint8_t)(knobs->vendor >> 8),
                                (uint8_t)knobs->product,
                                (uint8_t)(knobs->product >> 8),
                                0x00,
                                0x01,
                                1,
                                2,
                                3,
                                1};
    RtlCopyMemory(out, device, sizeof device);
    return sizeof device;
  }
  if (kind == 2 && index == 0) {
    /* One vendor interface with bulk IN 0x86 and bulk OUT 0x02 of 512 bytes. */
    const uint8_t configuration[32] = {9,    2,    32, 0,    1, 1,    0, 0x80, 50,   9,    4,
                                       0,    0,    2,  0xFF, 0, 0,    0, 7,    5,    0x86, 2,
                                       0x00, 0x02, 0,  7,    5, 0x02, 2, 0x00, 0x02, 0};
    RtlCopyMemory(out, configuration, sizeof configuration);
    return sizeof configuration;
  }
  if (kind == 3) {
    char serial[QXB_SERIAL_LENGTH];
    switch (index) {
      case 0:
        out[0] = 4;
        out[1] = 3;
        out[2] = 0x09; /* US English */
        out[3] = 0x04;
        return 4;
      case 1:
        return StringDescriptor("Quorix", out);
      case 2:
        return StringDescriptor("Quorix FX2 board", out);
      case 3:
        RtlCopyMemory(serial, knobs->serial, sizeof serial);
        serial[sizeof serial - 1] = '\0';
        return StringDescriptor(serial, out);
      default:
        break;
    }
  }
  return 0;
}

/* One control request: data holds wLength bytes, the data stage (OUT) or room for it (IN).
 * Called with the board's lock held. */
static NTSTATUS BoardControl(Board* board, const SingleTransfer* setup, uint8_t* data,
                             uint32_t* delivered) {
  const uint8_t type = setup->bmRequestType;
  const uint16_t length = setup->wLength;
  QxbState* state = &board->state;
  *delivered = (type & 0x80) != 0 ? 0 : length;

  if (type == 0x80 && setup->bRequest == 6) {
    uint8_t descriptor[256];
    const uint32_t size = Descriptor(board, setup->wValue, descriptor);
    if (size == 0) return STATUS_STALL;
    *delivered = size < length ? size : length;
    RtlCopyMemory(data, descriptor, *delivered);
    return STATUS_SUCCESS;
  }
  if (type == 0x00 && setup->bRequest == 9) {
    if (setup->wValue > 1) return STATUS_STALL;
    state->configuration = (uint8_t)setup->wValue;
    state->set_configurations++;
    /* Configuring the board restarts its stream. */
    state->in_bytes = 0;
    board->data_at_hand = FALSE;
    RestartSource(board);
    return STATUS_SUCCESS;
  }

  /* 0xA0, answered by the FX2's USB core itself, whether its CPU runs or not. */
  if (setup->bRequest == 0xA0 && setup->wIndex == 0) {
    if (setup->wValue == QXB_CPUCS && length == 1) {
      if (type == 0x40) {
        const uint8_t reset = (data[0] & 0x01) != 0;
        if (reset != state->cpu_reset) {
          if (state->cpu_changes < sizeof state->cpu_history)
            state->cpu_history[state->cpu_changes] = reset;
          state->cpu_changes++;
        }
        state->cpu_reset = reset;
        return STATUS_SUCCESS;
      }
      if (type == 0xC0) {
        data[0] = state->cpu_reset;
        *delivered = 1;
        return STATUS_SUCCESS;
      }
    }
    uint8_t* memory = Memory(board, setup->wValue, length);
    if (memory == NULL) return STATUS_STALL;
    if (type == 0x40) {
      RtlCopyMemory(memory, data, length);
      return STATUS_SUCCESS;
    }
    if (type == 0xC0) {
      RtlCopyMemory(data, memory, length);
      *delivered = length;
      return STATUS_SUCCESS;
    }
    return STATUS_STALL;
  }

  /* The board's firmware answers the rest, and only while the CPU runs it. */
  if (state->cpu_reset || setup->wValue != 0) return STATUS_STALL;
  if (setup->bRequest == 0xB2) {
    if (type == 0x40 && setup->wIndex == 0) {
      state->port_d_writes++;
      if (length != 0) state->port_d = data[length - 1];
      return STATUS_SUCCESS;
    }
    if (type == 0x40 && setup->wIndex == 1 && length == 1) {
      state->port_d_enable = data[0];
      return STATUS_SUCCESS;
    }
    if (type == 0xC0 && setup->wIndex == 0 && length >= 1) {
      data[0] = state->port_d;
      *delivered = 1;
      return STATUS_SUCCESS;
    }
    return STATUS_STALL;
  }
  if (setup->bRequest == 0xB3) {
    if (type == 0x40 && setup->wIndex == 0 && length == 1) {
      state->fpga_mode = data[0];
      return STATUS_SUCCESS;
    }
    return STATUS_STALL;
  }
  /* 0xB0: the EEPROM at select wIndex. A write carries the address, high byte first, then
   * the data; a read goes on from where the last write or read left the pointer. */
  if (setup->bRequest == 0xB0) {
    if (setup->wIndex != QXB_EEPROM_SELECT) return STATUS_STALL;
    if (type == 0x40 && length >= 2) {
      EepromProgram(board, (uint32_t)(data[0] << 8 | data[1]), data + 2, length - 2u);
      return STATUS_SUCCESS;
    }
    if (type == 0xC0) {
      for (uint32_t i = 0; i < length; ++i)
        data[i] = board->eeprom[(board->eeprom_pointer + i) % QXB_EEPROM_SIZE];
      board->eeprom_pointer = (uint16_t)((board->eeprom_pointer + length) % QXB_EEPROM_SIZE);
      *delivered = length;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_STALL;
}

/* Whether the fault knob fails this request; counts it. Called with the lock held. */
static BOOLEAN Faulted(Board* board, uint32_t code, uint32_t match, BOOLEAN* at_completion) {
  QxbFault* fault = &board->state.knobs.fault;
  if (fault->count == 0 || fault->code != code) return FALSE;
  if (fault->match != QXB_ANY && fault->match != match) return FALSE;
  if (fault->skip != 0) {
    fault->skip--;
    return FALSE;
  }
  fault->count--;
  board->state.failed++;
  if (at_completion != NULL) *at_completion = fault->at_completion != 0;
  return TRUE;
}

/* The size the next completed read delivers, at most its length. Lock held. */
static uint32_t NextSize(Board* board, uint32_t length) {
  const QxbKnobs* knobs = &board->state.knobs;
  if (knobs->in_size_count == 0) return length;
  const uint32_t size = knobs->in_sizes[board->size_cursor % knobs->in_size_count];
  board->size_cursor++;
  return size < length ? size : length;
}

/* Keeps the first QXB_OUT_CAPTURE bytes written. Lock held. */
static void TakeOut(Board* board, const uint8_t* data, uint32_t length) {
  QxbState* state = &board->state;
  if (state->out_bytes < QXB_OUT_CAPTURE && data != NULL) {
    const uint32_t at = (uint32_t)state->out_bytes;
    const uint32_t room = QXB_OUT_CAPTURE - at;
    RtlCopyMemory(board->out + at, data, length < room ? length : room);
  }
  state->out_bytes += length;
}

/* ---- pending transfers ---- */

static VOID CancelQueued(DEVICE_OBJECT* device, IRP* irp) {
  UNREFERENCED_PARAMETER(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Board* board = irp->Tail.Overlay.DriverContext[CONTEXT_BOARD];
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  if (board->head == irp) board->head = NULL;
  KeReleaseSpinLock(&board->lock, irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* Queues a request; STATUS_PENDING, or STATUS_CANCELLED when the caller has cancelled it
 * already (the caller then completes it). Lock held. */
static NTSTATUS Pend(Board* board, uint32_t queue, IRP* irp) {
  irp->Tail.Overlay.DriverContext[CONTEXT_BOARD] = board;
  IoSetCancelRoutine(irp, CancelQueued);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) return STATUS_CANCELLED;
  IoMarkIrpPending(irp);
  InsertTailList(&board->queue[queue], &irp->Tail.Overlay.ListEntry);
  return STATUS_PENDING;
}

/* Takes the first queued request the worker may complete, or null. A request whose cancel
 * routine is running is left to it. Lock held. */
static IRP* TakeNext(Board* board, uint32_t queue) {
  LIST_ENTRY* head = &board->queue[queue];
  for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
    IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (irp->Tail.Overlay.DriverContext[CONTEXT_HELD] != NULL) continue;
    if (IoSetCancelRoutine(irp, NULL) == NULL) continue;
    RemoveEntryList(entry);
    return irp;
  }
  return NULL;
}

/* Moves the queued requests that match onto ended. Lock held. */
static void TakeMatching(Board* board, uint32_t queue, FILE_OBJECT* file, LIST_ENTRY* ended) {
  LIST_ENTRY* head = &board->queue[queue];
  LIST_ENTRY* entry = head->Flink;
  while (entry != head) {
    LIST_ENTRY* next = entry->Flink;
    IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    const BOOLEAN mine = file == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == file;
    if (mine && IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(entry);
      InsertTailList(ended, entry);
      if (board->head == irp) board->head = NULL;
    }
    entry = next;
  }
}

static void CompleteAll(LIST_ENTRY* ended, NTSTATUS status) {
  while (!IsListEmpty(ended)) {
    LIST_ENTRY* entry = RemoveHeadList(ended);
    Complete(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), status, 0);
  }
}

/* Waits until the worker has completed what it took off the queue. */
static void WaitInFlight(Board* board, uint32_t queue) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    const uint32_t busy = board->in_flight[queue];
    KeReleaseSpinLock(&board->lock, irql);
    if (busy == 0) return;
    Pause(1);
  }
}

/* Ends a queue's pending requests (of one file object, or all) with status, and returns once
 * none is left in progress: the caller's buffers are free again. */
static void EndPending(Board* board, uint32_t queue, FILE_OBJECT* file, NTSTATUS status) {
  LIST_ENTRY ended;
  InitializeListHead(&ended);
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  TakeMatching(board, queue, file, &ended);
  KeReleaseSpinLock(&board->lock, irql);
  CompleteAll(&ended, status);
  WaitInFlight(board, queue);
}

/* Ends everything a handle (or with file null, anyone) has pending on the board. */
static void EndAll(Board* board, FILE_OBJECT* file, NTSTATUS status) {
  for (uint32_t queue = 0; queue < QUEUES; ++queue) EndPending(board, queue, file, status);
}


/* ---- the fixed-rate source ---- */

static BOOLEAN FixedRate(const Board* board) {
  return board->state.knobs.source == QXB_SOURCE_FIXED_RATE;
}

static uint32_t FifoSize(const Board* board) {
  const uint32_t size = board->state.knobs.fifo_bytes;
  return size != 0 ? size : QXB_DEFAULT_FIFO;
}

/* The source starts again at 0 with an empty FIFO, now; what it dropped stays counted. */
static void RestartSource(Board* board) {
  board->source_origin = Now();
  board->source_base = 0;
  board->source_clock = board->source_origin;
  board->state.produced = 0;
  board->fifo_first = 0;
  board->fifo_runs = 0;
  board->state.fifo_fill = 0;
  board->head = NULL;
  board->head_filled = 0;
}

/* The bytes the source has made by time t. */
static uint64_t MadeBy(const Board* board, LONGLONG t) {
  const uint64_t ticks = t > board->source_origin ? (uint64_t)(t - board->source_origin) : 0;
  const uint64_t rate = board->state.knobs.source_rate, f = (uint64_t)gFrequency;
  return board->source_base + ticks / f * rate + ticks % f * rate / f;
}

/* The first time by which the source has made bytes in all. */
static LONGLONG TimeMade(const Board* board, uint64_t bytes) {
  if (bytes <= board->source_base) return board->source_origin;
  const uint64_t since = bytes - board->source_base;
  const uint64_t rate = board->state.knobs.source_rate, f = (uint64_t)gFrequency;
  return board->source_origin + (LONGLONG)(since / rate * f + (since % rate * f + rate - 1) / rate);
}

/* Bytes made at position go into the FIFO, as many as fit; the rest are dropped. */
static void FifoPut(Board* board, uint64_t position, uint64_t count) {
  const uint64_t room = FifoSize(board) - board->state.fifo_fill;
  uint64_t kept = count < room ? count : room;
  if (kept != 0) {
    Segment* last = board->fifo_runs != 0
                        ? &board->fifo[(board->fifo_first + board->fifo_runs - 1) % SEGMENTS]
                        : NULL;
    if (last != NULL && last->start + last->length == position) {
      last->length += (uint32_t)kept;
    } else if (board->fifo_runs < SEGMENTS) {
      Segment* run = &board->fifo[(board->fifo_first + board->fifo_runs) % SEGMENTS];
      run->start = position;
      run->length = (uint32_t)kept;
      board->fifo_runs++;
    } else {
      kept = 0;
    }
  }
  board->state.fifo_fill += (uint32_t)kept;
  board->state.dropped_bytes += count - kept;
}

/* Moves up to count bytes from the FIFO to data; how many it moved. */
static uint32_t FifoTake(Board* board, uint8_t* data, uint32_t count) {
  uint32_t taken = 0;
  while (taken < count && board->fifo_runs != 0) {
    Segment* run = &board->fifo[board->fifo_first];
    const uint32_t n = run->length < count - taken ? run->length : count - taken;
    FillCounter(data + taken, run->start, n);
    run->start += n;
    run->length -= n;
    taken += n;
    board->state.in_bytes = run->start;
    if (run->length == 0) {
      board->fifo_first = (board->fifo_first + 1) % SEGMENTS;
      board->fifo_runs--;
    }
  }
  board->state.fifo_fill -= taken;
  return taken;
}

/* The oldest read still pending that the source may fill, or null. */
static IRP* HeadIn(Board* board) {
  LIST_ENTRY* head = &board->queue[QXB_IN];
  for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
    IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (!irp->Cancel) return irp;
  }
  return NULL;
}

/* The read being filled is done: off the queue and onto done, to be completed with status and
 * its count once the lock is released. */
static void FinishHead(Board* board, IRP* irp, NTSTATUS status, uint32_t count, LIST_ENTRY* done) {
  board->head = NULL;
  board->head_filled = 0;
  /* A read whose cancel routine runs already is left to it. */
  if (IoSetCancelRoutine(irp, NULL) == NULL) return;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = count;
  InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

/* Runs the fixed-rate source up to now: while a read is pending, the FIFO and then the bytes
 * as they are made go into it, in the order of the reads; while none is, they go into the
 * FIFO. Reads that are full move to done. Lock held. */
static void RunSource(Board* board, LONGLONG now, LIST_ENTRY* done) {
  LONGLONG t = board->source_clock;
  while (t < now) {
    IRP* head = board->plugged && !board->state.knobs.in_paused ? HeadIn(board) : NULL;
    const LONGLONG arrival =
        head != NULL ? (LONGLONG)(ULONG_PTR)head->Tail.Overlay.DriverContext[CONTEXT_ARRIVAL] : now;
    if (arrival > t) {
      /* No read is waiting until then. */
      const LONGLONG until = arrival < now ? arrival : now;
      const uint64_t made = MadeBy(board, until) - board->state.produced;
      FifoPut(board, board->state.produced, made);
      board->state.produced += made;
      t = until;
      continue;
    }
    if (board->head != head) {
      board->head = head;
      board->head_filled = 0;
    }
    const NTSTATUS failure = (NTSTATUS)(ULONG_PTR)head->Tail.Overlay.DriverContext[CONTEXT_FAILURE];
    if (failure != STATUS_SUCCESS) {
      FinishHead(board, head, failure, 0, done);
      continue;
    }
    const uint32_t length = IoGetCurrentIrpStackLocation(head)->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* data = head->UserBuffer;
    board->head_filled += FifoTake(board, data + board->head_filled, length - board->head_filled);
    if (board->head_filled < length) {
      const uint32_t need = length - board->head_filled;
      const LONGLONG full = TimeMade(board, board->state.produced + need);
      LONGLONG until = full < now ? full : now;
      if (until < t) until = t;
      uint64_t made = MadeBy(board, until) - board->state.produced;
      if (made > need) made = need;
      FillCounter(data + board->head_filled, board->state.produced, (uint32_t)made);
      board->state.produced += made;
      board->state.in_bytes = board->state.produced;
      board->head_filled += (uint32_t)made;
      t = until;
    }
    if (board->head_filled == length) FinishHead(board, head, STATUS_SUCCESS, length, done);
  }
  board->source_clock = t > board->source_clock ? t : board->source_clock;
}

/* Runs a fixed-rate source up to now and completes the reads it filled; TRUE when it did. */
static BOOLEAN ServeSource(Board* board) {
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  if (FixedRate(board)) RunSource(board, Now(), &done);
  KeReleaseSpinLock(&board->lock, irql);
  const BOOLEAN any = !IsListEmpty(&done);
  while (!IsListEmpty(&done)) {
    IRP* irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return any;
}

static BOOLEAN AnyFixedRate(void) {
  BOOLEAN any = FALSE;
  for (uint32_t i = 0; i < gBoardCount; ++i) {
    KIRQL irql;
    KeAcquireSpinLock(&gBoards[i]->lock, &irql);
    any = any || FixedRate(gBoards[i]);
    KeReleaseSpinLock(&gBoards[i]->lock, irql);
  }
  return any;
}

static NTSTATUS RunControlTransfer(Board* board, IRP* irp);
static NTSTATUS RunPipeRequest(Board* board, IRP* irp);

/* Carries out a control or pipe request that pended. */
static BOOLEAN ServeRequest(Board* board, KIRQL irql) {
  IRP* irp = TakeNext(board, QUEUE_REQUESTS);
  if (irp == NULL) return FALSE;
  board->in_flight[QUEUE_REQUESTS]++;
  KeReleaseSpinLock(&board->lock, irql);
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode ==
      IOCTL_CONTROL_TRANSFER)
    RunControlTransfer(board, irp);
  else
    RunPipeRequest(board, irp);
  KeAcquireSpinLock(&board->lock, &irql);
  board->in_flight[QUEUE_REQUESTS]--;
  KeReleaseSpinLock(&board->lock, irql);
  return TRUE;
}

/* Completes what the board can complete now; TRUE when it did something. */
static BOOLEAN Serve(Board* board) {
  if (ServeSource(board)) return TRUE;
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  if (board->plugged && ServeRequest(board, irql)) return TRUE;
  uint32_t endpoint = QXB_OUT;
  IRP* irp = board->plugged ? TakeNext(board, QXB_OUT) : NULL;
  if (irp == NULL && board->plugged && !board->state.knobs.in_paused && !FixedRate(board)) {
    endpoint = QXB_IN;
    irp = TakeNext(board, QXB_IN);
  }
  if (irp == NULL) {
    KeReleaseSpinLock(&board->lock, irql);
    return FALSE;
  }
  const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const uint32_t length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* data = irp->UserBuffer;
  const NTSTATUS failure = (NTSTATUS)(ULONG_PTR)irp->Tail.Overlay.DriverContext[CONTEXT_FAILURE];
  uint32_t size = 0;
  uint64_t position = 0;
  if (failure == STATUS_SUCCESS) {
    if (endpoint == QXB_OUT) {
      TakeOut(board, data, length);
      size = length;
    } else {
      size = NextSize(board, length);
      position = board->state.in_bytes;
      board->state.in_bytes += size;
      /* The FIFO fills while the host is away: the next read finds data at hand. */
      board->data_at_hand = TRUE;
    }
  }
  board->in_flight[endpoint]++;
  KeReleaseSpinLock(&board->lock, irql);

  if (endpoint == QXB_IN && size != 0) FillCounter(data, position, size);
  Complete(irp, failure != STATUS_SUCCESS ? failure : STATUS_SUCCESS, size);

  KeAcquireSpinLock(&board->lock, &irql);
  board->in_flight[endpoint]--;
  KeReleaseSpinLock(&board->lock, irql);
  return TRUE;
}

static VOID Worker(PVOID context) {
  UNREFERENCED_PARAMETER(context);
  while (!gStopping) {
    /* A fixed-rate source runs whether or not anything wakes the worker. */
    LARGE_INTEGER tick;
    tick.QuadPart = -10000; /* 1 ms */
    KeWaitForSingleObject(&gWork, Executive, KernelMode, FALSE, AnyFixedRate() ? &tick : NULL);
    BOOLEAN busy = TRUE;
    while (busy && !gStopping) {
      busy = FALSE;
      for (uint32_t i = 0; i < gBoardCount; ++i)
        if (Serve(gBoards[i])) busy = TRUE;
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- the four requests of the CyUSB driver ---- */

static uint32_t EndpointIndex(uint8_t address) { return address == ENDPOINT_IN ? QXB_IN : QXB_OUT; }

static void LogSetup(Board* board, const SingleTransfer* header, NTSTATUS status) {
  QxbState* state = &board->state;
  if (state->setup_count == QXB_SETUP_LOG) {
    RtlMoveMemory(state->setup_log, state->setup_log + 1,
                  (QXB_SETUP_LOG - 1) * sizeof state->setup_log[0]);
    state->setup_count--;
  }
  RtlCopyMemory(state->setup_log[state->setup_count].setup, header, 8);
  state->setup_log[state->setup_count].status = status;
  state->setup_count++;
}

/* Queues a request for the worker and releases the board's lock, taken at irql: what the
 * dispatch routine returns. */
static NTSTATUS QueueForWorker(Board* board, uint32_t queue, IRP* irp, KIRQL irql) {
  const NTSTATUS status = Pend(board, queue, irp);
  KeReleaseSpinLock(&board->lock, irql);
  if (status != STATUS_PENDING) return Complete(irp, status, 0);
  Wake();
  return STATUS_PENDING;
}

/* Carries out a control or pipe request at once, or with requests_later pends it for the
 * worker. */
static NTSTATUS PendOrRun(Board* board, IRP* irp, NTSTATUS (*run)(Board*, IRP*)) {
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  if (!board->state.knobs.requests_later) {
    KeReleaseSpinLock(&board->lock, irql);
    return run(board, irp);
  }
  board->state.pended_requests++;
  irp->Tail.Overlay.DriverContext[CONTEXT_FAILURE] = NULL;
  irp->Tail.Overlay.DriverContext[CONTEXT_HELD] = NULL;
  return QueueForWorker(board, QUEUE_REQUESTS, irp, irql);
}

static NTSTATUS ControlTransfer(Board* board, IRP* irp, const IO_STACK_LOCATION* stack) {
  const ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
  uint8_t* buffer = irp->AssociatedIrp.SystemBuffer;
  if (buffer == NULL || size < HEADER_SIZE ||
      stack->Parameters.DeviceIoControl.OutputBufferLength != size)
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  SingleTransfer header;
  RtlCopyMemory(&header, buffer, HEADER_SIZE);
  /* The data stage must lie where the header says, and nowhere else. */
  if (header.buffer_offset != HEADER_SIZE || header.buffer_length != header.wLength ||
      size != HEADER_SIZE + header.wLength)
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);

  return PendOrRun(board, irp, RunControlTransfer);
}

static NTSTATUS RunControlTransfer(Board* board, IRP* irp) {
  uint8_t* buffer = irp->AssociatedIrp.SystemBuffer;
  SingleTransfer header;
  RtlCopyMemory(&header, buffer, HEADER_SIZE);
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  board->state.control_transfers++;
  uint32_t delivered = 0;
  NTSTATUS status;
  if (Faulted(board, IOCTL_CONTROL_TRANSFER, header.bRequest, NULL))
    status = board->state.knobs.fault.status;
  else
    status = BoardControl(board, &header, buffer + HEADER_SIZE, &delivered);
  LogSetup(board, &header, status);
  KeReleaseSpinLock(&board->lock, irql);
  /* Buffered: the header and what was delivered go back to the caller. */
  return Complete(irp, status, NT_SUCCESS(status) ? HEADER_SIZE + delivered : 0);
}

static NTSTATUS DirectTransfer(Board* board, IRP* irp, const IO_STACK_LOCATION* stack) {
  const uint8_t* in = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  const uint32_t length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* data = irp->UserBuffer;
  if (in == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < HEADER_SIZE ||
      (data == NULL && length != 0))
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  const uint8_t address = ((const SingleTransfer*)in)->endpoint;
  if (address != ENDPOINT_IN && address != ENDPOINT_OUT)
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  const uint32_t endpoint = EndpointIndex(address);

  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  QxbState* state = &board->state;
  state->transfers[endpoint]++;
  if (endpoint == QXB_IN) state->last_in_length = length;
  BOOLEAN at_completion = FALSE;
  NTSTATUS failure = STATUS_SUCCESS;
  if (Faulted(board, IOCTL_DIRECT_TRANSFER, address, &at_completion)) {
    failure = state->knobs.fault.status;
    if (!at_completion) {
      KeReleaseSpinLock(&board->lock, irql);
      return Complete(irp, failure, 0);
    }
  }
  irp->Tail.Overlay.DriverContext[CONTEXT_FAILURE] = (PVOID)(ULONG_PTR)failure;
  irp->Tail.Overlay.DriverContext[CONTEXT_HELD] = NULL;

  if (failure == STATUS_SUCCESS && endpoint == QXB_OUT &&
      state->knobs.out_mode == QXB_OUT_AT_ONCE) {
    TakeOut(board, data, length);
    state->at_once[QXB_OUT]++;
    KeReleaseSpinLock(&board->lock, irql);
    return Complete(irp, STATUS_SUCCESS, length);
  }
  /* Only a read with none queued before it may take the data at hand: it would otherwise
   * complete ahead of them with data that comes before theirs. */
  if (failure == STATUS_SUCCESS && endpoint == QXB_IN && state->knobs.in_mode == QXB_IN_AT_ONCE &&
      board->data_at_hand && !state->knobs.in_paused && !FixedRate(board) &&
      IsListEmpty(&board->queue[QXB_IN]) && board->in_flight[QXB_IN] == 0) {
    board->data_at_hand = FALSE;
    const uint32_t size = NextSize(board, length);
    const uint64_t position = state->in_bytes;
    state->in_bytes += size;
    state->at_once[QXB_IN]++;
    KeReleaseSpinLock(&board->lock, irql);
    if (size != 0) FillCounter(data, position, size);
    return Complete(irp, STATUS_SUCCESS, size);
  }
  if (endpoint == QXB_OUT && state->knobs.out_mode == QXB_OUT_HOLD)
    irp->Tail.Overlay.DriverContext[CONTEXT_HELD] = irp;
  /* Under the lock, so that the source has not run past it. */
  const LONGLONG arrival = Now();
  irp->Tail.Overlay.DriverContext[CONTEXT_ARRIVAL] =
      (PVOID)(ULONG_PTR)(arrival > board->source_clock ? arrival : board->source_clock);
  return QueueForWorker(board, endpoint, irp, irql);
}

static NTSTATUS PipeRequest(Board* board, IRP* irp, const IO_STACK_LOCATION* stack) {
  const uint8_t* in = irp->AssociatedIrp.SystemBuffer;
  if (in == NULL || stack->Parameters.DeviceIoControl.InputBufferLength != 1 ||
      (in[0] != ENDPOINT_IN && in[0] != ENDPOINT_OUT))
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  return PendOrRun(board, irp, RunPipeRequest);
}

/* Abort ends every pending transfer on the pipe before it completes; reset makes the pipe
 * usable again, which it always is here. */
static NTSTATUS RunPipeRequest(Board* board, IRP* irp) {
  const uint32_t code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  const uint8_t address = *(const uint8_t*)irp->AssociatedIrp.SystemBuffer;
  const uint32_t endpoint = EndpointIndex(address);
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  if (code == IOCTL_ABORT_PIPE)
    board->state.aborts[endpoint]++;
  else
    board->state.resets[endpoint]++;
  const BOOLEAN failed = Faulted(board, code, address, NULL);
  const NTSTATUS status = failed ? board->state.knobs.fault.status : STATUS_SUCCESS;
  KeReleaseSpinLock(&board->lock, irql);
  if (code == IOCTL_ABORT_PIPE && !failed) EndPending(board, endpoint, NULL, STATUS_CANCELLED);
  return Complete(irp, status, 0);
}

static NTSTATUS BoardIoControl(Board* board, IRP* irp) {
  const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
  switch (code) {
    case IOCTL_CONTROL_TRANSFER:
      return ControlTransfer(board, irp, stack);
    case IOCTL_DIRECT_TRANSFER:
      return DirectTransfer(board, irp, stack);
    case IOCTL_ABORT_PIPE:
    case IOCTL_RESET_PIPE:
      return PipeRequest(board, irp, stack);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

/* ---- plugging ---- */

/* Plugs the board into port, or into the free port that has been free the longest, so that a
 * board plugged in again is listed under another path than the one it left. */
static NTSTATUS Plug(Board* board, Port* port) {
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  if (board->port != NULL) {
    KeReleaseSpinLock(&gLock, irql);
    return STATUS_DEVICE_ALREADY_ATTACHED;
  }
  for (uint32_t i = 0; port == NULL && i < QXB_MAX_PORTS; ++i) {
    Port* candidate = gPorts[i];
    if (candidate == NULL || !candidate->started || candidate->board != NULL) continue;
    port = candidate;
    for (uint32_t j = i + 1; j < QXB_MAX_PORTS; ++j) {
      Port* other = gPorts[j];
      if (other != NULL && other->started && other->board == NULL && other->freed < port->freed)
        port = other;
    }
  }
  if (port == NULL || port->board != NULL) {
    KeReleaseSpinLock(&gLock, irql);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  port->board = board;
  board->port = port;
  const ULONG_PTR connection = ++gConnections;
  KeAcquireSpinLockAtDpcLevel(&board->lock);
  board->plugged = TRUE;
  board->connection = connection;
  board->state.plugs++;
  board->state.port = port->number;
  board->state.handles = 0;
  board->state.configuration = 0;
  board->state.in_bytes = 0;
  board->data_at_hand = FALSE;
  RestartSource(board);
  LinkText(&port->link, board->state.path, sizeof board->state.path);
  KeReleaseSpinLockFromDpcLevel(&board->lock);
  KeReleaseSpinLock(&gLock, irql);
  const NTSTATUS status = IoSetDeviceInterfaceState(&port->link, TRUE);
  if (!NT_SUCCESS(status)) {
    KeAcquireSpinLock(&gLock, &irql);
    port->board = NULL;
    board->port = NULL;
    KeAcquireSpinLockAtDpcLevel(&board->lock);
    board->plugged = FALSE;
    KeReleaseSpinLockFromDpcLevel(&board->lock);
    KeReleaseSpinLock(&gLock, irql);
  }
  return status;
}

/* A surprise removal: the port's interface goes, what was pending ends, and the handles opened
 * on this connection stay but fail every request. */
static NTSTATUS Unplug(Board* board) {
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  Port* port = board->port;
  if (port != NULL) {
    port->board = NULL;
    port->freed = ++gFrees;
    board->port = NULL;
  }
  KeAcquireSpinLockAtDpcLevel(&board->lock);
  board->plugged = FALSE;
  board->state.path[0] = '\0';
  KeReleaseSpinLockFromDpcLevel(&board->lock);
  KeReleaseSpinLock(&gLock, irql);
  if (port == NULL) return STATUS_NO_SUCH_DEVICE;
  EndAll(board, NULL, STATUS_DEVICE_NOT_CONNECTED);
  return IoSetDeviceInterfaceState(&port->link, FALSE);
}

/* A handle remembers the board and the connection it was opened on. */
static void Remember(FILE_OBJECT* file, Board* board, ULONG_PTR connection) {
  file->FsContext = board;
  file->FsContext2 = (PVOID)connection;
}

/* The board a handle reaches: the one it was opened on, while that board is still on the same
 * connection. After a surprise removal the handle stays, but every request on it fails. */
static Board* BoardOfHandle(const FILE_OBJECT* file) {
  Board* board = file != NULL ? file->FsContext : NULL;
  if (board == NULL) return NULL;
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  const BOOLEAN connected = board->plugged && (ULONG_PTR)file->FsContext2 == board->connection;
  KeReleaseSpinLock(&board->lock, irql);
  return connected ? board : NULL;
}

/* ---- the control device ---- */

/* A port that is started, or null. */
static Port* PortNumbered(uint32_t number) {
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  Port* port = number < QXB_MAX_PORTS && gPorts[number] != NULL && gPorts[number]->started
                   ? gPorts[number]
                   : NULL;
  KeReleaseSpinLock(&gLock, irql);
  return port;
}

static Board* BoardNumbered(uint32_t number) {
  return number < gBoardCount ? gBoards[number] : NULL;
}

static void Snapshot(Board* board, QxbState* out) {
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  *out = board->state;
  out->plugged = board->plugged;
  for (uint32_t e = 0; e < 2; ++e) {
    uint32_t count = board->in_flight[e];
    for (LIST_ENTRY* entry = board->queue[e].Flink; entry != &board->queue[e]; entry = entry->Flink)
      count++;
    out->pending[e] = count;
  }
  KeReleaseSpinLock(&board->lock, irql);
}

static BOOLEAN ValidKnobs(const QxbKnobs* knobs) {
  return knobs->in_mode <= QXB_IN_AT_ONCE && knobs->out_mode <= QXB_OUT_HOLD &&
         knobs->in_size_count <= QXB_MAX_SIZES &&
         (knobs->source == QXB_SOURCE_PACED ||
          (knobs->source == QXB_SOURCE_FIXED_RATE && knobs->source_rate != 0));
}

static NTSTATUS ReadRegion(Board* board, const QxbRequest* request, uint8_t* out, ULONG room,
                           ULONG_PTR* written) {
  const uint8_t* source;
  uint64_t available;
  switch (request->region) {
    case QXB_REGION_RAM:
      source = Memory(board, request->address, request->length);
      available = source != NULL ? request->length : 0;
      break;
    case QXB_REGION_EEPROM:
      source = board->eeprom + request->address % QXB_EEPROM_SIZE;
      available = QXB_EEPROM_SIZE - request->address % QXB_EEPROM_SIZE;
      break;
    case QXB_REGION_OUT:
      source = board->out + (request->address < QXB_OUT_CAPTURE ? request->address : 0);
      available =
          board->state.out_bytes < QXB_OUT_CAPTURE ? board->state.out_bytes : QXB_OUT_CAPTURE;
      available = request->address < available ? available - request->address : 0;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (source == NULL || request->length > available || request->length > room)
    return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&board->lock, &irql);
  RtlCopyMemory(out, source, request->length);
  KeReleaseSpinLock(&board->lock, irql);
  *written = request->length;
  return STATUS_SUCCESS;
}

static NTSTATUS ControlCommand(IRP* irp, const IO_STACK_LOCATION* stack) {
  if (stack->Parameters.DeviceIoControl.IoControlCode != QXB_IOCTL_CONTROL ||
      stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(QxbRequest))
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  /* Buffered: the request is a copy, and the answer goes over it. */
  QxbRequest request;
  RtlCopyMemory(&request, irp->AssociatedIrp.SystemBuffer, sizeof request);
  uint8_t* out = irp->AssociatedIrp.SystemBuffer;
  const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;

  if (request.command == QXB_BOARDS) {
    if (room < sizeof(QxbBoards)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    QxbBoards boards = {gBoardCount, 0};
    KIRQL irql;
    KeAcquireSpinLock(&gLock, &irql);
    for (uint32_t i = 0; i < QXB_MAX_PORTS; ++i)
      if (gPorts[i] != NULL && gPorts[i]->started) boards.ports++;
    KeReleaseSpinLock(&gLock, irql);
    RtlCopyMemory(out, &boards, sizeof boards);
    return Complete(irp, STATUS_SUCCESS, sizeof boards);
  }
  Board* board = BoardNumbered(request.board);
  if (board == NULL) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR written = 0;
  KIRQL irql;
  switch (request.command) {
    case QXB_STATE:
      break;
    case QXB_SET_KNOBS:
      if (!ValidKnobs(&request.knobs)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      KeAcquireSpinLock(&board->lock, &irql);
      {
        const QxbKnobs* was = &board->state.knobs;
        const BOOLEAN new_source = was->source != request.knobs.source ||
                                   was->source_rate != request.knobs.source_rate ||
                                   was->fifo_bytes != request.knobs.fifo_bytes;
        board->state.knobs = request.knobs;
        board->state.knobs.serial[QXB_SERIAL_LENGTH - 1] = '\0';
        board->size_cursor = 0;
        if (new_source) RestartSource(board);
      }
      KeReleaseSpinLock(&board->lock, irql);
      Wake();
      break;
    case QXB_RESET:
      KeAcquireSpinLock(&board->lock, &irql);
      PowerUp(board);
      KeReleaseSpinLock(&board->lock, irql);
      break;
    case QXB_UNPLUG:
      status = Unplug(board);
      break;
    case QXB_PLUG: {
      Port* port = request.address == QXB_ANY ? NULL : PortNumbered(request.address);
      status =
          request.address != QXB_ANY && port == NULL ? STATUS_NO_SUCH_DEVICE : Plug(board, port);
      break;
    }
    case QXB_READ:
      status = ReadRegion(board, &request, out, room, &written);
      return Complete(irp, status, NT_SUCCESS(status) ? written : 0);
    case QXB_END_PENDING:
      if (request.region > QXB_OUT) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      EndPending(board, request.region, NULL, request.status);
      break;
    default:
      return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  if (room < sizeof(QxbState)) return Complete(irp, STATUS_SUCCESS, 0);
  QxbState state;
  Snapshot(board, &state);
  RtlCopyMemory(out, &state, sizeof state);
  return Complete(irp, STATUS_SUCCESS, sizeof state);
}

/* ---- dispatch ---- */

static Port* PortOf(DEVICE_OBJECT* device) {
  return device == gControl ? NULL : device->DeviceExtension;
}

static NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
  Port* port = PortOf(device);
  if (port == NULL) return Complete(irp, STATUS_SUCCESS, 0);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  Board* board = port->board;
  if (board != NULL) {
    KeAcquireSpinLockAtDpcLevel(&board->lock);
    Remember(stack->FileObject, board, board->connection);
    board->state.handles++;
    KeReleaseSpinLockFromDpcLevel(&board->lock);
    status = STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&gLock, irql);
  return Complete(irp, status, 0);
}

/* The board of a handle on a port, connected or not. */
static Board* HandleBoard(DEVICE_OBJECT* device, const FILE_OBJECT* file) {
  return PortOf(device) != NULL && file != NULL ? file->FsContext : NULL;
}

/* A handle is closed: what it left pending ends. */
static NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp) {
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  Board* board = HandleBoard(device, file);
  if (board != NULL) EndAll(board, file, STATUS_CANCELLED);
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* Its handles count while the board keeps the connection they were opened on, plugged in or
 * not. */
static NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  Board* board = HandleBoard(device, file);
  if (board != NULL) {
    EndAll(board, file, STATUS_CANCELLED);
    KIRQL irql;
    KeAcquireSpinLock(&board->lock, &irql);
    if ((ULONG_PTR)file->FsContext2 == board->connection && board->state.handles != 0)
      board->state.handles--;
    KeReleaseSpinLock(&board->lock, irql);
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchIoControl(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  if (PortOf(device) == NULL) return ControlCommand(irp, stack);
  Board* board = BoardOfHandle(stack->FileObject);
  if (board == NULL) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  return BoardIoControl(board, irp);
}

static NTSTATUS SignalDone(DEVICE_OBJECT* device, IRP* irp, PVOID event) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Hands a PnP request to the PDO and waits for its answer. */
static NTSTATUS ForwardAndWait(Port* port, IRP* irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(port->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS PassDown(Port* port, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(port->lower, irp);
}

/* A port that starts takes the board of its number, as the boards come up plugged in. */
static NTSTATUS StartPort(Port* port) {
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  port->started = TRUE;
  KeReleaseSpinLock(&gLock, irql);
  if (port->number < gBoardCount && gBoards[port->number]->state.plugs == 0)
    return Plug(gBoards[port->number], port);
  return STATUS_SUCCESS;
}

static void RemovePort(Port* port) {
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  Board* board = port->board;
  port->started = FALSE;
  KeReleaseSpinLock(&gLock, irql);
  if (board != NULL) Unplug(board);
  KeAcquireSpinLock(&gLock, &irql);
  gPorts[port->number] = NULL;
  KeReleaseSpinLock(&gLock, irql);
}

static NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  Port* port = PortOf(device);
  if (port == NULL) return Complete(irp, STATUS_NOT_SUPPORTED, 0);
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(port, irp);
      if (NT_SUCCESS(status)) status = StartPort(port);
      return Complete(irp, status, 0);
    case IRP_MN_SURPRISE_REMOVAL:
      RemovePort(port);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(port, irp);
    case IRP_MN_REMOVE_DEVICE:
      RemovePort(port);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(port, irp);
      RtlFreeUnicodeString(&port->link);
      IoDetachDevice(port->lower);
      IoDeleteDevice(port->self);
      return status;
    default:
      return PassDown(port, irp);
  }
}

static NTSTATUS DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
  Port* port = PortOf(device);
  PoStartNextPowerIrp(irp);
  if (port == NULL) return Complete(irp, STATUS_SUCCESS, 0);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(port->lower, irp);
}

/* The port number: the instance of the device, as in ROOT#QUORIXTESTBOARD#0002#{...}. */
static uint32_t InstanceNumber(const UNICODE_STRING* link) {
  const USHORT length = link->Length / sizeof(WCHAR);
  uint32_t hashes = 0, number = 0;
  BOOLEAN digits = FALSE;
  for (USHORT i = 0; i < length; ++i) {
    const WCHAR c = link->Buffer[i];
    if (c == L'#') {
      if (++hashes == 3) break;
      continue;
    }
    if (hashes == 2) {
      if (c < L'0' || c > L'9') return QXB_MAX_PORTS;
      number = number * 10 + (uint32_t)(c - L'0');
      digits = TRUE;
    }
  }
  return hashes == 3 && digits ? number : QXB_MAX_PORTS;
}

static NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Port), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Port* port = device->DeviceExtension;
  RtlZeroMemory(port, sizeof *port);
  port->self = device;
  status = IoRegisterDeviceInterface(pdo, &kInterfaceClass, NULL, &port->link);
  const uint32_t number = NT_SUCCESS(status) ? InstanceNumber(&port->link) : QXB_MAX_PORTS;
  KIRQL irql;
  KeAcquireSpinLock(&gLock, &irql);
  const BOOLEAN free = number < QXB_MAX_PORTS && gPorts[number] == NULL;
  if (free) gPorts[number] = port;
  KeReleaseSpinLock(&gLock, irql);
  if (!free) {
    if (port->link.Buffer != NULL) RtlFreeUnicodeString(&port->link);
    IoDeleteDevice(device);
    return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
  }
  port->number = number;
  port->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* The number of boards, from the service's Parameters key: 1 when it is not there. */
static uint32_t BoardCount(const UNICODE_STRING* registry) {
  WCHAR buffer[256];
  UNICODE_STRING path = {0, sizeof buffer, buffer};
  RtlAppendUnicodeStringToString(&path, registry);
  if (!NT_SUCCESS(RtlAppendUnicodeToString(&path, L"\\Parameters"))) return 1;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes))) return 1;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, QXB_BOARDS_VALUE);
  union {
    KEY_VALUE_PARTIAL_INFORMATION information;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  } value;
  ULONG size = 0;
  const NTSTATUS status =
      ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof value, &size);
  ZwClose(key);
  if (!NT_SUCCESS(status) || value.information.Type != REG_DWORD ||
      value.information.DataLength != sizeof(ULONG))
    return 1;
  ULONG count;
  RtlCopyMemory(&count, value.information.Data, sizeof count);
  return count >= 1 && count <= QXB_MAX_BOARDS ? count : 1;
}

static void FreeBoards(void) {
  for (uint32_t i = 0; i < gBoardCount; ++i) ExFreePoolWithTag(gBoards[i], kPoolTag);
  gBoardCount = 0;
}

static VOID Unload(DRIVER_OBJECT* driver) {
  UNREFERENCED_PARAMETER(driver);
  InterlockedExchange(&gStopping, 1);
  Wake();
  ZwWaitForSingleObject(gWorker, FALSE, NULL);
  ZwClose(gWorker);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, QXB_CONTROL_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(gControl);
  FreeBoards();
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  KeInitializeSpinLock(&gLock);
  KeInitializeEvent(&gWork, SynchronizationEvent, FALSE);
  LARGE_INTEGER frequency;
  (void)KeQueryPerformanceCounter(&frequency);
  gFrequency = frequency.QuadPart;
  const uint32_t count = BoardCount(registry);
  for (; gBoardCount < count; ++gBoardCount) {
    Board* board = ExAllocatePoolWithTag(NonPagedPool, sizeof(Board), kPoolTag);
    if (board == NULL) {
      FreeBoards();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(board, sizeof *board);
    KeInitializeSpinLock(&board->lock);
    for (uint32_t queue = 0; queue < QUEUES; ++queue) InitializeListHead(&board->queue[queue]);
    board->state.number = gBoardCount;
    PowerUp(board);
    gBoards[gBoardCount] = board;
  }

  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, QXB_CONTROL_DEVICE_NAME);
  RtlInitUnicodeString(&link, QXB_CONTROL_LINK_NAME);
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gControl);
  if (NT_SUCCESS(status)) {
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) IoDeleteDevice(gControl);
  }
  if (NT_SUCCESS(status)) {
    gControl->Flags |= DO_BUFFERED_IO;
    gControl->Flags &= ~DO_DEVICE_INITIALIZING;
    status = PsCreateSystemThread(&gWorker, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, NULL);
    if (!NT_SUCCESS(status)) {
      IoDeleteSymbolicLink(&link);
      IoDeleteDevice(gControl);
    }
  }
  if (!NT_SUCCESS(status)) {
    FreeBoards();
    return status;
  }

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
