#pragma once

// The control panel's HTTP server: loopback only, one random secret per run.
// The address `parley run` prints carries the secret once; the first request
// with it trades it for an HttpOnly, SameSite=Strict cookie and is sent on to
// the clean address. After that every request needs the cookie, a Host that
// names this loopback port (no DNS rebinding) and, when it has one, this
// origin; a request that changes something must carry the origin, so another
// site cannot post to the panel through the person's browser.
//
// Live updates go out as server-sent events on /api/events. Everything runs
// on the executor given (the main thread); the handlers never block. A read
// that may take a while (a repository's changes) is answered once its
// reader calls back, from whatever thread that is.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/static_site.hpp"

namespace parley::panel {

class PanelServer : public std::enable_shared_from_this<PanelServer> {
 public:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Response = boost::beast::http::response<boost::beast::http::string_body>;

  struct Api {
    // The page's whole state, as JSON.
    std::function<std::string()> state;
    // POST /api/NAME with a JSON body (an empty body reads as {}): nothing
    // when the action was taken, else why it was refused (answered 400).
    std::function<std::optional<std::string>(std::string_view name, const boost::json::value& body)>
        act;
    // What a read found: the JSON document, or why it failed (answered 400).
    struct Found {
      std::string json;
      std::optional<std::string> problem;
    };
    // POST /api/read/NAME with a JSON body: `answer` is called exactly once,
    // from any thread; the connection waits for it.
    std::function<void(std::string_view name, const boost::json::value& body,
                       std::function<void(Found)> answer)>
        read;
  };

  static constexpr std::string_view kCookieName = "parley_panel";
  // Connections that showed the cookie; a newcomer past this is refused.
  // Only the person holds the cookie, so only they can fill these.
  static constexpr std::size_t kMaxConnections = 32;
  // Connections yet to show it; past this the oldest of them is closed, so
  // sockets anyone on this computer can open never keep the person out.
  static constexpr std::size_t kMaxStrangers = 32;

  // Port 0 picks a free one. Throws boost::system::system_error when the
  // port cannot be bound.
  static std::shared_ptr<PanelServer> create(boost::asio::any_io_executor executor,
                                             std::uint16_t port,
                                             std::span<const link::WebFile> site, Api api);
  ~PanelServer();

  void start();
  void stop();
  std::uint16_t port() const { return port_; }
  // The address to open, with the secret: show it to the person only.
  std::string address() const;
  // Sends `state` to every live stream.
  void publish(const std::string& state);

  // The answer to one request, before any page or API is reached; nothing
  // when the request may go on. Public so the rules can be read in one place.
  std::optional<Response> admit(const Request& request) const;

 private:
  class Connection;

  PanelServer(boost::asio::any_io_executor executor, std::uint16_t port,
              std::span<const link::WebFile> site, Api api);
  void accept();
  // Nothing when the connection turned into a live stream.
  std::optional<Response> handle(const Request& request, const std::shared_ptr<Connection>& c);
  bool hasCookie(const Request& request) const;
  bool ownOrigin(std::string_view origin) const;
  // Closes the oldest connections that have not shown the cookie while
  // there are more than kMaxStrangers.
  void limitStrangers();
  std::size_t authenticatedConnections() const;

  boost::asio::any_io_executor executor_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::string secret_;
  link::StaticSite site_;
  Api api_;
  std::vector<std::weak_ptr<Connection>> connections_;
  bool stopped_ = false;
};

}  // namespace parley::panel
