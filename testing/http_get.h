// HTTP(S) for tests of the admin listener, through libcurl: GET from a
// source address of the test's choosing, and requests with headers and a
// body; the status, the body and the response's headers.
#ifndef ZVT_TESTING_HTTP_GET_H_
#define ZVT_TESTING_HTTP_GET_H_

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace zvt::testing {

struct HttpReply {
  long status = 0;  // 0: no answer (`error` says why)
  std::string body;
  std::string error;
  std::string headers;  // the response's header lines (HttpSend only)
};

// `method` to `url` with `headers` ("Name: value" each) and `body`; with
// `chunked` the body is sent in chunks, its length undeclared. HTTPS
// trusts `ca_file` alone; `source` (when given) is the address to send from.
inline HttpReply HttpSend(const std::string& url, const char* method, const std::string& body,
                          const std::vector<std::string>& headers = {},
                          const std::string& ca_file = "", bool chunked = false,
                          const char* source = nullptr) {
  HttpReply reply;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    reply.error = "no curl handle";
    return reply;
  }
  auto append = +[](char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
  };
  struct Source {
    const std::string* body;
    size_t at = 0;
  } upload{&body};
  auto read = +[](char* buffer, size_t size, size_t n, void* in) {
    auto* s = static_cast<Source*>(in);
    const size_t take = std::min(size * n, s->body->size() - s->at);
    std::memcpy(buffer, s->body->data() + s->at, take);
    s->at += take;
    return take;
  };
  curl_slist* list = nullptr;
  for (const std::string& h : headers) list = curl_slist_append(list, h.c_str());
  if (chunked) list = curl_slist_append(list, "Transfer-Encoding: chunked");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (method != nullptr) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (!body.empty() || chunked) {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    if (!chunked)
      curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  if (!ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  const std::string from = source != nullptr ? std::string("host!") + source : "";
  if (source != nullptr) curl_easy_setopt(curl, CURLOPT_INTERFACE, from.c_str());
  const CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  else
    reply.error = curl_easy_strerror(rc);
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return reply;
}

// GET `url`; HTTPS trusts `ca_file` alone. `method` may be another verb.
inline HttpReply HttpGet(const std::string& url, const std::string& ca_file = "",
                         const char* source = nullptr, const char* method = nullptr) {
  return HttpSend(url, method, "", {}, ca_file, false, source);
}

}  // namespace zvt::testing

#endif  // ZVT_TESTING_HTTP_GET_H_
