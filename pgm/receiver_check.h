// Checks a receiver variable that came back from a host program against its
// description before any of it is handed to the caller. A host that frames
// its reply correctly can still describe entries that are not there; this is
// where such a reply becomes a failed call. Stateless; safe on any thread.
#ifndef ZVT_PGM_RECEIVER_CHECK_H_
#define ZVT_PGM_RECEIVER_CHECK_H_

#include <cstdint>
#include <string>

#include "pgm/data_object.h"

namespace zvt::pgm {

// `record` holds the decoded receiver, `received` the bytes the host sent for
// it and `sent_length` the receiver length the call announced. Every receiver
// format of the host starts with two binary fields, bytes returned and bytes
// available; a list receiver then has, after a filler up to the offset in one
// of its fields, an array whose count and entry length are in others.
//
// The receiver is sound when:
//   - the bytes received cover its fixed fields (those before a filler or array);
//   - bytes returned cover the fixed fields too, and lie within both the bytes
//     received and the announced receiver length; bytes available are at
//     least bytes returned;
//   - a filler's offset is at least the filler's own position (the header) and
//     within the bytes returned;
//   - an array that holds entries has an entry length of at least the described
//     entry, and ends (offset + count x entry length) exactly where the bytes
//     returned end: neither more entries than bytes nor more bytes than entries.
// On failure returns false with `*why` saying what was wrong.
bool CheckReceiver(const Record& record, uint64_t received, uint64_t sent_length, std::string* why);

}  // namespace zvt::pgm

#endif  // ZVT_PGM_RECEIVER_CHECK_H_
