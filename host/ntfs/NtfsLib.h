// The one way the host platform includes libntfs-3g. The library's headers need the configuration macros of its
// own build (ntfstime.h does not compile without them), define min/max macros that break the standard library, and
// reuse Windows names with other types; this header deals with all three. Include it after the C++ headers a file
// needs.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>

// What the Debian build of libntfs-3g was configured with, as far as its public headers look at it.
#define HAVE_BYTESWAP_H 1
#define HAVE_CLOCK_GETTIME 1
#define HAVE_ENDIAN_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FFS 1
#define HAVE_DAEMON 1
#define HAVE_GETTIMEOFDAY 1
#define HAVE_REALPATH 1
#define HAVE_SETXATTR 1
#define HAVE_STDARG_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDIO_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_STRSEP 1
#define HAVE_SYS_PARAM_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_XATTR_H 1
#define HAVE_TIME_H 1
// These two change structure layouts (ntfs_volume, the security context); the shared library was built with both.
#define POSIXACLS 1
#define XATTR_MAPPINGS 1

// The library's on-disk definitions reuse Windows names that platform/NativeApi.h defines with other types (the
// access rights as an enum of little-endian values, for one). Inside the library headers they are renamed with an
// NTFS_ prefix, so both can be included in one file: the library's volume flag is NTFS_VOLUME_IS_DIRTY, its access
// mask NTFS_ACCESS_MASK. A name NativeApi.h gains later that the library also uses gets a line here.
#define ACCESS_MASK NTFS_ACCESS_MASK
#define FILE_READ_DATA NTFS_FILE_READ_DATA
#define FILE_LIST_DIRECTORY NTFS_FILE_LIST_DIRECTORY
#define FILE_WRITE_DATA NTFS_FILE_WRITE_DATA
#define FILE_ADD_FILE NTFS_FILE_ADD_FILE
#define FILE_APPEND_DATA NTFS_FILE_APPEND_DATA
#define FILE_ADD_SUBDIRECTORY NTFS_FILE_ADD_SUBDIRECTORY
#define FILE_READ_EA NTFS_FILE_READ_EA
#define FILE_WRITE_EA NTFS_FILE_WRITE_EA
#define FILE_EXECUTE NTFS_FILE_EXECUTE
#define FILE_TRAVERSE NTFS_FILE_TRAVERSE
#define FILE_DELETE_CHILD NTFS_FILE_DELETE_CHILD
#define FILE_READ_ATTRIBUTES NTFS_FILE_READ_ATTRIBUTES
#define FILE_WRITE_ATTRIBUTES NTFS_FILE_WRITE_ATTRIBUTES
#define DELETE NTFS_DELETE
#define READ_CONTROL NTFS_READ_CONTROL
#define WRITE_DAC NTFS_WRITE_DAC
#define WRITE_OWNER NTFS_WRITE_OWNER
#define SYNCHRONIZE NTFS_SYNCHRONIZE
#define STANDARD_RIGHTS_READ NTFS_STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_WRITE NTFS_STANDARD_RIGHTS_WRITE
#define STANDARD_RIGHTS_EXECUTE NTFS_STANDARD_RIGHTS_EXECUTE
#define STANDARD_RIGHTS_REQUIRED NTFS_STANDARD_RIGHTS_REQUIRED
#define STANDARD_RIGHTS_ALL NTFS_STANDARD_RIGHTS_ALL
#define ACCESS_SYSTEM_SECURITY NTFS_ACCESS_SYSTEM_SECURITY
#define MAXIMUM_ALLOWED NTFS_MAXIMUM_ALLOWED
#define GENERIC_ALL NTFS_GENERIC_ALL
#define GENERIC_EXECUTE NTFS_GENERIC_EXECUTE
#define GENERIC_WRITE NTFS_GENERIC_WRITE
#define GENERIC_READ NTFS_GENERIC_READ
#define GUID NTFS_GUID
#define VOLUME_IS_DIRTY NTFS_VOLUME_IS_DIRTY

extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/bootsect.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/mft.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

#undef min
#undef max
#undef ACCESS_MASK
#undef FILE_READ_DATA
#undef FILE_LIST_DIRECTORY
#undef FILE_WRITE_DATA
#undef FILE_ADD_FILE
#undef FILE_APPEND_DATA
#undef FILE_ADD_SUBDIRECTORY
#undef FILE_READ_EA
#undef FILE_WRITE_EA
#undef FILE_EXECUTE
#undef FILE_TRAVERSE
#undef FILE_DELETE_CHILD
#undef FILE_READ_ATTRIBUTES
#undef FILE_WRITE_ATTRIBUTES
#undef DELETE
#undef READ_CONTROL
#undef WRITE_DAC
#undef WRITE_OWNER
#undef SYNCHRONIZE
#undef STANDARD_RIGHTS_READ
#undef STANDARD_RIGHTS_WRITE
#undef STANDARD_RIGHTS_EXECUTE
#undef STANDARD_RIGHTS_REQUIRED
#undef STANDARD_RIGHTS_ALL
#undef ACCESS_SYSTEM_SECURITY
#undef MAXIMUM_ALLOWED
#undef GENERIC_ALL
#undef GENERIC_EXECUTE
#undef GENERIC_WRITE
#undef GENERIC_READ
#undef GUID
#undef VOLUME_IS_DIRTY
