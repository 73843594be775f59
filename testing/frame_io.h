// Blocking frame I/O on a bare socket, for tests and fuzzers that play one
// side of the wire by hand (a relay, a scripted host). Time-outs are per
// call (0: none); each returns false with `*error` set on failure, time-out
// or a closed peer.
#ifndef ZVT_TESTING_FRAME_IO_H_
#define ZVT_TESTING_FRAME_IO_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "pgm/sockets.h"
#include "pgm/wire.h"

namespace zvt::testing {

bool WriteAll(sockets::Handle fd, std::string_view bytes, int timeout_ms, std::string* error);
// Reads exactly one frame and nothing after it.
bool ReadFrame(sockets::Handle fd, uint32_t max_frame, int timeout_ms, wire::Frame* frame,
               std::string* error);

}  // namespace zvt::testing

#endif  // ZVT_TESTING_FRAME_IO_H_
