// The host programs that clients call: "KLIB/KRFNLST" (the function list,
// format "LSTA0100"), "KLIB/KRUSRFN" (a profile's usage, "USGA0100") and
// "KLIB/KRCHGTS" (the change timestamps, "TSTA0100"). Each takes the
// parameters of a call as bytes and answers with the output parameters or
// with host messages; no input can make one read outside what it was given.
#ifndef ZVT_HOSTD_HOST_PROGRAMS_H_
#define ZVT_HOSTD_HOST_PROGRAMS_H_

#include <cstdint>
#include <string>

#include "hostd/host_store.h"
#include "pgm/wire.h"

namespace zvt::hostd {

inline constexpr uint32_t kListHeaderLength = 40;
inline constexpr uint32_t kFunctionEntryLength = 1495;
inline constexpr uint32_t kUsageEntryLength = 32;
inline constexpr uint32_t kTimestampsLength = 32;

// The message a program answers with when the store fails it.
inline constexpr char kInternalFailureMessage[] = "CPF9999";

// Runs `call` for the signed-on profile `user` against `store`. The pages
// of the lists it reads are kept in what the store holds in memory, under
// the change timestamps they depend on, and answered from there while
// those are current.
wire::CallReply RunProgram(HostStore* store, const std::string& user, const wire::Call& call);

// Answers `call` as RunProgram would when the store holds in memory what
// the answer needs (HostStore::held): the caller's own timestamps, a page
// of its own usage list, a page of the function list; never waiting on the
// store. False, with `*reply` untouched, for any other call and for one
// RunProgram would refuse (RunProgram answers those).
bool AnswerFromHeld(HostStore* store, const std::string& user, const wire::Call& call,
                    wire::CallReply* reply);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_PROGRAMS_H_
