// HTTP(S) GET for tests of the admin listener, through libcurl: the status
// and body, from a source address of the test's choosing.
#ifndef ZVT_TESTING_HTTP_GET_H_
#define ZVT_TESTING_HTTP_GET_H_

#include <curl/curl.h>

#include <string>

namespace zvt::testing {

struct HttpReply {
  long status = 0;  // 0: no answer (`error` says why)
  std::string body;
  std::string error;
};

// GET `url`; HTTPS trusts `ca_file` alone. `method` may be another verb.
inline HttpReply HttpGet(const std::string& url, const std::string& ca_file = "",
                         const char* source = nullptr, const char* method = nullptr) {
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
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (!ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  const std::string from = source != nullptr ? std::string("host!") + source : "";
  if (source != nullptr) curl_easy_setopt(curl, CURLOPT_INTERFACE, from.c_str());
  if (method != nullptr) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  const CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  else
    reply.error = curl_easy_strerror(rc);
  curl_easy_cleanup(curl);
  return reply;
}

}  // namespace zvt::testing

#endif  // ZVT_TESTING_HTTP_GET_H_
