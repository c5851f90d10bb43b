#pragma once

// Blocking HTTP POSTs over libcurl for the speech services. Transport
// failures (no connection, timeout) throw HttpTransportError with curl's
// reason; any HTTP status is returned to the caller to judge.

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace parley::desktop {

struct HttpReply {
  long status = 0;
  std::string contentType;
  std::string body;
};

struct HttpTransportError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct HttpFormPart {
  std::string name;
  std::string data;
  std::string fileName;     // set for a file part
  std::string contentType;  // set for a file part
};

class HttpClient {
 public:
  static HttpReply post(const std::string& url, const std::vector<std::string>& headers,
                        const std::string& body, std::chrono::milliseconds timeout);
  // multipart/form-data
  static HttpReply postForm(const std::string& url, const std::vector<std::string>& headers,
                            const std::vector<HttpFormPart>& parts,
                            std::chrono::milliseconds timeout);
};

}  // namespace parley::desktop
