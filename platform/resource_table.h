/* The binary interface of resource libraries and ordinal tables. A resource
 * library is a shared object exporting `zvt_string_table`; a library whose
 * entries are called by ordinal exports `zvt_ordinal_table`. Both tables end
 * with an entry whose number is 0. C-compatible for plug-in authors. */
#ifndef ZVT_PLATFORM_RESOURCE_TABLE_H_
#define ZVT_PLATFORM_RESOURCE_TABLE_H_

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZvtStringEntry {
  uint32_t id;
  const char16_t* text; /* UTF-16, NUL-terminated */
} ZvtStringEntry;

typedef struct ZvtOrdinalEntry {
  uint16_t ordinal;
  void (*function)(void);
} ZvtOrdinalEntry;

#define ZVT_STRING_TABLE_SYMBOL "zvt_string_table"
#define ZVT_ORDINAL_TABLE_SYMBOL "zvt_ordinal_table"

#ifdef __cplusplus
}
#endif

#endif /* ZVT_PLATFORM_RESOURCE_TABLE_H_ */
