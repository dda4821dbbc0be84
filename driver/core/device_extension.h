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
constexpr ULONG RING_BUFFER_BACKOFF_MS = 10;                       // at most, unless a read makes room

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

// Asks again for what the port lacks (a failed power-up restart, a device
// power-up owed); queues work and never waits.  The power paths that serve
// it sit above every request path, so the record carries it (set by
// AddDevice) for the admission of requests to call.
// IRQL <= DISPATCH_LEVEL, any lock.
typedef NTSTATUS PORT_RECOVERY_ROUTINE(PDEVICE_OBJECT DeviceObject);
typedef PORT_RECOVERY_ROUTINE* PPORT_RECOVERY_ROUTINE;

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

// Everything the driver knows about one modem.  Zero-filled at creation.
//
// Each field names its guard:
//   SpinLock       read and changed holding the device SpinLock;
//   cancel lock    read and changed holding the system cancel spin lock;
//   interlocked    changed and read with interlocked operations only;
//   ControlMutex   changed (and read where it matters) holding ControlMutex,
//                  the port-thread lock of the open, cleanup and power-up
//                  restart paths;
//   PnP            changed only by Plug and Play requests, which come one at
//                  a time;
//   a thread name  used only by that thread while it runs;
//   constant       set by AddDevice before the device can be reached, and
//                  left alone until removal, which runs once the RemoveLock
//                  is drained.
// "At open" writes happen in DispatchCreate before the open completes: no
// request of the client and no worker thread exists yet to race them.
typedef struct _DEVICE_EXTENSION {
  // ---- The device object and its locks: constant ------------------------
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT TopOfStackDeviceObject;
  ULONG InstanceNumber;
  IO_REMOVE_LOCK RemoveLock;
  KSPIN_LOCK SpinLock;
  KMUTEX ControlMutex;

  // ---- Plug and Play, names, WMI: PnP -----------------------------------
  WCHAR DosDeviceName[DOS_DEVICE_NAME_CHARS];  // first char 0: no DOS link
  UNICODE_STRING InterfaceName;
  WMILIB_CONTEXT WmiLibInfo;  // filled by start before it registers; read-only after
  // Copied by the query-capabilities completion routine; read, unguarded,
  // by the system set-power path, which nothing orders with that copy.
  DEVICE_CAPABILITIES DeviceCapabilities;

  // ---- The USB configuration: PnP (start); freed at removal --------------
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // whole set, wTotalLength bytes
  PIPE_ENTRY PipeTable[PIPE_TABLE_INTERFACES][PIPE_TABLE_PIPES];
  BOOLEAN UsingInterruptPipe;
  PVOID UsbdDeviceHandle;  // interlocked: learnt from completed URBs

  // ---- Port state --------------------------------------------------------
  // Interlocked.  Incremented and tested with StopOrRemovePending under
  // SpinLock by the open, tested there by query-stop and query-remove;
  // decremented by close and by a refused open.
  LONG OpenCount;
  // 1 from a successful query-stop or query-remove to its cancel or the
  // next start: opens are refused.  Interlocked; set under SpinLock with
  // OpenCount tested; cleared by start, cancel-stop and cancel-remove.
  LONG StopOrRemovePending;
  LONG DeviceOpened;  // interlocked; set at open, cleared by close or a failed open
  // 1 from the start of cleanup to the next open: the handle is going, so
  // requests that would wait on the port are refused.  Interlocked; set
  // under SpinLock, cleared at open.
  LONG PortClosing;
  ULONG DeviceRemoved;  // interlocked; set under SpinLock by surprise removal and by removal

  // ---- Power -------------------------------------------------------------
  // Interlocked; one writer at a time (start, removal, the completion of a
  // device set-power request).
  DEVICE_POWER_STATE DevicePowerState;
  SYSTEM_POWER_STATE SystemPowerState;  // the system set-power path only
  // A device state owed since a system request could not ask for it (see
  // power.cpp); 0 when none, OWED_POWER_REQUESTED added while a request for
  // it is out.  Interlocked.  evOwedPowerDone is signalled whenever no such
  // request is out.
  LONG DevicePowerOwed;
  KEVENT evOwedPowerDone;
  // The power-up restart: queued and not yet begun; given up on (the port
  // then refuses requests that would wait, and each refusal queues it
  // again).  Interlocked; PowerRestartFailed is set under SpinLock.
  LONG PowerRestartQueued;
  LONG PowerRestartFailed;
  PPORT_RECOVERY_ROUTINE RecoverPort;  // constant: RecoverPortPower

  // ---- Worker threads ----------------------------------------------------
  // Referenced thread objects, non-null from the thread's start to cleanup
  // (the polling threads are replaced by the power-up restart): ControlMutex.
  PKTHREAD pReadFunctionThread;
  PKTHREAD pWaitMaskFunctionThread;
  PKTHREAD pPollingFunctionThread;
  PKTHREAD pWriteFunctionThread;
  PKTHREAD pInterruptPollingFunctionThread;
  // Stop signals (notification events): set by cleanup, surprise removal
  // and the restart; reset under ControlMutex before a thread starts.
  KEVENT evKill_pReadFunction;
  KEVENT evKill_pWaitMaskFunction;
  KEVENT evKill_pPollingFunction;
  KEVENT evKill_pWriteFunction;
  KEVENT evKill_pInterruptPollingFunction;

  // ---- Line settings and control -----------------------------------------
  // SpinLock (at open: under ControlMutex, which keeps the restart that
  // resends them away).  Stored only once the modem has taken them.
  ULONG BaudRate;
  UCHAR StopBits;
  UCHAR Parity;
  UCHAR WordLength;
  SERIAL_TIMEOUTS Timeouts;    // SpinLock
  SERIAL_CHARS SpecialChars;   // SpinLock
  PSERIAL_HANDFLOW HandFlow;   // SpinLock, pointer and record; set at open, freed at close
  SERIALPERF_STATS PerfStats;  // SpinLock
  BOOLEAN SuppressConnect;     // SpinLock: the CONNECT filter's switch
  ULONG ModemControl;          // interlocked: MODEM_CONTROL_DTR | MODEM_CONTROL_RTS
  // SpinLock: command lines the client has had accepted, and the count at
  // the last CONNECT line the filter dropped; the filter is armed while
  // they differ.  Both live with the device object, as the switch does.
  ULONG CommandLineCount;
  ULONG ConnectDroppedAt;
  // The line-state request: its URB in flight and its completion signal,
  // both the sender's, which holds ControlMutex from the send to the end.
  PURB ControlUrb;
  KEVENT evControlDone;

  // ---- Modem status and wait-on-mask: SpinLock -----------------------------
  ULONG ModemStatus;  // SERIAL_MSR_* image
  // DSR/DCD changes (MODEM_STATUS_*_CHANGED) not yet reported to a
  // wait-on-mask request: only those that came while WaitMask held their
  // event, and none from before the last set mask.  Kept apart from
  // ModemStatus so that reading the modem status cannot take an event from
  // a waiter.
  ULONG PendingModemChanges;
  ULONG WaitMask;
  BOOLEAN RxFlagSeen;  // an event character arrived (cleared at open)
  // A line changed: the wait-mask thread's wake event, cleared only by it
  // (set after SpinLock is released).
  KEVENT evModemChanged;
  PIRP WaitIrpQueue[WAIT_IRP_QUEUE_SLOTS];
  ULONG WaitQueueHead;
  ULONG WaitQueueTail;
  // The parked removal-notification request, holding one RemoveLock
  // acquisition while set: cancel lock.
  PIRP NotifyIrp;

  // ---- Receive path --------------------------------------------------------
  PRING_BUFFER RingBuffer;  // constant pointer; the ring has its own Lock
  // The pipe-read packets: allocated at open and freed at cleanup under
  // ControlMutex (removal frees leftovers); used by pPollingFunction and
  // pInterruptPollingFunction respectively, and cancelled by whoever stops them.
  PIRP BulkInIrp;
  PIRP InterruptIrp;
  PUCHAR ReadBuffer;       // constant; READ_BUFFER_SIZE bytes, pPollingFunction's
  KEVENT evBulkInDone;     // pPollingFunction
  PUCHAR InterruptBuffer;  // constant; INTERRUPT_BUFFER_SIZE bytes, pInterruptPollingFunction's
  KEVENT evInterruptDone;  // pInterruptPollingFunction

  // ---- Reads (see read.cpp) ------------------------------------------------
  REQUEST_LIST ReadQueue;     // its own Lock, taken inside SpinLock by the read path; set up at open
  PIRP CurrentReadIrp;        // SpinLock (exchanged with interlocked operations under it)
  PKTIMER ReadTimer;          // constant
  PKDPC ReadTimerDpc;         // constant
  LARGE_INTEGER ReadDueTime;  // SpinLock: the due time of the read promoted next
  LONG ArmedTimerCount;       // SpinLock, interlocked; 0 at open
  KEVENT evTimersIdle;        // set and reset with ArmedTimerCount
  // Data reached the ring while a read was current: the read thread's wake
  // event, cleared only by it.
  KEVENT evReadDataReady;
  // A read took bytes from a ring that held more than the back-off
  // threshold: the polling thread's wake event, cleared only by it.
  KEVENT evRingRoom;

  // ---- Writes (see write.cpp) ----------------------------------------------
  REQUEST_LIST WriteQueue;  // its own Lock; queued and taken under SpinLock; set up at open
  // Set by pWriteFunction (and cleared at open); cleared by it under
  // SpinLock, where the time-out and the purge look for it.
  PIRP CurrentWriteIrp;
  // The same for the write made ready to follow it while its last transfer
  // is on the bus.
  PIRP NextWriteIrp;
  // That write while ZLKUSB_Write_Complete may send it: set by
  // pWriteFunction, emptied (interlocked) by whichever of the two takes it.
  PIRP LaunchWriteIrp;
  LONG PendingWriteCount;    // interlocked
  LONG WriteTransfersEnded;  // interlocked: transfers of the write path ended, ever
  KEVENT evWriteDone;        // pWriteFunction's: a transfer came back
  // A write was queued, or one is left after a send: the write thread's
  // wake event, cleared only by it.
  KEVENT evWriteQueued;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// ---- Driver-wide values (driver_entry.cpp) ------------------------------
extern UNICODE_STRING DriverRegistryPath;  // PagedPool copy, NUL-terminated
extern LONG DeviceInstanceCounter;         // last number given; only grows
