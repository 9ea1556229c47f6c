/* Configuration manager: registry keys and values. */
#pragma once
#include "../ntdef.h"

/* Value types. */
#define REG_NONE                        0
#define REG_SZ                          1
#define REG_EXPAND_SZ                   2
#define REG_BINARY                      3
#define REG_DWORD                       4
#define REG_DWORD_LITTLE_ENDIAN         4
#define REG_DWORD_BIG_ENDIAN            5
#define REG_LINK                        6
#define REG_MULTI_SZ                    7
#define REG_RESOURCE_LIST               8
#define REG_FULL_RESOURCE_DESCRIPTOR    9
#define REG_RESOURCE_REQUIREMENTS_LIST  10
#define REG_QWORD                       11
#define REG_QWORD_LITTLE_ENDIAN         11

/* Access rights. */
#define DELETE                          0x00010000L
#define READ_CONTROL                    0x00020000L
#define WRITE_DAC                       0x00040000L
#define WRITE_OWNER                     0x00080000L
#define SYNCHRONIZE                     0x00100000L
#define STANDARD_RIGHTS_REQUIRED        0x000F0000L
#define STANDARD_RIGHTS_READ            READ_CONTROL
#define STANDARD_RIGHTS_WRITE           READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE         READ_CONTROL
#define STANDARD_RIGHTS_ALL             0x001F0000L
#define GENERIC_READ                    0x80000000L
#define GENERIC_WRITE                   0x40000000L
#define GENERIC_EXECUTE                 0x20000000L
#define GENERIC_ALL                     0x10000000L

#define KEY_QUERY_VALUE                 0x0001
#define KEY_SET_VALUE                   0x0002
#define KEY_CREATE_SUB_KEY              0x0004
#define KEY_ENUMERATE_SUB_KEYS          0x0008
#define KEY_NOTIFY                      0x0010
#define KEY_CREATE_LINK                 0x0020
#define KEY_WOW64_64KEY                 0x0100
#define KEY_WOW64_32KEY                 0x0200
#define KEY_READ  ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | \
                         KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) & ~SYNCHRONIZE)

/* ZwCreateKey options and dispositions. */
#define REG_OPTION_NON_VOLATILE         0x00000000L
#define REG_OPTION_VOLATILE             0x00000001L
#define REG_OPTION_CREATE_LINK          0x00000002L
#define REG_OPTION_BACKUP_RESTORE       0x00000004L
#define REG_OPTION_OPEN_LINK            0x00000008L
#define REG_CREATED_NEW_KEY             0x00000001L
#define REG_OPENED_EXISTING_KEY         0x00000002L

/* RtlXxxRegistry relative roots. */
#define RTL_REGISTRY_ABSOLUTE           0
#define RTL_REGISTRY_SERVICES           1
#define RTL_REGISTRY_CONTROL            2
#define RTL_REGISTRY_WINDOWS_NT         3
#define RTL_REGISTRY_DEVICEMAP          4
#define RTL_REGISTRY_USER               5
#define RTL_REGISTRY_MAXIMUM            6
#define RTL_REGISTRY_HANDLE             0x40000000
#define RTL_REGISTRY_OPTIONAL           0x80000000

#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED              ((NTSTATUS)0xC000017CL)
#endif

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
    KeyValueFullInformationAlign64,
    KeyValuePartialInformationAlign64,
    KeyValueLayerInformation,
    MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;   /* from the start of this structure */
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

C_ASSERT(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
C_ASSERT(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20);
C_ASSERT(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) == 12);

/*
 * Key handles are kernel handles. Kernel callers are not access-checked, as
 * on Windows for requests with a previous mode of KernelMode.
 */
EXTERN_C NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes);
EXTERN_C NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                              PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
EXTERN_C NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                  KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                  PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
EXTERN_C NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                ULONG Type, PVOID Data, ULONG DataSize);
EXTERN_C NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
EXTERN_C NTSTATUS ZwClose(HANDLE Handle);

EXTERN_C NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                        ULONG ValueType, PVOID ValueData, ULONG ValueLength);
EXTERN_C NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
EXTERN_C NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
EXTERN_C NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);
