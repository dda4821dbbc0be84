// Base types of the NT kernel interface, as the DDK names them.
//
// Sizes follow the Windows LLP64 model on every host: ULONG and LONG are
// 32-bit even where the host's `long` is 64-bit, and WCHAR is 16-bit.
// Translation units that want `L"..."` literals to be WCHAR strings are
// built with -fshort-wchar; the rest of the emulator uses char16_t.  All
// kernel entry points have C linkage, so the two spellings link together.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <nt/driverspecs.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

// Every call between the kernel and a driver uses the Windows x64
// convention, as a Windows compiler gives it: the same driver source then
// behaves alike in both homes, and a routine of the emulator can be the
// target of an import of a Windows image as it stands.  x64 Windows has one
// convention, so __cdecl, __stdcall and FASTCALL all name it.
#if defined(__x86_64__)
#define EMU_MSABI __attribute__((ms_abi))
#else
#define EMU_MSABI
#endif
#define NTAPI EMU_MSABI
#define NTSYSAPI EMU_MSABI
#define NTKERNELAPI EMU_MSABI
#define NTHALAPI EMU_MSABI
#define FASTCALL EMU_MSABI
#define DECLSPEC_IMPORT
#define __cdecl EMU_MSABI
#define __stdcall EMU_MSABI
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define DRIVER_INITIALIZE_DECL

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR;
typedef const char* PCSTR;
typedef char* PSTR;
typedef uint8_t UCHAR, *PUCHAR;
typedef int8_t CCHAR;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t DWORD64;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG KPRIORITY;
typedef CCHAR KPROCESSOR_MODE;
typedef UCHAR KIRQL, *PKIRQL;

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif
typedef WCHAR *PWCHAR, *PWSTR, *LPWSTR;
typedef const WCHAR *PCWSTR, *LPCWSTR;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64 sizes");
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif
#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define ARGUMENT_PRESENT(p) ((p) != NULL)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

// DEFINE_GUID always defines: the DDK's INITGUID switch exists to keep one
// definition per image, which inline variables give us for free.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink, prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY prev = head->Blink;
  entry->Flink = head;
  entry->Blink = prev;
  prev->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY next = head->Flink;
  entry->Flink = next;
  entry->Blink = head;
  next->Blink = entry;
  head->Flink = entry;
}

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without any terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

// ---- Status codes -------------------------------------------------------
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_INFORMATION(s) ((((ULONG)(s)) >> 30) == 1)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ABANDONED ((NTSTATUS)0x00000080L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE ((NTSTATUS)0x00000104L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0x8000000FL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_WMI_GUID_NOT_FOUND ((NTSTATUS)0xC0000295L)
#define STATUS_WMI_INSTANCE_NOT_FOUND ((NTSTATUS)0xC0000296L)
#define STATUS_WMI_ITEMID_NOT_FOUND ((NTSTATUS)0xC0000297L)
#define STATUS_WMI_READ_ONLY ((NTSTATUS)0xC00002C6L)
#define STATUS_WMI_SET_FAILURE ((NTSTATUS)0xC00002C7L)
#define STATUS_ASSERTION_FAILURE ((NTSTATUS)0xC0000420L)

// ---- Interlocked operations --------------------------------------------
// Full barriers, as on Windows.
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline void KeMemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---- Diagnostics --------------------------------------------------------
EXTERN_C ULONG __cdecl DbgPrint(PCSTR format, ...);
EXTERN_C void NTAPI RtlAssert(PVOID failed_assertion, PVOID file_name, ULONG line, PSTR message);
#define ASSERT(exp) ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#define KdPrint(x) DbgPrint x
