/*
 * Basic Windows NT types with the sizes of the Windows ABI: LONG and ULONG
 * are 32 bits, WCHAR is 16 bits (every target builds with -fshort-wchar).
 * Pointer-sized types follow the host, which is 64-bit.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
#include "sal.h"

#if __SIZEOF_WCHAR_T__ != 2
#error "Windows code needs a 16-bit wchar_t: build with -fshort-wchar"
#endif

#if defined(__i386__)
/* 32-bit x86 has calling conventions, and the system's functions and the
   callbacks it makes use the standard one, as on Windows. */
#define __stdcall __attribute__((__stdcall__))
#define __cdecl __attribute__((__cdecl__))
#define __fastcall __attribute__((__fastcall__))
#else
#define __stdcall
#define __cdecl
#define __fastcall
#endif
#define NTAPI __stdcall
#define WINAPI __stdcall
#define NTSYSAPI
#define NTKERNELAPI
#define DECLSPEC_IMPORT
#define FORCEINLINE inline __attribute__((always_inline))
#define __inline inline
#define __forceinline FORCEINLINE
#define CALLBACK
#define EXTERN_C extern "C"
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define C_ASSERT(e) static_assert(e, #e)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((char*)(address) - offsetof(type, field)))
#define ALIGN_UP_BY(length, alignment) \
    (((ULONG_PTR)(length) + (alignment) - 1) & ~((ULONG_PTR)(alignment) - 1))

#ifndef NULL
#define NULL nullptr
#endif
#define TRUE 1
#define FALSE 0
#define VOID void
#define CONST const
#define IN
#define OUT
#define OPTIONAL
#define ANYSIZE_ARRAY 1

typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef int16_t SHORT, *PSHORT;
typedef int32_t LONG, *PLONG;
typedef int32_t INT, *PINT;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64;
typedef uint8_t UCHAR, *PUCHAR, BYTE, *PBYTE, UINT8, *PUINT8;
typedef uint16_t USHORT, *PUSHORT, WORD, *PWORD, UINT16;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD, UINT, UINT32, ULONG32;
typedef int32_t INT32, LONG32;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, DWORD64, UINT64;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, UINT_PTR, DWORD_PTR, SIZE_T, *PSIZE_T;
typedef intptr_t LONG_PTR, *PLONG_PTR, INT_PTR, SSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef int BOOL, *PBOOL, *LPBOOL;
typedef wchar_t WCHAR, *PWCHAR, *PWCH, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWCH, *PCWSTR, *LPCWSTR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG KPRIORITY;
typedef CHAR CCHAR;
typedef ULONG DEVICE_TYPE;

typedef union _LARGE_INTEGER {
    struct { ULONG LowPart; LONG HighPart; };
    struct { ULONG LowPart; LONG HighPart; } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct { ULONG LowPart; ULONG HighPart; };
    struct { ULONG LowPart; ULONG HighPart; } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool operator==(const GUID& a, const GUID& b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL
#define MINLONG ((LONG)0x80000000)
#define MAXLONGLONG 0x7fffffffffffffffLL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)

#define RTL_CONSTANT_STRING(s) { sizeof(s) - sizeof((s)[0]), sizeof(s), (PWCH)(s) }
#define DECLARE_CONST_UNICODE_STRING(name, s) \
    const UNICODE_STRING name = { sizeof(s) - sizeof(WCHAR), sizeof(s), (PWCH)(s) }
#define DECLARE_UNICODE_STRING_SIZE(name, size) \
    WCHAR name##_buffer[size];                 \
    UNICODE_STRING name = { 0, (size) * sizeof(WCHAR), name##_buffer }

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);   \
        (p)->RootDirectory = (r);                  \
        (p)->Attributes = (a);                     \
        (p)->ObjectName = (n);                     \
        (p)->SecurityDescriptor = (s);             \
        (p)->SecurityQualityOfService = NULL;      \
    } while (0)
