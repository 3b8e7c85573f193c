// The native API as this system uses it: the types, constants, status codes and ntdll calls it needs, under their
// real names and with their real x64 layouts. On Windows the calls bind to ntdll.dll; on the Linux host they bind to
// our own implementation of the same calls. System code includes this header and nothing platform-specific.
#pragma once

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#define NTAPI __stdcall
// ntdll's wide C functions take 16-bit characters; the toolchain's own headers declare them with wchar_t, so they
// are reached under an alias name bound to the exported symbol.
#define SX_NTDLL_ALIAS(symbol) __asm__(symbol)
#else
#define NTAPI
#define SX_NTDLL_ALIAS(symbol)
#endif

// ---------------------------------------------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------------------------------------------

using CHAR = char;
using WCHAR = char16_t;
using UCHAR = std::uint8_t;
using BOOLEAN = UCHAR;
using CSHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using PVOID = void*;
using HANDLE = void*;
using NTSTATUS = LONG;
using CCHAR = char;
using ACCESS_MASK = ULONG;

static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct UNICODE_STRING {
  USHORT Length;  // in bytes, without terminator
  USHORT MaximumLength;
  WCHAR* Buffer;
};

struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  CHAR* Buffer;
};

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  UNICODE_STRING* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "x64 layout");

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};

struct TIME_FIELDS {
  CSHORT Year;
  CSHORT Month;
  CSHORT Day;
  CSHORT Hour;
  CSHORT Minute;
  CSHORT Second;
  CSHORT Milliseconds;
  CSHORT Weekday;
};

// The enumerations have a fixed type so that any value a caller passes is well defined to test.
enum EVENT_TYPE : int { NotificationEvent, SynchronizationEvent };
enum WAIT_TYPE : int { WaitAll, WaitAny };
enum PROCESSINFOCLASS : int { ProcessDefaultHardErrorMode = 12 };
enum FILE_INFORMATION_CLASS : int {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation = 2,
  FileBothDirectoryInformation = 3,
  FileNamesInformation = 12,
  FileIdBothDirectoryInformation = 37
};
enum FS_INFORMATION_CLASS : int { FileFsAttributeInformation = 5 };
enum KEY_VALUE_INFORMATION_CLASS : int {
  KeyValueBasicInformation,
  KeyValueFullInformation,
  KeyValuePartialInformation
};

using PIO_APC_ROUTINE = void(NTAPI*)(PVOID ApcContext, IO_STATUS_BLOCK* IoStatusBlock, ULONG Reserved);
using PUSER_THREAD_START_ROUTINE = NTSTATUS(NTAPI*)(PVOID ThreadParameter);

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;
  WCHAR Name[1];
};

struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of the record; 0 when there is no data
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
};

struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};

// What file system a volume holds ("NTFS"); the name has no terminator.
struct FILE_FS_ATTRIBUTE_INFORMATION {
  ULONG FileSystemAttributes;
  LONG MaximumComponentNameLength;
  ULONG FileSystemNameLength;
  WCHAR FileSystemName[1];
};
static_assert(offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12, "x64 layout");

// NtQueryDirectoryFile's entries. Each starts on an 8-byte boundary; NextEntryOffset is 0 in the last one. The
// times are NT times (100 ns since 1601), FileNameLength is in bytes and the name has no terminator.
struct FILE_DIRECTORY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64, "x64 layout");

struct FILE_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileName) == 68, "x64 layout");

struct FILE_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;  // in bytes; 0 when the name is its own short name
  WCHAR ShortName[12];
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileName) == 94, "x64 layout");

struct FILE_ID_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;
  WCHAR ShortName[12];
  LARGE_INTEGER FileId;  // the MFT reference, as FileInternalInformation gives it
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) == 104, "x64 layout");

struct FILE_NAMES_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
static_assert(offsetof(FILE_NAMES_INFORMATION, FileName) == 12, "x64 layout");

struct LUID {
  ULONG LowPart;
  LONG HighPart;
};

#pragma pack(push, 4)
struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  ULONG Attributes;
};
#pragma pack(pop)

struct TOKEN_PRIVILEGES {
  ULONG PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};

// Process startup records, declared up to the last field the system reads.
struct CURDIR {
  UNICODE_STRING DosPath;
  HANDLE Handle;
};

struct RTL_USER_PROCESS_PARAMETERS {
  ULONG MaximumLength;
  ULONG Length;
  ULONG Flags;
  ULONG DebugFlags;
  HANDLE ConsoleHandle;
  ULONG ConsoleFlags;
  HANDLE StandardInput;
  HANDLE StandardOutput;
  HANDLE StandardError;
  CURDIR CurrentDirectory;
  UNICODE_STRING DllPath;
  UNICODE_STRING ImagePathName;
  UNICODE_STRING CommandLine;
};
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine) == 0x70, "x64 layout");

struct PEB {
  BOOLEAN InheritedAddressSpace;
  BOOLEAN ReadImageFileExecOptions;
  BOOLEAN BeingDebugged;
  BOOLEAN BitField;
  HANDLE Mutant;
  PVOID ImageBaseAddress;
  PVOID Ldr;
  RTL_USER_PROCESS_PARAMETERS* ProcessParameters;
  PVOID SubSystemData;
  PVOID ProcessHeap;
};
static_assert(offsetof(PEB, ProcessParameters) == 0x20 && offsetof(PEB, ProcessHeap) == 0x30, "x64 layout");

// File-system control buffers.
struct STARTING_LCN_INPUT_BUFFER {
  LARGE_INTEGER StartingLcn;
};

struct VOLUME_BITMAP_BUFFER {
  LARGE_INTEGER StartingLcn;
  LARGE_INTEGER BitmapSize;
  UCHAR Buffer[1];
};

struct STARTING_VCN_INPUT_BUFFER {
  LARGE_INTEGER StartingVcn;
};

struct RETRIEVAL_POINTERS_BUFFER {
  ULONG ExtentCount;
  LARGE_INTEGER StartingVcn;
  struct {
    LARGE_INTEGER NextVcn;
    LARGE_INTEGER Lcn;
  } Extents[1];
};

struct MOVE_FILE_DATA {
  HANDLE FileHandle;
  LARGE_INTEGER StartingVcn;
  LARGE_INTEGER StartingLcn;
  ULONG ClusterCount;
};
static_assert(sizeof(MOVE_FILE_DATA) == 32, "x64 layout");

struct NTFS_VOLUME_DATA_BUFFER {
  LARGE_INTEGER VolumeSerialNumber;
  LARGE_INTEGER NumberSectors;
  LARGE_INTEGER TotalClusters;
  LARGE_INTEGER FreeClusters;
  LARGE_INTEGER TotalReserved;
  ULONG BytesPerSector;
  ULONG BytesPerCluster;
  ULONG BytesPerFileRecordSegment;
  ULONG ClustersPerFileRecordSegment;
  LARGE_INTEGER MftValidDataLength;
  LARGE_INTEGER MftStartLcn;
  LARGE_INTEGER Mft2StartLcn;
  LARGE_INTEGER MftZoneStart;
  LARGE_INTEGER MftZoneEnd;
};
static_assert(sizeof(NTFS_VOLUME_DATA_BUFFER) == 96, "x64 layout");

struct KEYBOARD_INPUT_DATA {
  USHORT UnitId;
  USHORT MakeCode;
  USHORT Flags;
  USHORT Reserved;
  ULONG ExtraInformation;
};
static_assert(sizeof(KEYBOARD_INPUT_DATA) == 12, "x64 layout");

// ---------------------------------------------------------------------------------------------------------------
// Status codes and the two status tests
// ---------------------------------------------------------------------------------------------------------------

constexpr NTSTATUS MakeStatus(ULONG value) { return static_cast<NTSTATUS>(value); }

constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_WAIT_0 = 0x00000000;
constexpr NTSTATUS STATUS_ABANDONED_WAIT_0 = 0x00000080;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = 0x40000000;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = MakeStatus(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_FILES = MakeStatus(0x80000006);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = MakeStatus(0x8000001A);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = MakeStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = MakeStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = MakeStatus(0xC0000003);
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = MakeStatus(0xC0000004);
constexpr NTSTATUS STATUS_ACCESS_VIOLATION = MakeStatus(0xC0000005);
constexpr NTSTATUS STATUS_INVALID_HANDLE = MakeStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = MakeStatus(0xC000000D);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_1 = MakeStatus(0xC00000EF);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_3 = MakeStatus(0xC00000F1);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = MakeStatus(0xC000000E);
constexpr NTSTATUS STATUS_NO_SUCH_FILE = MakeStatus(0xC000000F);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = MakeStatus(0xC0000010);
constexpr NTSTATUS STATUS_END_OF_FILE = MakeStatus(0xC0000011);
constexpr NTSTATUS STATUS_NO_MEMORY = MakeStatus(0xC0000017);
constexpr NTSTATUS STATUS_ALREADY_COMMITTED = MakeStatus(0xC0000021);
constexpr NTSTATUS STATUS_ACCESS_DENIED = MakeStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = MakeStatus(0xC0000024);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = MakeStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = MakeStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = MakeStatus(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_INVALID = MakeStatus(0xC0000039);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = MakeStatus(0xC000003A);
constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = MakeStatus(0xC000003B);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = MakeStatus(0xC0000043);
constexpr NTSTATUS STATUS_MUTANT_NOT_OWNED = MakeStatus(0xC0000046);
constexpr NTSTATUS STATUS_DELETE_PENDING = MakeStatus(0xC0000056);
constexpr NTSTATUS STATUS_PRIVILEGE_NOT_HELD = MakeStatus(0xC0000061);
constexpr NTSTATUS STATUS_DISK_FULL = MakeStatus(0xC000007F);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC000009A);
constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = MakeStatus(0xC00000A2);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = MakeStatus(0xC00000BA);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = MakeStatus(0xC00000BB);
constexpr NTSTATUS STATUS_INTERNAL_ERROR = MakeStatus(0xC00000E5);
constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = MakeStatus(0xC0000103);
constexpr NTSTATUS STATUS_CANCELLED = MakeStatus(0xC0000120);
constexpr NTSTATUS STATUS_CANNOT_DELETE = MakeStatus(0xC0000121);
constexpr NTSTATUS STATUS_FILE_DELETED = MakeStatus(0xC0000123);
constexpr NTSTATUS STATUS_DIRECTORY_NOT_EMPTY = MakeStatus(0xC0000101);
constexpr NTSTATUS STATUS_FILE_CORRUPT_ERROR = MakeStatus(0xC0000102);
constexpr NTSTATUS STATUS_FILE_TOO_LARGE = MakeStatus(0xC0000904);
constexpr NTSTATUS STATUS_NOT_ALL_ASSIGNED = 0x00000106;

// A failure: any negative status, warnings included.
constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
// An error: both top bits set. Warnings such as STATUS_BUFFER_OVERFLOW are not errors.
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// ---------------------------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------------------------

constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_LIST_DIRECTORY = 0x0001;  // FILE_READ_DATA, as a directory understands it
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_READ_EA = 0x0008;
constexpr ACCESS_MASK FILE_WRITE_EA = 0x0010;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr ACCESS_MASK FILE_GENERIC_READ_WRITE = 0x0012019F;
constexpr ACCESS_MASK EVENT_ALL_ACCESS = 0x001F0003;
constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x001F01FF;
constexpr ACCESS_MASK MUTANT_ALL_ACCESS = 0x001F0001;
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_READ = 0x00020019;
constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;
constexpr ACCESS_MASK TOKEN_QUERY = 0x0008;
constexpr ACCESS_MASK TOKEN_QUERY_SOURCE = 0x0010;
constexpr ACCESS_MASK TOKEN_ADJUST_PRIVILEGES = 0x0020;

constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_OPENIF = 0x00000080;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr ULONG FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr ULONG FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr ULONG FILE_SHARE_READ = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_SHARE_DELETE = 0x00000004;

constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_OVERWRITE_IF = 5;

constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;
constexpr ULONG FILE_DELETE_ON_CLOSE = 0x00001000;

// IO_STATUS_BLOCK.Information after NtCreateFile.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;

constexpr ULONG FSCTL_GET_NTFS_VOLUME_DATA = 0x00090064;
constexpr ULONG FSCTL_GET_VOLUME_BITMAP = 0x0009006F;
constexpr ULONG FSCTL_GET_RETRIEVAL_POINTERS = 0x00090073;
constexpr ULONG FSCTL_MOVE_FILE = 0x00090074;

constexpr USHORT KEY_MAKE = 0;
constexpr USHORT KEY_BREAK = 1;
constexpr USHORT KEY_E0 = 2;
constexpr USHORT KEY_E1 = 4;

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;

constexpr ULONG SE_RESTORE_PRIVILEGE = 18;
constexpr ULONG SE_PRIVILEGE_ENABLED = 0x00000002;

constexpr ULONG HEAP_ZERO_MEMORY = 0x00000008;

inline HANDLE NtCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
inline HANDLE NtCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

// ---------------------------------------------------------------------------------------------------------------
// Native calls
// ---------------------------------------------------------------------------------------------------------------

extern "C" {

// Files and devices
NTSTATUS NTAPI NtCreateFile(HANDLE* FileHandle, ACCESS_MASK DesiredAccess, OBJECT_ATTRIBUTES* ObjectAttributes,
                            IO_STATUS_BLOCK* IoStatusBlock, LARGE_INTEGER* AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);
NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          IO_STATUS_BLOCK* IoStatusBlock, PVOID Buffer, ULONG Length, LARGE_INTEGER* ByteOffset,
                          ULONG* Key);
NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                           IO_STATUS_BLOCK* IoStatusBlock, PVOID Buffer, ULONG Length, LARGE_INTEGER* ByteOffset,
                           ULONG* Key);
// Lists the directory `FileHandle` opened: the first call (or one with RestartScan) from its start, each later one
// on from where the previous stopped. The mask of the first call (* and ? wildcards, any case) holds for the handle.
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    IO_STATUS_BLOCK* IoStatusBlock, PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                                    UNICODE_STRING* FileName, BOOLEAN RestartScan);
NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle, IO_STATUS_BLOCK* IoStatusBlock, PVOID FsInformation,
                                            ULONG Length, FS_INFORMATION_CLASS FsInformationClass);
NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, IO_STATUS_BLOCK* IoStatusBlock);
NTSTATUS NTAPI NtDeleteFile(OBJECT_ATTRIBUTES* ObjectAttributes);
NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, IO_STATUS_BLOCK* IoStatusBlock);
NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               IO_STATUS_BLOCK* IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
NTSTATUS NTAPI NtClose(HANDLE Handle);

// Synchronisation
NTSTATUS NTAPI NtCreateEvent(HANDLE* EventHandle, ACCESS_MASK DesiredAccess, OBJECT_ATTRIBUTES* ObjectAttributes,
                             EVENT_TYPE EventType, BOOLEAN InitialState);
NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, LONG* PreviousState);
NTSTATUS NTAPI NtClearEvent(HANDLE EventHandle);
NTSTATUS NTAPI NtCreateMutant(HANDLE* MutantHandle, ACCESS_MASK DesiredAccess, OBJECT_ATTRIBUTES* ObjectAttributes,
                              BOOLEAN InitialOwner);
NTSTATUS NTAPI NtReleaseMutant(HANDLE MutantHandle, LONG* PreviousCount);
NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, LARGE_INTEGER* Timeout);
NTSTATUS NTAPI NtWaitForMultipleObjects(ULONG Count, HANDLE* Handles, WAIT_TYPE WaitType, BOOLEAN Alertable,
                                        LARGE_INTEGER* Timeout);

// Threads and the process
NTSTATUS NTAPI RtlCreateUserThread(HANDLE Process, PVOID SecurityDescriptor, BOOLEAN CreateSuspended,
                                   ULONG StackZeroBits, SIZE_T StackReserve, SIZE_T StackCommit,
                                   PUSER_THREAD_START_ROUTINE StartAddress, PVOID Parameter, HANDLE* Thread,
                                   CLIENT_ID* ClientId);
NTSTATUS NTAPI NtTerminateThread(HANDLE ThreadHandle, NTSTATUS ExitStatus);
NTSTATUS NTAPI NtTerminateProcess(HANDLE ProcessHandle, NTSTATUS ExitStatus);
NTSTATUS NTAPI NtSetInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                       PVOID ProcessInformation, ULONG ProcessInformationLength);
RTL_USER_PROCESS_PARAMETERS* NTAPI RtlNormalizeProcessParams(RTL_USER_PROCESS_PARAMETERS* Parameters);

// Registry and privileges
NTSTATUS NTAPI NtOpenKey(HANDLE* KeyHandle, ACCESS_MASK DesiredAccess, OBJECT_ATTRIBUTES* ObjectAttributes);
NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, ULONG* ResultLength);
NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize);
NTSTATUS NTAPI NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess, HANDLE* TokenHandle);
NTSTATUS NTAPI NtAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges, TOKEN_PRIVILEGES* NewState,
                                       ULONG BufferLength, TOKEN_PRIVILEGES* PreviousState, ULONG* ReturnLength);

// Time and the boot screen
NTSTATUS NTAPI NtQuerySystemTime(LARGE_INTEGER* SystemTime);
void NTAPI RtlTimeToTimeFields(LARGE_INTEGER* Time, TIME_FIELDS* TimeFields);
NTSTATUS NTAPI NtDisplayString(UNICODE_STRING* String);

// Strings and the heap
void NTAPI RtlInitUnicodeString(UNICODE_STRING* DestinationString, const WCHAR* SourceString);
void NTAPI RtlInitAnsiString(ANSI_STRING* DestinationString, const CHAR* SourceString);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(UNICODE_STRING* DestinationString, const ANSI_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(ANSI_STRING* DestinationString, const UNICODE_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString);
void NTAPI RtlFreeUnicodeString(UNICODE_STRING* UnicodeString);
void NTAPI RtlFreeAnsiString(ANSI_STRING* AnsiString);
PVOID NTAPI RtlAllocateHeap(PVOID HeapHandle, ULONG Flags, SIZE_T Size);
BOOLEAN NTAPI RtlFreeHeap(PVOID HeapHandle, ULONG Flags, PVOID BaseAddress);

// ntdll's C library exports with Microsoft's printf conversions ("%S" wide string, "%C" wide character,
// "%I64d"). The vsnprintf form writes no terminator when the text exactly fills the buffer and returns -1 when it
// does not fit. The toolchain's own headers declare these names differently (msvcrt imports, wchar_t), so the
// system reaches them under alias names bound to ntdll's symbols.
int NtdllSnprintf(char* buffer, size_t count, const char* format, ...) SX_NTDLL_ALIAS("_snprintf");
int NtdllVsnprintf(char* buffer, size_t count, const char* format, va_list args) SX_NTDLL_ALIAS("_vsnprintf");
int NtdllSnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) SX_NTDLL_ALIAS("_snwprintf");

}  // extern "C"
// memcpy, memmove, memset, memcmp, atoi and toupper come from <cstring>, <cstdlib> and <cctype>; on Windows they
// resolve to ntdll's exports of the same names.
