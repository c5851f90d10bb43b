#include "panel/panel_server.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/url/parse.hpp>
#include <chrono>
#include <deque>
#include <sstream>

#include "link/pairing.hpp"

namespace parley::panel {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(60);
// A browser sends its request as soon as it connects; a connection without
// the cookie that says nothing for this long is not the person's.
constexpr auto kStrangerTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr std::string_view kSecretParameter = "key";

bool sameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

PanelServer::Response answer(const PanelServer::Request& request, http::status status,
                             std::string text) {
  PanelServer::Response response(status, request.version());
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.body() = std::move(text) + "\n";
  link::StaticSite::secure(response);
  response.prepare_payload();
  return response;
}

PanelServer::Response jsonAnswer(const PanelServer::Request& request, std::string body) {
  PanelServer::Response response(http::status::ok, request.version());
  response.set(http::field::content_type, "application/json");
  response.body() = std::move(body);
  link::StaticSite::secure(response);
  response.prepare_payload();
  return response;
}

// The secret from "?key=...", if the target carries one.
std::optional<std::string> secretIn(std::string_view target) {
  const auto url = boost::urls::parse_origin_form(target);
  if (!url)
    return std::nullopt;
  const auto params = url->params();
  const auto it = params.find(kSecretParameter);
  if (it == params.end())
    return std::nullopt;
  return std::string((*it).value);
}

std::string_view pathOf(std::string_view target) {
  return target.substr(0, target.find_first_of("?#"));
}

}  // namespace

// One accepted socket: requests one at a time, or, once it asked for
// /api/events, a stream of events until either side closes.
class PanelServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::weak_ptr<PanelServer> server)
      : stream_(std::move(socket)), server_(std::move(server)) {}

  bool isAuthenticated() const { return authenticated_; }
  // It carried the cookie: it may stay idle as long as a browser keeps it.
  void authenticate() { authenticated_ = true; }

  void read() {
    parser_.emplace();
    parser_->body_limit(kMaxBody);
    parser_->header_limit(16 * 1024);
    stream_.expires_after(authenticated_ ? kIdleTimeout : kStrangerTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
  }

  // Turns the connection into an event stream; events follow with send().
  void beginStream(const Request& request) {
    streaming_ = true;
    http::response<http::empty_body> head(http::status::ok, request.version());
    head.set(http::field::content_type, "text/event-stream");
    head.set(http::field::cache_control, "no-cache");
    head.set("X-Content-Type-Options", "nosniff");
    head.keep_alive(true);
    head.set("Referrer-Policy", "no-referrer");
    // The header alone: the body is the events that follow, unbounded.
    std::ostringstream text;
    text << head.base();
    queue(text.str());
  }

  void send(const std::string& event) {
    if (streaming_)
      queue("data: " + event + "\n\n");
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  void onRead(beast::error_code ec) {
    if (ec)
      return close();
    const Request request = parser_->release();
    auto server = server_.lock();
    if (!server)
      return close();
    std::optional<Response> response = server->handle(request, shared_from_this());
    if (response)
      return respond(std::move(*response), request.keep_alive());
    if (streaming_) {
      // A live stream: keep reading so a close from the browser is noticed.
      stream_.expires_never();
      waitForClose();
    }
    // Otherwise a read answers later, through respond().
  }

 public:
  // Sends the answer to the request just read, then reads the next one
  // unless the connection ends here.
  void respond(Response response, bool keepAliveAsked) {
    // A refusal ends the connection: whoever was refused gets no socket to
    // hold on to.
    const bool keepAlive = keepAliveAsked && response.result_int() < 400;
    response.keep_alive(keepAlive);
    auto shared = std::make_shared<Response>(std::move(response));
    stream_.expires_after(kIdleTimeout);
    http::async_write(
        stream_, *shared,
        [self = shared_from_this(), shared, keepAlive](beast::error_code ec, std::size_t) {
          if (ec || !keepAlive)
            return self->close();
          self->read();
        });
  }

 private:
  void waitForClose() {
    stream_.socket().async_wait(tcp::socket::wait_read,
                                [self = shared_from_this()](beast::error_code) { self->close(); });
  }

  void queue(std::string text) {
    outgoing_.push_back(std::move(text));
    if (outgoing_.size() == 1)
      writeNext();
  }

  void writeNext() {
    asio::async_write(stream_.socket(), asio::buffer(outgoing_.front()),
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec)
                          return self->close();
                        self->outgoing_.pop_front();
                        if (!self->outgoing_.empty())
                          self->writeNext();
                      });
  }

  beast::tcp_stream stream_;
  std::weak_ptr<PanelServer> server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::deque<std::string> outgoing_;
  bool streaming_ = false;
  bool authenticated_ = false;
};

std::shared_ptr<PanelServer> PanelServer::create(asio::any_io_executor executor, std::uint16_t port,
                                                 std::span<const link::WebFile> site, Api api) {
  return std::shared_ptr<PanelServer>(
      new PanelServer(std::move(executor), port, site, std::move(api)));
}

PanelServer::PanelServer(asio::any_io_executor executor, std::uint16_t port,
                         std::span<const link::WebFile> site, Api api)
    : executor_(executor),
      acceptor_(executor),
      secret_(link::PairingToken::generate()),
      site_(site),
      api_(std::move(api)) {
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
}

PanelServer::~PanelServer() {
  stop();
}

void PanelServer::start() {
  accept();
}

void PanelServer::stop() {
  if (stopped_)
    return;
  stopped_ = true;
  beast::error_code ignored;
  acceptor_.close(ignored);
  for (const auto& weak : connections_)
    if (auto c = weak.lock())
      c->close();
  connections_.clear();
}

std::string PanelServer::address() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?" + std::string(kSecretParameter) + "=" +
         secret_;
}

void PanelServer::publish(const std::string& state) {
  std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : connections_)
    if (auto c = weak.lock())
      c->send(state);
}

void PanelServer::accept() {
  acceptor_.async_accept([weak = weak_from_this()](beast::error_code ec, tcp::socket socket) {
    auto self = weak.lock();
    if (!self || self->stopped_)
      return;
    if (!ec) {
      auto connection = std::make_shared<Connection>(std::move(socket), weak);
      self->connections_.push_back(connection);
      self->limitStrangers();
      connection->read();
    }
    self->accept();
  });
}

void PanelServer::limitStrangers() {
  std::erase_if(connections_, [](const auto& w) { return w.expired(); });
  std::size_t strangers = 0;
  for (const auto& weak : connections_)
    if (auto c = weak.lock(); c && !c->isAuthenticated())
      ++strangers;
  // In order of arrival: the first found are the oldest.
  for (auto it = connections_.begin(); strangers > kMaxStrangers && it != connections_.end();) {
    auto c = it->lock();
    if (!c || c->isAuthenticated()) {
      ++it;
      continue;
    }
    c->close();
    it = connections_.erase(it);
    --strangers;
  }
}

std::size_t PanelServer::authenticatedConnections() const {
  return static_cast<std::size_t>(
      std::count_if(connections_.begin(), connections_.end(), [](const auto& weak) {
        auto c = weak.lock();
        return c && c->isAuthenticated();
      }));
}

bool PanelServer::ownOrigin(std::string_view origin) const {
  const std::string port = std::to_string(port_);
  return origin == "http://127.0.0.1:" + port || origin == "http://localhost:" + port;
}

bool PanelServer::hasCookie(const Request& request) const {
  const auto [first, last] = request.equal_range(http::field::cookie);
  for (auto field = first; field != last; ++field) {
    std::string_view rest = field->value();
    while (!rest.empty()) {
      const std::size_t end = rest.find(';');
      std::string_view pair = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
      while (!pair.empty() && pair.front() == ' ')
        pair.remove_prefix(1);
      const std::size_t eq = pair.find('=');
      if (eq != std::string_view::npos && pair.substr(0, eq) == kCookieName &&
          sameSecret(pair.substr(eq + 1), secret_))
        return true;
    }
  }
  return false;
}

std::optional<PanelServer::Response> PanelServer::admit(const Request& request) const {
  const std::string port = std::to_string(port_);
  const std::string_view host = request[http::field::host];
  if (host != "127.0.0.1:" + port && host != "localhost:" + port)
    return answer(request, http::status::forbidden, "This address is not the control panel's.");

  const bool safe = request.method() == http::verb::get || request.method() == http::verb::head;
  const auto origin = request.find(http::field::origin);
  if (origin != request.end() ? !ownOrigin(origin->value()) : !safe)
    return answer(request, http::status::forbidden, "Cross-site requests are refused.");
  // A browser tells what fetched the request; another site's page never
  // reaches the panel, not even with a GET.
  const std::string_view site = request["Sec-Fetch-Site"];
  if (site == "cross-site" || site == "same-site")
    return answer(request, http::status::forbidden, "Cross-site requests are refused.");

  if (const auto offered = secretIn(request.target())) {
    if (!safe || !sameSecret(*offered, secret_))
      return answer(request, http::status::unauthorized, "This panel address is not valid.");
    Response response(http::status::see_other, request.version());
    response.set(http::field::location, std::string(pathOf(request.target())));
    response.set(http::field::set_cookie,
                 std::string(kCookieName) + "=" + secret_ + "; HttpOnly; SameSite=Strict; Path=/");
    link::StaticSite::secure(response);
    response.prepare_payload();
    return response;
  }
  if (!hasCookie(request))
    return answer(request, http::status::unauthorized,
                  "Open the control panel from the address `parley run` printed.");
  return std::nullopt;
}

std::optional<PanelServer::Response> PanelServer::handle(const Request& request,
                                                         const std::shared_ptr<Connection>& c) {
  if (auto refused = admit(request))
    return refused;
  if (!c->isAuthenticated()) {
    if (authenticatedConnections() >= kMaxConnections)
      return answer(request, http::status::service_unavailable,
                    "Too many control panel connections are open; close a panel tab.");
    c->authenticate();
  }
  const std::string_view path = pathOf(request.target());
  const bool get = request.method() == http::verb::get;
  if (path == "/api/state" && get)
    return jsonAnswer(request, api_.state());
  if (path == "/api/events" && get) {
    c->beginStream(request);
    c->send(api_.state());
    return std::nullopt;
  }
  if (path.starts_with("/api/")) {
    if (request.method() != http::verb::post)
      return answer(request, http::status::method_not_allowed, "Method not allowed.");
    json::value body = json::object();
    if (!request.body().empty()) {
      boost::system::error_code ec;
      body = json::parse(request.body(), ec);
      if (ec || !body.is_object())
        return answer(request, http::status::bad_request, "The request is not a JSON object.");
    }
    constexpr std::string_view kRead = "/api/read/";
    if (path.starts_with(kRead)) {
      if (!api_.read)
        return answer(request, http::status::not_found, "Nothing here is read that way.");
      // The connection is kept alive by the answer, and answered on this
      // executor whichever thread the reader calls back on.
      api_.read(path.substr(kRead.size()), body,
                [executor = executor_, c, version = request.version(),
                 keepAlive = request.keep_alive()](Api::Found found) {
                  asio::post(executor, [c, version, keepAlive, found = std::move(found)]() mutable {
                    Request head;
                    head.version(version);
                    c->respond(found.problem ? answer(head, http::status::bad_request,
                                                      std::move(*found.problem))
                                             : jsonAnswer(head, std::move(found.json)),
                               keepAlive);
                  });
                });
      return std::nullopt;
    }
    if (auto refused = api_.act(path.substr(5), body))
      return answer(request, http::status::bad_request, std::move(*refused));
    Response response(http::status::no_content, request.version());
    link::StaticSite::secure(response);
    response.prepare_payload();
    return response;
  }
  return site_.respond(request);
}

}  // namespace parley::panel
