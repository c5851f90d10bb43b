#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests that stand in for a web
// service: every request goes to the handler, which answers or (by returning
// no response) keeps the client waiting until it gives up.

#include <atomic>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace parley::test {

class HttpStandin {
 public:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Response = boost::beast::http::response<boost::beast::http::string_body>;
  using Handler = std::function<std::optional<Response>(const Request&)>;

  explicit HttpStandin(Handler handler);
  ~HttpStandin();
  HttpStandin(const HttpStandin&) = delete;
  HttpStandin& operator=(const HttpStandin&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Every request received so far.
  std::vector<Request> requests() const;

  static Response reply(unsigned status, std::string contentType, std::string body);
  // The 16-bit samples of the WAV file in a (multipart) upload; none when
  // the body holds no WAV data.
  static std::vector<std::int16_t> uploadedSamples(const std::string& body);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  unsigned short port_ = 0;
};

}  // namespace parley::test
