/* zvtappad: is an administered function denied to the user signed on to a
 * host system? Five exported functions answer it, for C and C++ callers.
 *
 * Strings are narrow, zero-terminated, in the calling thread's locale code
 * set; a null, overlong or unconvertible string is taken as the empty one.
 * Every function returns 0 on success; any other value is a code of the
 * client services or the registry, or 1 for the library's own failures.
 * Outputs are written only on success. */
#ifndef ZVTAPPAD_ZVTAPPAD_H_
#define ZVTAPPAD_ZVTAPPAD_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZVTAPPAD_EXPORT /* the module-definition file lists the exports */
#elif defined(ZVTAPPAD_BUILDING)
#define ZVTAPPAD_EXPORT __attribute__((visibility("default")))
#else
#define ZVTAPPAD_EXPORT
#endif

/* Admin values. */
#define ZVTAPPAD_NOT_DENIED 0u
#define ZVTAPPAD_DENIED 1u
/* Cache states. */
#define ZVTAPPAD_CACHE_CURRENT 0u       /* or nothing to compare */
#define ZVTAPPAD_CACHE_NOT_SIGNED_ON 1u /* the handle has no signed-on connection */
#define ZVTAPPAD_CACHE_STALE 2u

/* Ordinals of the exports. */
#define ZVTAPPAD_ORDINAL_GET_ADMIN_VALUE 1u
#define ZVTAPPAD_ORDINAL_GET_ADMIN_CACHE_STATE 2u
#define ZVTAPPAD_ORDINAL_GET_ADMIN_VALUE_EX 14u
#define ZVTAPPAD_ORDINAL_GET_ADMIN_CACHE_STATE_EX 15u
#define ZVTAPPAD_ORDINAL_GET_ADMIN_VALUE_BYPASS 16u

/* Ordinal 1: the admin value of `function_id` for the user signed on to the
 * system named `system_name`. When no system handle can be had for the name,
 * returns 0 and writes nothing. */
ZVTAPPAD_EXPORT uint32_t zvtUN_GetAdminValue(const char* system_name, const char* function_id,
                                             uint32_t* admin_value);
/* Ordinal 2: whether the persistent cache is current for that system and user. */
ZVTAPPAD_EXPORT uint32_t zvtUN_GetAdminCacheState(const char* system_name, uint32_t* cache_state);
/* Ordinals 14 and 15: the same for a system handle of the client services
 * (see zvtsvc_GetSystemHandle in zvtclient.h), read through the pointer. */
ZVTAPPAD_EXPORT uint32_t zvtUN_GetAdminValueEx(const uint64_t* system_handle,
                                               const char* function_id, uint32_t* admin_value);
ZVTAPPAD_EXPORT uint32_t zvtUN_GetAdminCacheStateEx(const uint64_t* system_handle,
                                                    uint32_t* cache_state);

/* Ordinal 16 has no exported name: the admin value through the lookup that
 * keeps answering when the persistent cache cannot be used. Reach it through
 * the ordinal table below. */
typedef uint32_t (*zvtUN_GetAdminValueBypass_t)(const uint64_t* system_handle,
                                                const char* function_id, uint32_t* admin_value);

/* The library's ordinal table, exported as the data symbol
 * "zvt_ordinal_table": (ordinal, entry) pairs ending with ordinal 0. */
typedef struct zvtappad_OrdinalEntry {
  uint16_t ordinal;
  void (*entry)(void);
} zvtappad_OrdinalEntry;
#define ZVTAPPAD_ORDINAL_TABLE_SYMBOL "zvt_ordinal_table"

#ifdef __cplusplus
}
#endif

#endif /* ZVTAPPAD_ZVTAPPAD_H_ */
