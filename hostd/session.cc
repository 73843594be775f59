// The session: what a worker makes of one frame of a connection, given the
// connection's session so far and a store: the handshake, the sign-on (with
// admission's lockout), and program calls with their counts and call-log
// lines. It knows nothing of sockets or event loops.

#include "host/program_names.h"
#include "hostd/host_programs.h"
#include "hostd/host_server.h"
#include "hostd/server_log.h"
#include "pgm/wire.h"

namespace zvt::hostd {

namespace {

// The programs counted by name; the calls of any other name a client makes
// up are counted together, so that no name from the network grows a table.
constexpr const char* kCountedPrograms[] = {kFunctionListName, kUsageListName,
                                            kChangeTimestampsName};
constexpr size_t kOtherPrograms = 3;

size_t ProgramSlot(const std::string& program) {
  for (size_t i = 0; i < kOtherPrograms; ++i)
    if (program == kCountedPrograms[i]) return i;
  return kOtherPrograms;
}

}  // namespace

uint64_t HostServer::calls_of(const std::string& program) const {
  if (program == "unknown") return program_calls_[kOtherPrograms].load();
  const size_t slot = ProgramSlot(program);
  return slot == kOtherPrograms ? 0 : program_calls_[slot].load();
}

void HostServer::SignOn(PeerState* session, const wire::Signon& signon, HostStore* store,
                        wire::SignonReply* answer) {
  const std::string profile = HostStore::CanonicalProfile(signon.user);
  const std::string who = QuotedName(profile) + " from " + session->peer;
  auto fields = [&](const char* code) { return LogFields{profile, session->peer, "", code}; };
  auto refused = [&](const char* id, const std::string& text) {
    answer->ok = false;
    answer->messages.push_back({id, 40, text});
  };
  // Nobody's password was wrong: the client is told the host cannot check
  // it now, and neither the profile nor the network is counted against.
  auto unavailable = [&](const std::string& why) {
    Log(LogLevel::kError, "sign-on of " + who + " not checked: " + why,
        fields(wire::kMessageHostUnavailable));
    refused(wire::kMessageHostUnavailable, "The host cannot check sign-ons now; try again later.");
  };
  auto signed_on = [&](const char* how) {
    Log(LogLevel::kInfo, "signed on " + who + " " + how + " over " + session->transport,
        fields(""));
    answer->ok = true;
    answer->user = profile;
    session->user = profile;
    session->signed_on = true;
  };
  std::string error;
  if (!signon.token.empty()) {
    // A token handed out at an earlier sign-on of this profile signs its
    // holder on without the password's slow hash, and even while failures
    // from elsewhere hold the profile locked out. One that does not pass
    // (expired, revoked, made up) leaves the password to decide.
    bool valid = false;
    if (!store->CheckToken(profile, signon.token, &valid, &error)) return unavailable(error);
    if (valid) {
      return signed_on("by its token");
    }
  }
  int64_t wait_ms = 0;
  if (admission_.LockedOut(profile, &wait_ms)) {
    // Refused unchecked, and an offence of the network all the same: trying
    // a locked profile is what an attacker keeps it locked with.
    admission_.Penalise(session->network, Admission::Offence::kFailedSignon);
    Refused("locked out",
            "sign-on of " + who + " refused unchecked: locked out for another " +
                std::to_string(wait_ms) + " ms",
            fields(wire::kMessageLockedOut));
    return refused(wire::kMessageLockedOut, "Too many failed sign-on attempts for user profile " +
                                                profile + "; try again in " +
                                                std::to_string((wait_ms + 999) / 1000) + " s.");
  }
  bool known = false, fast = false;
  hooks_->BeforePasswordCheck(profile);
  const bool ok = store->VerifyPassword(profile, signon.password, &known, &fast, &error);
  if (!error.empty()) return unavailable(error);
  admission_.CountSignon(profile, session->network, session->peer, signon.password, ok);
  if (!ok) {
    Refused("wrong password",
            "sign-on of " + who + " refused: " + (known ? "wrong password" : "no such profile"),
            fields(wire::kMessageWrongPassword));
    // An unknown profile is answered as a wrong password is, so that names
    // cannot be tried out; the log says which it was.
    return refused(wire::kMessageWrongPassword,
                   "Password not correct for user profile " + profile + ".");
  }
  if (fast && !options_.allow_fast_hashes) {
    Refused("weak hash",
            "sign-on of " + who +
                " refused: its password hash is a fast one, for tests; set its "
                "password anew or start zvthostd with --allow-fast-hashes",
            fields(wire::kMessageWrongPassword));
    return refused(wire::kMessageWrongPassword,
                   "The password hash of user profile " + profile +
                       " is too weak for this host; ask the administrator to set it anew.");
  }
  signed_on("by password");
  if (session->version >= wire::kTokensVersion) {
    // The client signs on with this from now on; without one it goes on
    // with the password.
    if (!store->IssueToken(profile, &answer->token, &error))
      Log(LogLevel::kWarning, "no sign-on token for " + who + ": " + error);
  }
}

HostServer::PasswordCheck HostServer::CheckPassword(HostStore* store, const std::string& profile,
                                                    const std::string& password,
                                                    const std::string& address, int64_t* wait_ms) {
  *wait_ms = 0;
  const std::string network = admission_.NetworkOf(address);
  // A penalised network is refused before anything costly, as a new
  // connection from it is.
  if (!admission_.AdmitUnauthenticated(network, wait_ms)) return PasswordCheck::kPenalised;
  admission_.ReleaseUnauthenticated(network);
  const std::string name = HostStore::CanonicalProfile(profile);
  if (admission_.LockedOut(name, wait_ms)) {
    admission_.Penalise(network, Admission::Offence::kFailedSignon);
    return PasswordCheck::kLockedOut;
  }
  bool known = false, fast = false;
  std::string error;
  hooks_->BeforePasswordCheck(name);
  const bool ok = store->VerifyPassword(name, password, &known, &fast, &error);
  if (!error.empty()) return PasswordCheck::kUnavailable;
  admission_.CountSignon(name, network, address, password, ok);
  if (!ok || (fast && !options_.allow_fast_hashes)) return PasswordCheck::kWrong;
  return PasswordCheck::kOk;
}

HostServer::Outcome HostServer::Handle(PeerState session, const wire::Frame& frame,
                                       HostStore* store,
                                       std::chrono::steady_clock::time_point since) {
  auto seconds_since = [](std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  };
  Outcome out;
  std::string error;
  auto reply = [&](wire::FrameType type, const std::string& payload) {
    out.bytes = wire::EncodeFrame(type, payload);
  };
  auto refuse = [&](uint16_t code, const std::string& text) {
    out.bytes = ProtocolErrorFrame(code, text);
    out.close = true;
  };
  auto penalised_refuse = [&](uint16_t code, const std::string& text) {
    admission_.Penalise(session.network, Admission::Offence::kRefusedFrame);
    refuse(code, text);
  };
  switch (frame.type) {
    case wire::FrameType::kHello: {
      wire::Hello hello;
      if (session.said_hello) {
        penalised_refuse(wire::kErrorUnexpected, "second hello");
      } else if (!wire::Decode(frame.payload, &hello, &error)) {
        penalised_refuse(wire::kErrorMalformed, error);
      } else if (hello.min_version > wire::kProtocolVersion ||
                 hello.max_version < wire::kOldestProtocolVersion ||
                 hello.min_version > hello.max_version) {
        refuse(wire::kErrorVersion, "protocol versions " +
                                        std::to_string(wire::kOldestProtocolVersion) + " to " +
                                        std::to_string(wire::kProtocolVersion) + " only");
      } else {
        session.said_hello = true;
        session.version = std::min(hello.max_version, wire::kProtocolVersion);
        reply(wire::FrameType::kHelloReply,
              wire::Encode(
                  wire::HelloReply{session.version, info_.version, info_.release, info_.name}));
      }
      break;
    }
    case wire::FrameType::kSignon: {
      wire::Signon signon;
      if (!session.said_hello || session.signed_on ||
          !wire::Decode(frame.payload, &signon, &error, session.version)) {
        admission_.Penalise(session.network, Admission::Offence::kRefusedFrame);
        refuse(wire::kErrorUnexpected, error.empty() ? "sign-on out of order" : error);
        break;
      }
      out.close = true;  // unless signed on
      wire::SignonReply answer;
      SignOn(&session, signon, store, &answer);
      if (answer.ok) out.close = false;
      if (metrics_) {
        using R = ServerMetrics::SignonResult;
        const bool unavailable =
            !answer.ok && answer.messages[0].id == wire::kMessageHostUnavailable;
        metrics_->Signon(answer.ok     ? R::kOk
                         : unavailable ? R::kUnavailable
                                       : R::kRefused,
                         seconds_since(since));
      }
      reply(wire::FrameType::kSignonReply, wire::Encode(answer, session.version));
      break;
    }
    case wire::FrameType::kCall: {
      wire::Call call;
      if (!session.signed_on) {
        penalised_refuse(wire::kErrorNotSignedOn, "program call before sign-on");
        break;
      }
      if (!wire::Decode(frame.payload, &call, max_frame_.load(), &error)) {
        refuse(wire::kErrorMalformed, error);
        break;
      }
      const ServerHooks::CallAction action = hooks_->BeforeCall(calls_begun_++);
      if (action == ServerHooks::CallAction::kReset) {
        out.reset = true;
        break;
      }
      if (action == ServerHooks::CallAction::kStall) {
        out.stall = true;
        break;
      }
      const auto run = MetricsNow();
      wire::CallReply answer = RunProgram(store, session.user, call);
      // The store's failures are answered as an internal failure.
      const bool failed = !answer.ok && !answer.messages.empty() &&
                          answer.messages[0].id == kInternalFailureMessage;
      if (metrics_) metrics_->StoreOperation(seconds_since(run), !failed);
      out.bytes = CallAnswered(session, frame, call, std::move(answer), failed, since);
      break;
    }
    default:
      penalised_refuse(wire::kErrorUnexpected,
                       "unexpected frame type " + std::to_string(static_cast<int>(frame.type)));
      break;
  }
  out.session = std::move(session);
  return out;
}

bool HostServer::AnswerOnLoop(const PeerState& session, const wire::Frame& frame, HostStore* store,
                              std::chrono::steady_clock::time_point since, Outcome* out) {
  // Hooks may take their time before a call: those calls go to a worker.
  if (frame.type != wire::FrameType::kCall || !session.signed_on || hooks_ != &no_hooks_)
    return false;
  wire::Call call;
  std::string error;
  wire::CallReply answer;
  if (!wire::Decode(frame.payload, &call, max_frame_.load(), &error) ||
      !AnswerFromHeld(store, session.user, call, &answer))
    return false;
  calls_begun_++;
  out->bytes = CallAnswered(session, frame, call, std::move(answer), /*failed=*/false, since);
  out->session = session;
  return true;
}

std::string HostServer::CallAnswered(const PeerState& session, const wire::Frame& frame,
                                     const wire::Call& call, wire::CallReply answer, bool failed,
                                     std::chrono::steady_clock::time_point since) {
  constexpr uint64_t kFrameHeader = 5;  // length and type
  std::string reply = wire::EncodeCallReplyFrame(answer, session.version);
  if (reply.size() - kFrameHeader + 1 > max_frame_.load()) {
    answer = wire::CallReply{call.id, false, {}, {{"CPF3C24", 40, "Receiver too large."}}, {}};
    reply = wire::EncodeCallReplyFrame(answer, session.version);
  }
  call_bytes_in_ += frame.payload.size() + kFrameHeader;
  call_bytes_out_ += reply.size();
  const size_t slot = ProgramSlot(call.program);
  program_calls_[slot]++;
  calls_++;
  call_log_.Append(session.user, call.program, answer);
  if (metrics_) {
    using O = ServerMetrics::CallOutcome;
    metrics_->ProgramCall(
        slot,
        answer.ok ? O::kOk
        : failed  ? O::kFailed
                  : O::kRefused,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
  }
  return reply;
}

}  // namespace zvt::hostd
