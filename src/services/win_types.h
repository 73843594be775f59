// Windows-shaped scalar types, handles and codes that the library speaks at the
// platform seam. They keep the Win32 meaning so that a Win32 binding can pass
// them straight through; the POSIX stand-ins produce the same values.
#ifndef ZVT_SERVICES_WIN_TYPES_H_
#define ZVT_SERVICES_WIN_TYPES_H_

#include <cstdint>

namespace zvt {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using BYTE = std::uint8_t;
using BOOL = int;
using REGSAM = std::uint32_t;

struct HKEY__;
using HKEY = HKEY__*;  // registry key handle
struct HANDLE__;
using HANDLE = HANDLE__*;  // synchronisation object handle
struct HMODULE__;
using HMODULE = HMODULE__*;  // loaded module handle

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// Predefined registry roots (the Win32 values).
inline HKEY const kHKeyClassesRoot = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000u});
inline HKEY const kHKeyCurrentUser = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});

// Win32 error codes used across the seam.
inline constexpr LONG kErrorSuccess = 0;
inline constexpr LONG kErrorFileNotFound = 2;
inline constexpr LONG kErrorAccessDenied = 5;
inline constexpr LONG kErrorInvalidHandle = 6;
inline constexpr LONG kErrorNotEnoughMemory = 8;
inline constexpr LONG kErrorInvalidParameter = 87;
inline constexpr LONG kErrorInsufficientBuffer = 122;
inline constexpr LONG kErrorBusy = 170;
inline constexpr LONG kErrorMoreData = 234;
inline constexpr LONG kErrorNoMoreItems = 259;
inline constexpr LONG kErrorNotOwner = 288;
inline constexpr LONG kErrorModNotFound = 126;
inline constexpr LONG kErrorProcNotFound = 127;
inline constexpr LONG kErrorResourceNameNotFound = 1814;
inline constexpr LONG kErrorNoUnicodeTranslation = 1113;
inline constexpr LONG kErrorRegistryCorrupt = 1015;
inline constexpr LONG kErrorRegistryIoFailed = 1016;
inline constexpr LONG kErrorKeyDeleted = 1018;

// Registry value types.
inline constexpr DWORD kRegNone = 0;
inline constexpr DWORD kRegSz = 1;
inline constexpr DWORD kRegExpandSz = 2;
inline constexpr DWORD kRegBinary = 3;
inline constexpr DWORD kRegDword = 4;
inline constexpr DWORD kRegMultiSz = 7;
inline constexpr DWORD kRegQword = 11;

// Registry access rights.
inline constexpr REGSAM kKeyQueryValue = 0x0001;
inline constexpr REGSAM kKeySetValue = 0x0002;
inline constexpr REGSAM kKeyCreateSubKey = 0x0004;
inline constexpr REGSAM kKeyEnumerateSubKeys = 0x0008;
inline constexpr REGSAM kKeyRead = 0x20019;
inline constexpr REGSAM kKeyWrite = 0x20006;
inline constexpr REGSAM kKeyAllAccess = 0xF003F;

// CreateRegKeyEx dispositions.
inline constexpr DWORD kRegCreatedNewKey = 1;
inline constexpr DWORD kRegOpenedExistingKey = 2;

// Registry limits: key names up to 255 characters, value names up to 16383.
inline constexpr DWORD kMaxKeyNameChars = 255;
inline constexpr DWORD kMaxValueNameChars = 16383;

// Wait results and the "no time-out" value.
inline constexpr DWORD kInfinite = 0xFFFFFFFFu;
inline constexpr DWORD kWaitObject0 = 0x00000000u;
inline constexpr DWORD kWaitAbandoned = 0x00000080u;
inline constexpr DWORD kWaitTimeout = 0x00000102u;
inline constexpr DWORD kWaitFailed = 0xFFFFFFFFu;

// Code pages understood by the text service.
inline constexpr UINT kCpAcp = 0;        // the process's ANSI code page
inline constexpr UINT kCpThreadAcp = 3;  // the calling thread's ANSI code page
inline constexpr UINT kCpUtf8 = 65001;

}  // namespace zvt

#endif  // ZVT_SERVICES_WIN_TYPES_H_
