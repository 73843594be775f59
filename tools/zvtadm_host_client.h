// Where `zvtadm host` sends its requests: the admin API's resources, either
// answered in this process on the store itself (--store: bootstrap and
// recovery, changes recorded as made by the OS user), or sent to a running
// zvthostd's admin API over HTTPS with a session signed in for the command
// (--server: the administrator's machine needs no store credentials).
#ifndef ZVT_TOOLS_ZVTADM_HOST_CLIENT_H_
#define ZVT_TOOLS_ZVTADM_HOST_CLIENT_H_

#include <memory>
#include <string>
#include <vector>

namespace zvt::hostd {
class HostStore;
}

namespace zvt::tools {

struct HostReply {
  long status = 0;   // the HTTP status
  std::string body;  // JSON, as the resource answered
};

class HostClient {
 public:
  virtual ~HostClient() = default;
  // `target` is the path under /api/v1/ with its query ("profiles/JOE").
  // False, with `error`, when no answer came (the request could not be
  // made); an answer of any status is true.
  virtual bool Send(const std::string& method, const std::string& target, const std::string& body,
                    HostReply* reply, std::string* error) = 0;
};

// The resources answered in process on `store`.
std::unique_ptr<HostClient> StoreClient(std::unique_ptr<hostd::HostStore> store);

// Signs `profile` in to the admin API at `server` ("https://host:port"),
// trusting `ca_file` (empty: the system's trust store); null with `error`
// when the sign-in fails. The session ends when the client goes.
std::unique_ptr<HostClient> ServerClient(const std::string& server, const std::string& ca_file,
                                         const std::string& profile, const std::string& password,
                                         std::string* error);

// One HTTP request: `headers` as "Name: value"; an answer longer than
// `limit` bytes is an error.
bool HttpRequest(const std::string& method, const std::string& url, const std::string& ca_file,
                 const std::vector<std::string>& headers, const std::string& body, size_t limit,
                 long* status, std::string* answer, std::string* error);

// `text` with every byte but letters, digits and "-._~" escaped as %XX.
std::string UrlEncoded(const std::string& text);

}  // namespace zvt::tools

#endif  // ZVT_TOOLS_ZVTADM_HOST_CLIENT_H_
