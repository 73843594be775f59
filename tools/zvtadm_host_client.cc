// The two ways `zvtadm host` reaches a registry: in process on the store, or
// through the admin API of a running zvthostd, over libcurl.
#include "tools/zvtadm_host_client.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "hostd/admin_routes.h"
#include "hostd/host_store.h"

namespace zvt::tools {
namespace {

constexpr char kApi[] = "/api/v1/";
// An export of a large registry is the longest answer.
constexpr size_t kAnswerLimit = size_t{1} << 30;

class InProcess : public HostClient {
 public:
  explicit InProcess(std::unique_ptr<hostd::HostStore> store) : store_(std::move(store)) {}
  bool Send(const std::string& method, const std::string& target, const std::string& body,
            HostReply* reply, std::string* /*error*/) override {
    hostd::AdminRequest request;
    request.method = method;
    const size_t q = target.find('?');
    request.path = kApi + target.substr(0, q);
    if (q != std::string::npos) request.query = target.substr(q + 1);
    request.peer = "local";
    request.body = body;
    const hostd::AdminResponse answer = hostd::AnswerResource(store_.get(), request);
    reply->status = answer.status;
    reply->body = answer.body;
    return true;
  }

 private:
  std::unique_ptr<hostd::HostStore> store_;
};

class OverHttps : public HostClient {
 public:
  OverHttps(std::string server, std::string ca_file)
      : server_(std::move(server)), ca_file_(std::move(ca_file)) {}
  ~OverHttps() override {
    if (token_.empty()) return;
    HostReply ignored;
    std::string error;
    Send("DELETE", "session", "", &ignored, &error);
  }
  bool SignIn(const std::string& profile, const std::string& password, std::string* error) {
    HostReply reply;
    if (!Send("POST", "session",
              nlohmann::json{{"profile", profile}, {"password", password}}.dump(), &reply, error))
      return false;
    const nlohmann::json answer = nlohmann::json::parse(reply.body, nullptr, false);
    if (reply.status != 200 || !answer.is_object() ||
        !answer.value("token", nlohmann::json()).is_string()) {
      *error = "signing in to " + server_ + " as " + profile + " failed (" +
               std::to_string(reply.status) + "): " +
               (answer.is_object() && answer.value("error", nlohmann::json()).is_string()
                    ? answer["error"].get<std::string>()
                    : "not the admin API's answer");
      return false;
    }
    token_ = answer["token"].get<std::string>();
    return true;
  }
  bool Send(const std::string& method, const std::string& target, const std::string& body,
            HostReply* reply, std::string* error) override {
    std::vector<std::string> headers = {"Content-Type: application/json",
                                        "Accept: application/json"};
    if (!token_.empty()) headers.push_back("Authorization: Bearer " + token_);
    return HttpRequest(method, server_ + kApi + target, ca_file_, headers, body, kAnswerLimit,
                       &reply->status, &reply->body, error);
  }

 private:
  const std::string server_, ca_file_;
  std::string token_;
};

}  // namespace

std::unique_ptr<HostClient> StoreClient(std::unique_ptr<hostd::HostStore> store) {
  return std::make_unique<InProcess>(std::move(store));
}

std::unique_ptr<HostClient> ServerClient(const std::string& server, const std::string& ca_file,
                                         const std::string& profile, const std::string& password,
                                         std::string* error) {
  std::string base = server;
  while (!base.empty() && base.back() == '/') base.pop_back();
  auto client = std::make_unique<OverHttps>(base, ca_file);
  if (!client->SignIn(profile, password, error)) return nullptr;
  return client;
}

bool HttpRequest(const std::string& method, const std::string& url, const std::string& ca_file,
                 const std::vector<std::string>& headers, const std::string& body, size_t limit,
                 long* status, std::string* answer, std::string* error) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return *error = "cannot make an HTTP request", false;
  struct Sink {
    std::string* text;
    size_t limit;
  } sink{answer, limit};
  answer->clear();
  auto append = +[](char* data, size_t size, size_t n, void* out) {
    auto* s = static_cast<Sink*>(out);
    if (s->text->size() + size * n > s->limit) return size_t{0};
    s->text->append(data, size * n);
    return size * n;
  };
  curl_slist* list = nullptr;
  for (const std::string& h : headers) list = curl_slist_append(list, h.c_str());
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> header_list(list,
                                                                          curl_slist_free_all);
  char why[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "HEAD") curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
  if (!body.empty() || method == "POST" || method == "PUT") {
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, why);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
  // An import hashes every password it holds: it may take minutes.
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 900L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  if (!ca_file.empty()) curl_easy_setopt(curl.get(), CURLOPT_CAINFO, ca_file.c_str());
  const CURLcode rc = curl_easy_perform(curl.get());
  if (rc != CURLE_OK) {
    *error = url + ": " + (why[0] != '\0' ? why : curl_easy_strerror(rc));
    return false;
  }
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, status);
  return true;
}

std::string UrlEncoded(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace zvt::tools
