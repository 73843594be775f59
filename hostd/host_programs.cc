// The three host programs and the list paging they share.
#include "hostd/host_programs.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "host/program_names.h"
#include "hostd/held_stamps.h"
#include "pgm/big_endian.h"
#include "pgm/ccsid37.h"

namespace zvt::hostd {
namespace {

constexpr char kHandleTag[4] = {'Z', 'V', 'T', 'C'};

wire::CallReply Refuse(const wire::Call& call, const std::string& id, const std::string& text) {
  wire::CallReply reply;
  reply.id = call.id;
  reply.ok = false;
  reply.messages.push_back(wire::Message{id, 40, text});
  return reply;
}

wire::CallReply Failed(const wire::Call& call, const std::string& error) {
  return Refuse(call, kInternalFailureMessage, "Function check. Internal failure: " + error);
}

using big_endian::Load32;

// Writes `v` at `at` of `out`, which holds the four bytes there.
void PutBe32(std::string* out, size_t at, uint32_t v) { big_endian::Store32(out->data() + at, v); }

// Checks the shape of a call: the number of parameters and each one's
// direction and, for inputs, exact length.
struct Shape {
  uint8_t direction;
  uint32_t length;  // 0: any
};

bool Matches(const wire::Call& call, std::initializer_list<Shape> shapes) {
  if (call.parameters.size() != shapes.size()) return false;
  size_t i = 0;
  for (const Shape& s : shapes) {
    const wire::CallParameter& p = call.parameters[i++];
    if (p.direction != s.direction) return false;
    if (s.length != 0 && p.direction != wire::kOutput &&
        (p.length != s.length || p.data.size() != s.length))
      return false;
  }
  return true;
}

wire::CallReply Mismatch(const wire::Call& call) {
  return Refuse(call, "CPD0172", "Parameters passed on CALL do not match those required.");
}

// The receiver length a caller may use: the length parameter, which must not
// be above the room the output parameter really has.
bool ReceiverLength(const wire::Call& call, size_t receiver, size_t length_param, uint32_t minimum,
                    uint32_t* length) {
  *length = Load32(call.parameters[length_param].data);
  return *length >= minimum && *length <= call.parameters[receiver].length;
}

// The category code of a function selection structure: "9" (all) when no
// selection is given.
bool SelectionCategory(const std::string& s, std::string* category) {
  uint32_t count = Load32(s, 0);
  *category = "9";
  if (count == 0) return true;
  // One selection: record length, operator, control key, data length, data.
  if (s.size() < 20) return false;
  uint32_t op = Load32(s, 8), key = Load32(s, 12), data_length = Load32(s, 16);
  if (op != 1 || key != 1 || data_length != 1 || s.size() < 21) return false;
  *category = pgm::Utf8OfEbcdicField(s.substr(20, 1));
  return category->size() == 1;
}

// One page of a list as a reader gives it: the encoded entries, laid out
// one after another behind room for the list header, where the page ends
// and how many entries the whole list has.
struct Page {
  explicit Page(uint32_t entry_length) : entry_length(entry_length) {}
  // Room for `count` more entries, blank; the first of them.
  char* AddBlank(size_t count) {
    if (bytes.empty()) bytes.assign(kListHeaderLength, '\0');
    const size_t at = bytes.size();
    bytes.resize(at + count * entry_length, static_cast<char>(pgm::kEbcdicBlank));
    return bytes.data() + at;
  }
  uint64_t entries() const {
    if (packed) return packed_count;
    return bytes.empty() ? 0 : (bytes.size() - kListHeaderLength) / entry_length;
  }
  // Packs the entries as a reply carries them.
  void Pack() {
    if (packed) return;
    packed_count = entries();
    packed_entries =
        std::make_shared<const std::string>(wire::PackBlanks(std::string_view(bytes).substr(
            std::min<size_t>(bytes.size(), kListHeaderLength), packed_count * entry_length)));
    bytes.assign(kListHeaderLength, '\0');
    packed = true;
  }
  // Lays the first `n` packed entries out whole in `bytes` again.
  bool Unpack(uint64_t n) {
    std::string whole;
    if (!packed || !packed_entries || n > packed_count ||
        !wire::UnpackBlanks(*packed_entries, static_cast<uint32_t>(packed_count * entry_length),
                            &whole))
      return false;
    bytes.assign(kListHeaderLength, '\0');
    bytes.append(whole, 0, n * entry_length);
    packed = false;
    packed_entries.reset();
    return true;
  }

  const uint32_t entry_length;
  // Room for the list header, then the entries laid out whole; or, once
  // `packed`, only the header's room, the entries in `packed_entries`.
  std::string bytes;
  bool packed = false;
  std::shared_ptr<const std::string> packed_entries;  // shared with what holds the page
  uint64_t packed_count = 0;
  ListPage where;
};
// Reads at most `limit` entries after sequence number `after` (0: from the
// first), counting the whole list only when `count` is set; false with
// `*error` when the store fails.
using PageReader =
    std::function<bool(int64_t after, uint64_t limit, bool count, Page* page, std::string* error)>;

// Fills a list receiver from the position in `handle`: the number of entries
// handed out before, the size of the list when its first part was read, and
// the sequence number of the last entry handed out. Each part reads only its
// own entries from the store.
wire::CallReply ListPart(const wire::Call& call, const PageReader& read, uint32_t entry_length,
                         const std::string& handle, uint32_t length) {
  uint64_t position = 0;
  int64_t after = 0;
  const bool first = std::memcmp(handle.data(), kBlankHandle, 20) == 0;
  Page page(entry_length);
  if (!first) {
    if (std::memcmp(handle.data(), kHandleTag, 4) != 0)
      return Refuse(call, "CPF3C82", "Continuation handle not valid.");
    position = Load32(handle, 4);
    page.where.total = Load32(handle, 8);
    uint64_t seq = big_endian::Load64(handle.data() + 12);
    // A handle is only handed out while entries remain.
    if (seq > static_cast<uint64_t>(INT64_MAX) || position >= page.where.total)
      return Refuse(call, "CPF3C82", "Continuation handle not valid.");
    after = static_cast<int64_t>(seq);
  }
  uint64_t room = (length - kListHeaderLength) / entry_length;
  std::string error;
  if (!read(after, room, first, &page, &error)) return Failed(call, error);
  if (page.where.total > 0xFFFFFFFFu) return Failed(call, "the list is too long");
  if (position > page.where.total) return Refuse(call, "CPF3C82", "Continuation handle not valid.");
  uint64_t remaining = page.where.total - position;
  if (remaining > 0 && room == 0)
    return Refuse(call, "CPF3C24", "Length of the receiver variable is not valid.");
  const uint64_t entries = page.entries();
  uint64_t n = std::min<uint64_t>(entries, remaining);
  // A short page means the list ends here, whatever the count said before.
  uint64_t after_part = entries < room ? 0 : remaining - n;
  if (page.packed && n < entries && !page.Unpack(n)) return Failed(call, "a held page is damaged");
  std::string out = std::move(page.bytes);
  out.resize(page.packed ? kListHeaderLength : kListHeaderLength + n * entry_length, '\0');
  const uint64_t returned = kListHeaderLength + n * entry_length;
  // Bytes available are what a receiver for the rest would need beyond this
  // one, so that (available - returned - offset) / entry length is the
  // number of entries still to come.
  uint64_t available =
      after_part == 0 ? returned : returned + kListHeaderLength + after_part * entry_length;
  PutBe32(&out, 0, static_cast<uint32_t>(returned));
  PutBe32(&out, 4, static_cast<uint32_t>(std::min<uint64_t>(available, 0xFFFFFFFFu)));
  if (after_part == 0 || n == 0) {
    std::memcpy(&out[8], kBlankHandle, 20);
  } else {
    std::memcpy(&out[8], kHandleTag, 4);
    PutBe32(&out, 8 + 4, static_cast<uint32_t>(position + n));
    PutBe32(&out, 8 + 8, static_cast<uint32_t>(page.where.total));
    big_endian::Store64(out.data() + 8 + 12, static_cast<uint64_t>(page.where.last_seq));
  }
  PutBe32(&out, 28, kListHeaderLength);
  PutBe32(&out, 32, static_cast<uint32_t>(n));
  PutBe32(&out, 36, entry_length);
  wire::CallReply reply;
  reply.id = call.id;
  reply.ok = true;
  reply.outputs.push_back(std::move(out));
  if (page.packed)
    reply.packed_tails.push_back(
        {static_cast<uint32_t>(n * entry_length), std::move(page.packed_entries)});
  return reply;
}

// Adds an output after a list part's.
void AddOutput(wire::CallReply* reply, std::string output) {
  reply->outputs.push_back(std::move(output));
  if (!reply->packed_tails.empty()) reply->packed_tails.emplace_back();
}

// Where a list page is held: the list, the page, and the timestamps its
// content depends on (`stamps`, as bytes).
std::string PageKey(const char* list, const std::string& selection, int64_t after, uint64_t limit,
                    bool count, const std::string& stamps) {
  char numbers[48];
  char* end = std::to_chars(numbers, numbers + 20, after).ptr;
  *end++ = ',';
  end = std::to_chars(end, end + 20, limit).ptr;
  const std::string_view tail = count ? ",c," : ",,";
  std::string key;
  key.reserve(std::strlen(list) + selection.size() + static_cast<size_t>(end - numbers) +
              tail.size() + stamps.size() + 2);
  key.append(list).append(1, '\0').append(selection).append(1, '\0');
  key.append(numbers, end).append(tail).append(stamps);
  return key;
}

std::string StampBytes(const Stamp& stamp) {
  return std::string(reinterpret_cast<const char*>(stamp.data()), stamp.size());
}

// A list's pages read through what the store holds in memory. A page read
// while `profile`'s timestamps are held is kept under the timestamps its
// content depends on (`depends` picks them), and asked for again while they
// are current it is answered from memory: it was read after them, so it
// holds at least what they say, and a change moves them, after which it is
// never asked for again. With `missed` only held pages are answered, and
// `*missed` is set for one that is not (the read fails then).
class HeldLists {
 public:
  using Depends = std::string (*)(const Timestamps&);
  HeldLists(HostStore* store, std::string profile, const char* list, std::string selection,
            Depends depends, bool* missed)
      : store_(store),
        profile_(std::move(profile)),
        list_(list),
        selection_(std::move(selection)),
        depends_(depends),
        missed_(missed) {}

  bool Read(const PageReader& from_store, int64_t after, uint64_t limit, bool count, Page* page,
            std::string* error) {
    // Nothing is held while the store cannot learn of changes: the page is
    // read without first reading the timestamps it would be kept under.
    HeldStamps* holder = store_->held();
    if (holder == nullptr || !holder->holding()) {
      if (missed_ != nullptr) return Miss();
      return from_store(after, limit, count, page, error);
    }
    Timestamps stamps;
    bool known = false;
    HeldPage found;
    if (store_->HeldTimestamps(profile_, &stamps, &known) && known &&
        holder->FindPage(PageKey(list_, selection_, after, limit, count, depends_(stamps)),
                         &found)) {
      Answer(std::move(found), count, page);
      return true;
    }
    if (missed_ != nullptr) return Miss();
    const uint64_t epoch = holder->Epoch();
    if (!store_->GetTimestamps(profile_, &stamps, &known, error)) return false;
    // The stamps were only read again (held ones are let go after a while
    // even when nothing moved): a page kept under the same ones still holds.
    const std::string key =
        known ? PageKey(list_, selection_, after, limit, count, depends_(stamps)) : std::string();
    if (known && holder->FindPage(key, &found)) {
      Answer(std::move(found), count, page);
      return true;
    }
    if (!from_store(after, limit, count, page, error)) return false;
    if (known) {
      page->Pack();
      HeldPage kept;
      kept.entries = page->packed_entries;
      kept.count = page->packed_count;
      kept.where = page->where;
      holder->KeepPage(epoch, key, std::move(kept));
    }
    return true;
  }

 private:
  // Lays a held page out as the program answers it.
  static void Answer(HeldPage found, bool count, Page* page) {
    page->bytes.assign(kListHeaderLength, '\0');
    page->packed = true;
    page->packed_entries = std::move(found.entries);
    page->packed_count = found.count;
    if (count) page->where.total = found.where.total;
    page->where.last_seq = found.where.last_seq;
  }

  bool Miss() {
    *missed_ = true;
    return false;
  }

  HostStore* store_;
  const std::string profile_;
  const char* list_;
  const std::string selection_;
  Depends depends_;
  bool* missed_;
};

// Lays out `f` in the blank entry at `e`.
void PutFunctionEntry(const FunctionRow& f, char* e) {
  auto put_ccsid = [e](size_t reserved, size_t reserved_length, size_t ccsid) {
    std::memset(e + reserved, 0, reserved_length);
    big_endian::Store32(e + ccsid, 37);
  };
  pgm::PutEbcdicText(e + 0, 30, f.id);
  pgm::PutEbcdicText(e + 30, 1, f.category);
  pgm::PutEbcdicText(e + 31, 1, f.type);
  pgm::PutEbcdicText(e + 32, 10, "*SYSTEM");
  pgm::PutEbcdicText(e + 59, 330, f.name);
  put_ccsid(389, 3, 392);
  pgm::PutEbcdicText(e + 396, 330, f.name2);
  put_ccsid(726, 2, 728);
  pgm::PutEbcdicText(e + 759, 330, f.description);
  put_ccsid(1089, 3, 1092);
  pgm::PutEbcdicText(e + 1096, 330, f.description2);
  put_ccsid(1426, 2, 1428);
  pgm::PutEbcdicText(e + 1432, 30, f.root);
  pgm::PutEbcdicText(e + 1462, 30, f.parent);
  pgm::PutEbcdicText(e + 1492, 1, f.indicator1);
  pgm::PutEbcdicText(e + 1493, 1, f.indicator2);
  pgm::PutEbcdicText(e + 1494, 1, f.indicator3);
}

bool CheckFormat(const wire::CallParameter& p, const char* format) {
  return pgm::Utf8OfEbcdicField(p.data) == format;
}

// The checks both list programs make of a request whose format name is
// parameter 3, receiver parameter 1 and its length parameter 2: a refusal,
// or nothing with the receiver length and the selected category filled.
std::optional<wire::CallReply> CheckListRequest(const wire::Call& call, const char* format,
                                                size_t selection, uint32_t* length,
                                                std::string* category) {
  if (!CheckFormat(call.parameters[3], format))
    return Refuse(
        call, "CPF3C21",
        "Format name " + pgm::Utf8OfEbcdicField(call.parameters[3].data) + " is not valid.");
  if (!ReceiverLength(call, 1, 2, kListHeaderLength, length))
    return Refuse(call, "CPF3C24", "Length of the receiver variable is not valid.");
  if (!SelectionCategory(call.parameters[selection].data, category))
    return Refuse(call, "CPF3C1D", "Function selection not valid.");
  return std::nullopt;
}

// `missed`: as HeldLists takes it.
wire::CallReply FunctionList(HostStore* store, const std::string& user, const wire::Call& call,
                             bool* missed = nullptr) {
  if (!Matches(call, {{wire::kInput, 20},
                      {wire::kOutput, 0},
                      {wire::kInput, 4},
                      {wire::kInput, 8},
                      {wire::kInput, 0},
                      {wire::kInput, 4},
                      {wire::kInOut, 4}}))
    return Mismatch(call);
  uint32_t length;
  std::string category;
  if (auto refusal = CheckListRequest(call, kFunctionListFormat, 4, &length, &category))
    return *refusal;
  PageReader from_store = [&](int64_t after, uint64_t limit, bool count, Page* page,
                              std::string* error) {
    std::vector<FunctionRow> rows;
    if (!store->ListFunctionsPage(category, after, limit, count, &rows, &page->where, error))
      return false;
    char* e = page->AddBlank(rows.size());
    for (const FunctionRow& f : rows) {
      PutFunctionEntry(f, e);
      e += kFunctionEntryLength;
    }
    return true;
  };
  // The functions are the same for every profile: the caller's timestamps
  // say which registry is current, and its stamp alone decides the page.
  HeldLists held(
      store, user, "functions", category, [](const Timestamps& t) { return StampBytes(t.rep); },
      missed);
  PageReader read = [&](int64_t after, uint64_t limit, bool count, Page* page, std::string* error) {
    return held.Read(from_store, after, limit, count, page, error);
  };
  wire::CallReply reply =
      ListPart(call, read, kFunctionEntryLength, call.parameters[0].data, length);
  if (reply.ok) AddOutput(&reply, call.parameters[6].data);
  return reply;
}

// Whether `name` (canonical) names `user` itself as a caller may: its own
// name, or, for a name beginning with a digit, that name with "Q" before
// it. Known without the store.
bool OwnProfile(const std::string& user, const std::string& name) {
  return name == user ||
         (!user.empty() && user[0] >= '0' && user[0] <= '9' && name.size() == user.size() + 1 &&
          name[0] == 'Q' && name.compare(1, std::string::npos, user) == 0);
}

// The profile a usage or timestamp call names. The client puts "Q" before a
// profile name that begins with a digit when it asks for usage (1ABC is
// asked for as Q1ABC) but not when it asks for timestamps: both name 1ABC
// here, unless a profile Q1ABC itself exists; but 1ABC asking for Q1ABC is
// always asking for itself, whether or not Q1ABC exists (Q1ABC asking for
// Q1ABC gets its own). A signed-on user may ask only
// for its own profile unless it has the authority to read all profiles;
// any other name, known or not, is refused alike (empty result), so that
// nobody learns which profiles exist.
std::string RequestedProfile(HostStore* store, const std::string& user, const std::string& text) {
  std::string name = HostStore::CanonicalProfile(text);
  if (OwnProfile(user, name)) return user;
  std::string error;
  if (name.size() >= 2 && name[0] == 'Q' && name[1] >= '0' && name[1] <= '9') {
    bool exists = false, stripped_exists = false;
    if (store->ProfileExists(name, &exists, &error) && !exists &&
        store->ProfileExists(name.substr(1), &stripped_exists, &error) && stripped_exists)
      name = name.substr(1);
  }
  if (name == user) return name;
  bool all = false;
  return store->ReadsAllProfiles(user, &all, &error) && all ? name : std::string();
}

wire::CallReply NotAuthorized(const wire::Call& call, const std::string& requested) {
  return Refuse(call, "CPF2217", "Not authorized to user profile " + requested + ".");
}

// `*missed` (when given): answer only from the pages the store holds, and
// set it when a page is not held (the reply is then of no use).
wire::CallReply UsageList(HostStore* store, const std::string& user, const wire::Call& call,
                          bool* missed = nullptr) {
  if (!Matches(call, {{wire::kInput, 20},
                      {wire::kOutput, 0},
                      {wire::kInput, 4},
                      {wire::kInput, 8},
                      {wire::kInput, 10},
                      {wire::kInput, 0},
                      {wire::kInput, 4},
                      {wire::kInOut, 4}}))
    return Mismatch(call);
  uint32_t length;
  std::string category;
  if (auto refusal = CheckListRequest(call, kUsageListFormat, 5, &length, &category))
    return *refusal;
  const std::string asked = pgm::Utf8OfEbcdicField(call.parameters[4].data);
  if (missed != nullptr && !OwnProfile(user, HostStore::CanonicalProfile(asked))) {
    *missed = true;
    return NotAuthorized(call, asked);
  }
  std::string profile = missed != nullptr ? user : RequestedProfile(store, user, asked);
  if (profile.empty()) return NotAuthorized(call, asked);
  bool known = true;
  PageReader from_store = [&](int64_t after, uint64_t limit, bool count, Page* page,
                              std::string* error) {
    std::vector<UsageRow> rows;
    if (!store->ListUsagePage(profile, category, after, limit, count, &rows, &page->where, &known,
                              error))
      return false;
    char* e = page->AddBlank(rows.size());
    for (const UsageRow& u : rows) {
      pgm::PutEbcdicText(e + 0, 30, u.function);
      pgm::PutEbcdicText(e + 30, 1, u.usage);
      e += kUsageEntryLength;
    }
    return true;
  };
  // A profile's usage moves with its own settings (its user timestamp) and
  // with the functions' defaults (the registry's).
  HeldLists held(
      store, profile, "usage", profile + '\0' + category,
      [](const Timestamps& t) { return StampBytes(t.user) + StampBytes(t.rep); }, missed);
  PageReader read = [&](int64_t after, uint64_t limit, bool count, Page* page, std::string* error) {
    return held.Read(from_store, after, limit, count, page, error);
  };
  wire::CallReply reply = ListPart(call, read, kUsageEntryLength, call.parameters[0].data, length);
  if (!known) return Refuse(call, "CPF2204", "User profile " + profile + " not found.");
  if (reply.ok) AddOutput(&reply, call.parameters[7].data);
  return reply;
}

// The checks of a timestamps call: a refusal, or none with the receiver's
// length in `*length`.
std::optional<wire::CallReply> CheckTimestampsCall(const wire::Call& call, uint32_t* length) {
  if (!Matches(call, {{wire::kOutput, 0},
                      {wire::kInput, 4},
                      {wire::kInput, 8},
                      {wire::kInput, 10},
                      {wire::kInOut, 4}}))
    return Mismatch(call);
  if (!CheckFormat(call.parameters[2], kChangeTimestampsFormat))
    return Refuse(
        call, "CPF3C21",
        "Format name " + pgm::Utf8OfEbcdicField(call.parameters[2].data) + " is not valid.");
  if (!ReceiverLength(call, 0, 1, 8, length))
    return Refuse(call, "CPF3C24", "Length of the receiver variable is not valid.");
  return std::nullopt;
}

wire::CallReply TimestampsReply(const wire::Call& call, uint32_t length, const Timestamps& stamps) {
  std::string out(kTimestampsLength, '\0');
  PutBe32(&out, 0, std::min(length, kTimestampsLength));
  PutBe32(&out, 4, kTimestampsLength);
  std::memcpy(&out[8], stamps.user.data(), 8);
  std::memcpy(&out[16], stamps.rep.data(), 8);
  std::memcpy(&out[24], stamps.hier.data(), 8);
  out.resize(std::min(length, kTimestampsLength));
  wire::CallReply reply;
  reply.id = call.id;
  reply.ok = true;
  reply.outputs.push_back(std::move(out));
  reply.outputs.push_back(call.parameters[4].data);
  return reply;
}

wire::CallReply ChangeTimestamps(HostStore* store, const std::string& user,
                                 const wire::Call& call) {
  uint32_t length;
  if (auto refusal = CheckTimestampsCall(call, &length)) return *refusal;
  std::string profile =
      RequestedProfile(store, user, pgm::Utf8OfEbcdicField(call.parameters[3].data));
  if (profile.empty()) return NotAuthorized(call, pgm::Utf8OfEbcdicField(call.parameters[3].data));
  Timestamps stamps;
  bool known = false;
  std::string error;
  if (!store->GetTimestamps(profile, &stamps, &known, &error)) return Failed(call, error);
  if (!known) return Refuse(call, "CPF2204", "User profile " + profile + " not found.");
  return TimestampsReply(call, length, stamps);
}

std::string ProgramName(const wire::Call& call) {
  std::string program = call.program;
  std::transform(program.begin(), program.end(), program.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return program;
}

}  // namespace

bool AnswerFromHeld(HostStore* store, const std::string& user, const wire::Call& call,
                    wire::CallReply* reply) {
  const std::string program = ProgramName(call);
  if (program == kUsageListName || program == kFunctionListName) {
    bool missed = false;
    wire::CallReply answer = program == kUsageListName ? UsageList(store, user, call, &missed)
                                                       : FunctionList(store, user, call, &missed);
    if (missed || !answer.ok) return false;
    *reply = std::move(answer);
    return true;
  }
  if (program != kChangeTimestampsName) return false;
  uint32_t length;
  if (CheckTimestampsCall(call, &length)) return false;
  Timestamps stamps;
  bool known = false;
  if (!OwnProfile(user,
                  HostStore::CanonicalProfile(pgm::Utf8OfEbcdicField(call.parameters[3].data))) ||
      !store->HeldTimestamps(user, &stamps, &known) || !known)
    return false;
  *reply = TimestampsReply(call, length, stamps);
  return true;
}

wire::CallReply RunProgram(HostStore* store, const std::string& user, const wire::Call& call) {
  const std::string program = ProgramName(call);
  if (program == kFunctionListName) return FunctionList(store, user, call);
  if (program == kUsageListName) return UsageList(store, user, call);
  if (program == kChangeTimestampsName) return ChangeTimestamps(store, user, call);
  size_t slash = program.find('/');
  std::string library = slash == std::string::npos ? "*LIBL" : program.substr(0, slash);
  std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
  return Refuse(call, "CPF9811", "Program " + name + " in library " + library + " not found.");
}

}  // namespace zvt::hostd
