// The per-device record and the driver's own shared records and constants.
// Records and constants only: routines are declared in the header of the
// file that implements them.
#pragma once

#include "platform/platform.h"

// ---- Pool tags ----------------------------------------------------------
// A pool tag is four characters stored in memory order: the tag "Wdm " must
// read "Wdm " in a pool dump, so 'W' is the low byte.  The DDK habit of a
// reversed multi-character literal (' mdW') gives the same value, but
// multi-character literals are implementation-defined and warn under GCC, so
// the tags are assembled byte by byte instead.
#define VRMDM_POOL_TAG(a, b, c, d) \
  ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

constexpr ULONG POOL_TAG_DRIVER = VRMDM_POOL_TAG('W', 'd', 'm', ' ');         // everything kept or sent
constexpr ULONG POOL_TAG_REGISTRY_PATH = VRMDM_POOL_TAG('M', '2', 'k', ' ');  // copy of the registry path
constexpr ULONG POOL_TAG_REQUEST_NODE = VRMDM_POOL_TAG('W', 'R', 'Q', '1');   // request-list nodes
constexpr ULONG REMOVE_LOCK_TAG = VRMDM_POOL_TAG('S', 's', 'm', '2');

static_assert(POOL_TAG_DRIVER == 0x206D6457u, "tag bytes in memory order");

// ---- Naming -------------------------------------------------------------
// Expanded only inside the driver, where L"..." is a WCHAR string.
#define VRMDM_DEVICE_NAME_PREFIX L"\\Device\\Velmar1_DS_"
#define VRMDM_DOS_DEVICES_PREFIX L"\\DosDevices\\"
constexpr ULONG DEVICE_NAME_CHARS = 256;      // buffer for the numbered device name
constexpr ULONG DOS_DEVICE_NAME_CHARS = 100;  // DosDeviceName, terminator included

// ---- Receive ring -------------------------------------------------------
constexpr ULONG RING_BUFFER_POSITIONS = 0x40001;                   // 262,145 positions: 0..0x40000
constexpr ULONG RING_BUFFER_CAPACITY = RING_BUFFER_POSITIONS - 1;  // one position always stays free
constexpr ULONG RING_BUFFER_DATA_SIZE = 262152;                    // positions rounded up to 8 bytes
constexpr ULONG RING_BUFFER_BACKOFF_THRESHOLD = 257024;            // producer pauses above this many unread
constexpr ULONG RING_BUFFER_BACKOFF_MS = 10;

// ---- Transfer buffers and sizes -----------------------------------------
constexpr ULONG READ_BUFFER_SIZE = 4096;         // ReadBuffer; also the size of every bulk-IN read
constexpr ULONG INTERRUPT_BUFFER_SIZE = 100;     // InterruptBuffer
constexpr ULONG INTERRUPT_READ_LENGTH = 16;      // bytes asked of every interrupt-pipe read
constexpr ULONG BULK_MAX_TRANSFER_SIZE = 65536;  // bulk reads are capped to this, and bulk pipes get it
constexpr ULONG INTERRUPT_MAX_TRANSFER_SIZE = 64;

// ---- Pipe table ---------------------------------------------------------
constexpr ULONG PIPE_TABLE_INTERFACES = 3;
constexpr ULONG PIPE_TABLE_PIPES = 2;

// ---- Wait-on-mask queue -------------------------------------------------
constexpr ULONG WAIT_IRP_QUEUE_SLOTS = 100;
constexpr ULONG WAIT_IRP_QUEUE_MAX = WAIT_IRP_QUEUE_SLOTS - 1;  // full = tail one behind head

// ---- Line defaults and lines --------------------------------------------
constexpr ULONG DEFAULT_BAUD_RATE = 9600;
constexpr UCHAR DEFAULT_WORD_LENGTH = 8;
constexpr ULONG MODEM_CONTROL_DTR = 0x01;  // ModemControl bits, also the SET_CONTROL_LINE_STATE value bits
constexpr ULONG MODEM_CONTROL_RTS = 0x02;

// Worker threads run at this priority.
constexpr KPRIORITY WORKER_THREAD_PRIORITY = 16;

// ---- Records ------------------------------------------------------------

// The receive ring.  ReadIndex and WriteIndex are positions 0..0x40000 and
// advance modulo RING_BUFFER_POSITIONS; equal indices mean empty.  Lock is
// private to the ring: every ring operation holds it at DISPATCH_LEVEL, so
// the operations exclude one another across processors (an empty Get
// rewrites the indices and the whole data area).  It is taken after the
// device SpinLock when both are held and guards nothing else.
typedef struct _RING_BUFFER {
  ULONG ReadIndex;
  ULONG WriteIndex;
  KSPIN_LOCK Lock;
  UCHAR Data[RING_BUFFER_DATA_SIZE];
} RING_BUFFER, *PRING_BUFFER;

static_assert(RING_BUFFER_DATA_SIZE >= RING_BUFFER_POSITIONS, "every position has a byte");

// A waiting client request.  The list owns a node while it is linked; the
// routine that unlinks it frees it.
typedef struct _REQUEST_NODE {
  struct _REQUEST_NODE* Next;
  struct _REQUEST_NODE* Prev;
  PIRP Irp;
} REQUEST_NODE, *PREQUEST_NODE;

// Circular doubly linked list whose head is its own sentinel: Next and Prev
// lie where a node keeps them, so (PREQUEST_NODE)list stands for the head,
// and an empty list points at itself.  Lock guards the links.
typedef struct _REQUEST_LIST {
  PREQUEST_NODE Next;
  PREQUEST_NODE Prev;
  KSPIN_LOCK Lock;
} REQUEST_LIST, *PREQUEST_LIST;

static_assert(offsetof(REQUEST_LIST, Next) == offsetof(REQUEST_NODE, Next) &&
                  offsetof(REQUEST_LIST, Prev) == offsetof(REQUEST_NODE, Prev),
              "the list head doubles as a node");

// One pipe of the pipe table.  PipeInfo is a copy of what the bus driver
// returned at configuration.
typedef struct _PIPE_ENTRY {
  UCHAR Disabled;   // 1: lookups pass over this entry
  UCHAR PipeIndex;  // index of the pipe within its interface
  USBD_PIPE_INFORMATION PipeInfo;
} PIPE_ENTRY, *PPIPE_ENTRY;

// SET_LINE_CODING payload as the communications class lays it out:
// little-endian, no padding.
#pragma pack(push, 1)
typedef struct _LINE_CODING {
  ULONG dwDTERate;
  UCHAR bCharFormat;  // 0: 1 stop bit, 1: 1.5, 2: 2
  UCHAR bParityType;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  UCHAR bDataBits;    // 5..8
} LINE_CODING, *PLINE_CODING;
#pragma pack(pop)

static_assert(sizeof(LINE_CODING) == 7, "SET_LINE_CODING carries 7 bytes");

// Everything the driver knows about one modem.  Zero-filled at creation;
// fields that change concurrently say how.
typedef struct _DEVICE_EXTENSION {
  IO_REMOVE_LOCK RemoveLock;

  // Stop signals of the worker threads (notification events).
  KEVENT evKill_pPollingFunction;
  KEVENT evKill_pReadFunction;
  KEVENT evKill_pWaitMaskFunction;
  KEVENT evKill_pInterruptPollingFunction;
  KEVENT evKill_pWriteFunction;

  // Referenced thread objects; non-null from open to the end of cleanup.
  PKTHREAD pWriteFunctionThread;
  PKTHREAD pPollingFunctionThread;
  PKTHREAD pReadFunctionThread;
  PKTHREAD pWaitMaskFunctionThread;
  PKTHREAD pInterruptPollingFunctionThread;

  LONG OpenCount;  // interlocked; tested under SpinLock
  DEVICE_CAPABILITIES DeviceCapabilities;
  DEVICE_POWER_STATE DevicePowerState;
  SYSTEM_POWER_STATE SystemPowerState;
  UNICODE_STRING InterfaceName;
  BOOLEAN UsingInterruptPipe;
  PUCHAR ReadBuffer;       // READ_BUFFER_SIZE bytes, non-paged
  PUCHAR InterruptBuffer;  // INTERRUPT_BUFFER_SIZE bytes, non-paged
  ULONG DeviceRemoved;
  WCHAR DosDeviceName[DOS_DEVICE_NAME_CHARS];  // first char 0: no DOS link
  SERIAL_TIMEOUTS Timeouts;
  PDEVICE_OBJECT FunctionalDeviceObject;
  KEVENT evControlDone;
  KEVENT evBulkInDone;
  KEVENT evInterruptDone;
  KEVENT evTimersIdle;
  LONG DeviceOpened;  // written with InterlockedExchange
  // 1 from the start of cleanup to the next open: the handle is going, so
  // requests that would wait on the port are refused.  Set under SpinLock.
  LONG PortClosing;
  // 1 from a successful query-stop to the cancel-stop or the next start:
  // opens are refused.  Changed and tested with OpenCount under SpinLock.
  LONG StopPending;
  // The power-up restart: queued and not yet begun; given up on (the port
  // then refuses requests that would wait, and each refusal queues it again).
  LONG PowerRestartQueued;
  LONG PowerRestartFailed;
  // A device state owed since a system request could not ask for it (see
  // power.cpp); 0 when none, OWED_POWER_REQUESTED added while a request for
  // it is out.  Interlocked.  evOwedPowerDone is signalled whenever no such
  // request is out.
  LONG DevicePowerOwed;
  KEVENT evOwedPowerDone;
  LONG PendingWriteCount;  // interlocked
  LONG ArmedTimerCount;    // interlocked
  PIRP NotifyIrp;          // holds one RemoveLock acquisition while set
  PIRP BulkInIrp;          // reused for every bulk-IN read
  PIRP InterruptIrp;       // reused for every interrupt read
  ULONG BaudRate;
  ULONG ModemStatus;  // SERIAL_MSR_* image, under SpinLock
  // DSR/DCD changes (MODEM_STATUS_*_CHANGED) not yet reported to a
  // wait-on-mask request, under SpinLock.  Kept apart from ModemStatus so
  // that reading the modem status cannot take an event from a waiter.
  ULONG PendingModemChanges;
  ULONG ModemControl;  // MODEM_CONTROL_DTR | MODEM_CONTROL_RTS
  ULONG WaitQueueTail;
  ULONG WaitQueueHead;
  SERIALPERF_STATS PerfStats;
  PDEVICE_OBJECT TopOfStackDeviceObject;
  PIRP WaitIrpQueue[WAIT_IRP_QUEUE_SLOTS];
  ULONG WaitMask;
  PURB ControlUrb;  // line-state URB in flight, under ControlMutex
  PDEVICE_OBJECT PhysicalDeviceObject;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // whole set, wTotalLength bytes
  PIPE_ENTRY PipeTable[PIPE_TABLE_INTERFACES][PIPE_TABLE_PIPES];
  UCHAR StopBits;
  UCHAR Parity;
  UCHAR WordLength;
  PVOID UsbdDeviceHandle;
  BOOLEAN RxFlagSeen;
  KSPIN_LOCK SpinLock;
  KMUTEX ControlMutex;
  PRING_BUFFER RingBuffer;
  SERIAL_CHARS SpecialChars;
  PIRP CurrentWriteIrp;  // exchanged with interlocked operations
  BOOLEAN SuppressConnect;
  REQUEST_LIST WriteQueue;
  KEVENT evWriteDone;
  REQUEST_LIST ReadQueue;
  PKTIMER ReadTimer;
  PKDPC ReadTimerDpc;
  PIRP CurrentReadIrp;  // exchanged with interlocked operations
  LARGE_INTEGER ReadDueTime;
  ULONG InstanceNumber;
  WMILIB_CONTEXT WmiLibInfo;
  PSERIAL_HANDFLOW HandFlow;
  // Wake-ups of the read, write and wait-mask threads, waited on with their
  // stop events, so that they act at once rather than on their next timed
  // pass (a 1 or 5 ms wait lasts a whole clock tick, 15.6 ms by default).
  KEVENT evWriteQueued;    // a write was queued, or one is left after a send
  KEVENT evReadDataReady;  // data reached the ring while a read was current
  KEVENT evModemChanged;   // a modem line changed
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// ---- Driver-wide values (driver_entry.cpp) ------------------------------
extern UNICODE_STRING DriverRegistryPath;  // PagedPool copy, NUL-terminated
extern LONG DeviceInstanceCounter;         // last number given; only grows
