// The host store's JSON file, as `zvtadm host import` reads it: its schema is
// docs/host-json.md.
#ifndef ZVT_HOSTD_HOST_JSON_H_
#define ZVT_HOSTD_HOST_JSON_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace zvt::hostd {

struct AuditRecord;
struct FunctionRow;

// A function as it stands in the registry's JSON form.
nlohmann::ordered_json FunctionToJson(const FunctionRow& row);

// A function as the audit trail records it: its JSON form on one line,
// text that is not UTF-8 replaced rather than refused.
std::string FunctionAuditText(const FunctionRow& row);
// An audit record as JSON: its fields, "at" as UTC text to the second and
// "at_us" in microseconds since the epoch.
nlohmann::json AuditRecordJson(const AuditRecord& record);

// A time as the host's JSON and listings show it: "2027-03-01T12:00:00Z".
std::string UtcText(int64_t unix_seconds);
// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS", with or without a final "Z" (UTC),
// as microseconds since the epoch; false when it is neither.
bool ParseUtc(const std::string& text, int64_t* micros);

// Parses `text` and checks it against the schema: only known keys, each
// value of its type and size, required keys present. Coded fields given as
// numbers (type 1) are turned into the strings they mean ("1"). On a fault
// returns false with `error` naming the place (path, line and column).
bool CheckHostJson(const std::string& text, nlohmann::json* document, std::string* error);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_HOST_JSON_H_
