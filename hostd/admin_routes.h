// The administration API's resources under /api/v1/, each a thin layer over
// one of the host store's operations, JSON in and out. They know nothing of
// sessions or roles: the API answers with them once it has checked who
// asks, and `zvtadm host` answers with them in process when it is given the
// store itself, so that both ways give the same answers.
#ifndef ZVT_HOSTD_ADMIN_ROUTES_H_
#define ZVT_HOSTD_ADMIN_ROUTES_H_

#include <nlohmann/json.hpp>
#include <string>

#include "hostd/admin_listener.h"

namespace zvt::hostd {

class HostStore;

// A JSON answer; text the store holds that is not UTF-8 is replaced.
AdminResponse JsonReply(unsigned status, const nlohmann::json& body);
// The same, keeping the order of an object's keys.
AdminResponse OrderedJsonReply(unsigned status, const nlohmann::ordered_json& body);
// {"error": text}.
AdminResponse JsonProblem(unsigned status, const std::string& text);

// `text` with its %XX escapes (and, in a query, '+') decoded; a malformed
// escape stays as it is.
std::string UrlDecoded(const std::string& text, bool query);
// The value of `key` in a query string, decoded ("" when absent).
std::string QueryValue(const std::string& query, const std::string& key);

// Whether `request` only reads.
bool ReadsOnly(const AdminRequest& request);
// Whether reading `request` still needs the security administrator's role:
// the export, which holds the password hashes.
bool ReadNeedsAdmin(const AdminRequest& request);

// The answer to a request for a resource under /api/v1/, made on `store`
// (404 for a path that is none).
AdminResponse AnswerResource(HostStore* store, const AdminRequest& request);

}  // namespace zvt::hostd

#endif  // ZVT_HOSTD_ADMIN_ROUTES_H_
