// Run-time library strings, the registry (Rtl and Zw routines) and the device registry keys of
// the emulated platform, spelled as the WDK spells them.
#pragma once

#include "emu/kernel/wdk/ntdef.h"
#include "emu/kernel/wdk/ke.h"

struct _DEVICE_OBJECT;  // defined by io.h

#ifndef CONST
#define CONST const
#endif

// ---------------------------------------------------------------------------------------------
// Counted strings
// ---------------------------------------------------------------------------------------------
// Length and MaximumLength are in bytes; Buffer need not be terminated.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING;
typedef STRING ANSI_STRING;
typedef PSTRING PANSI_STRING;
typedef STRING OEM_STRING;
typedef PSTRING POEM_STRING;
typedef const STRING* PCSTRING;
typedef const STRING* PCANSI_STRING;
typedef const STRING* PCOEM_STRING;

// A counted string over an array: {bytes without the terminator, bytes with it, buffer}. As with
// the platform's headers, C++ needs a writable array (static WCHAR name[] = L"..."), not a
// literal.
#define RTL_CONSTANT_STRING(s) \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), s }

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString);

// Copies as much of Source as fits in Destination->MaximumLength (a null Source gives an empty
// string) and terminates the copy when there is room.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
// STATUS_BUFFER_TOO_SMALL when the result would not fit; the destination is then unchanged.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);

// Base 0 means 10; bases 2, 8, 10 and 16 are accepted. Digits in upper case. The result and its
// terminator must fit in MaximumLength, else STATUS_BUFFER_OVERFLOW and String is unchanged.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
// Leading white space, an optional sign and, with Base 0, a 0x/0o/0b prefix; stops at the first
// character that is not a digit of the base.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);

// Conversions between 16-bit and 8-bit strings through the Western European code page;
// characters it lacks become '?'. With AllocateDestinationString the result's buffer comes from
// paged pool under the platform's string tag and is released with RtlFreeAnsiString /
// RtlFreeUnicodeString (releasing another tag's buffer with them is POOL_FREED_WITH_WRONG_TAG);
// a failed allocation gives STATUS_NO_MEMORY. Otherwise the caller's buffer is used: an 8-bit
// result too long for it is cut to MaximumLength - 1 characters with STATUS_BUFFER_OVERFLOW; a
// 16-bit result that does not fit with its terminator gives STATUS_BUFFER_OVERFLOW and leaves
// the destination unchanged.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// ---------------------------------------------------------------------------------------------
// Access rights, value types and object attributes
// ---------------------------------------------------------------------------------------------
typedef ACCESS_MASK* PACCESS_MASK;

#ifndef DELETE
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define MAXIMUM_ALLOWED 0x02000000L
#endif

#define KEY_QUERY_VALUE (0x0001)
#define KEY_SET_VALUE (0x0002)
#define KEY_CREATE_SUB_KEY (0x0004)
#define KEY_ENUMERATE_SUB_KEYS (0x0008)
#define KEY_NOTIFY (0x0010)
#define KEY_CREATE_LINK (0x0020)
#define KEY_READ                                                                      \
    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & \
     (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                             \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | \
      KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                     \
     (~SYNCHRONIZE))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

#define REG_OPTION_RESERVED (0x00000000L)
#define REG_OPTION_NON_VOLATILE (0x00000000L)
#define REG_OPTION_VOLATILE (0x00000001L)
#define REG_OPTION_CREATE_LINK (0x00000002L)
#define REG_OPTION_BACKUP_RESTORE (0x00000004L)
#define REG_OPTION_OPEN_LINK (0x00000008L)
#define REG_CREATED_NEW_KEY (0x00000001L)
#define REG_OPENED_EXISTING_KEY (0x00000002L)

#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#endif

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;  // a key handle: ObjectName is then relative to that key
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    {                                             \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    }

// ---------------------------------------------------------------------------------------------
// Zw registry routines (PASSIVE_LEVEL)
// ---------------------------------------------------------------------------------------------
typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
    KeyValueFullInformationAlign64,
    KeyValuePartialInformationAlign64,
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
    ULONG DataOffset;  // from the start of the record
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

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition);
// As the platform does: a buffer too small for the fixed part of the record gives
// STATUS_BUFFER_TOO_SMALL; one that holds the fixed part but not the whole record gives
// STATUS_BUFFER_OVERFLOW with the fixed part filled in. ResultLength always receives the size
// of the whole record.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
NTSTATUS ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------------------------
// Rtl registry routines (PASSIVE_LEVEL)
// ---------------------------------------------------------------------------------------------
#define RTL_REGISTRY_ABSOLUTE 0    // Path is a full path: \Registry\...
#define RTL_REGISTRY_SERVICES 1    // \Registry\Machine\System\CurrentControlSet\Services
#define RTL_REGISTRY_CONTROL 2     // \Registry\Machine\System\CurrentControlSet\Control
#define RTL_REGISTRY_WINDOWS_NT 3  // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
#define RTL_REGISTRY_DEVICEMAP 4   // \Registry\Machine\Hardware\DeviceMap
#define RTL_REGISTRY_USER 5        // \Registry\User\.Default
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000    // Path is a key handle
#define RTL_REGISTRY_OPTIONAL 0x80000000  // a relative Path may be null: the root itself

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PCWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// The table ends with an entry that has no QueryRoutine and neither RTL_QUERY_REGISTRY_DIRECT
// nor RTL_QUERY_REGISTRY_SUBKEY (an all-zero entry). A SUBKEY entry names a key relative to
// Path and applies to the entries after it until TOPKEY or the next SUBKEY. An entry with no
// Name hands every value of the key to its QueryRoutine (with NOVALUE: one call, no value).
// Without NOEXPAND a REG_MULTI_SZ reaches a QueryRoutine one string at a time as REG_SZ.
//
// RTL_QUERY_REGISTRY_DIRECT stores the value in EntryContext: REG_DWORD into a ULONG; REG_SZ,
// REG_EXPAND_SZ and REG_MULTI_SZ into a UNICODE_STRING (whose buffer the query allocates from
// paged pool when it is null; otherwise the value must fit in MaximumLength, else
// STATUS_BUFFER_TOO_SMALL); other types, and values longer than 4 bytes, into a buffer whose
// first LONG holds its size in bytes on entry (negative: the size, and the data goes at the
// start; positive and large enough: the first ULONG receives the length, the second the type,
// the data follows). A missing value uses DefaultType/DefaultData/DefaultLength (a
// DefaultLength of 0 for a string type means "up to the terminator"); a missing value with
// DefaultType REG_NONE is skipped, or fails with STATUS_OBJECT_NAME_NOT_FOUND when the entry
// has RTL_QUERY_REGISTRY_REQUIRED.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment);
// Creates the key when it does not exist (its parent must exist); write faults set with
// emu::RegistryFailNextWrite apply.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);

// ---------------------------------------------------------------------------------------------
// Device registry keys
// ---------------------------------------------------------------------------------------------
#define PLUGPLAY_REGKEY_DEVICE 1  // the device's hardware key ("Device Parameters")
#define PLUGPLAY_REGKEY_DRIVER 2  // the device's software (driver) key
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// Opens (creating it if needed) the hardware or software key of a physical device object. The
// key lives under the path the bus gave the device (emu::SetDeviceKeyPath); a device object
// that was given none gets a path of its own derived from its address.
NTSTATUS IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT* DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
