#include "panel/panel_server.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/serialize.hpp>
#include <fstream>
#include <future>
#include <iomanip>
#include <sstream>
#include <thread>

#include "app/web_sites.hpp"

namespace parley::panel {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

struct Sent {
  http::verb method = http::verb::get;
  std::string target = "/";
  std::string host;  // "" means this server's own
  std::optional<std::string> origin;
  bool cookie = true;
  std::string body;
  std::optional<std::string> fetchSite;
};

class PanelServerTest : public ::testing::Test {
 protected:
  PanelServerTest() {
    server_ = PanelServer::create(
        io_.get_executor(), 0, web::panelSite(),
        {.state = [this] { return std::string(R"({"n":)") + std::to_string(++states_) + "}"; },
         .act = [this](std::string_view name,
                       const boost::json::value& body) -> std::optional<std::string> {
           actions_.push_back(std::string(name) + " " + boost::json::serialize(body));
           if (name == "refuse")
             return "refused in words";
           return std::nullopt;
         },
         // Answered from another thread, as a repository's reader does.
         .read =
             [this](std::string_view name, const boost::json::value& body,
                    std::function<void(PanelServer::Api::Found)> answer) {
               asio::post(readers_, [name = std::string(name), body, answer] {
                 if (name == "fail")
                   return answer({.problem = "cannot read the repository: gone"});
                 answer({.json = R"({"read":)" + boost::json::serialize(body) + "}"});
               });
             }});
    server_->start();
    thread_ = std::thread([this] { io_.run(); });
    const std::string address = server_->address();
    secret_ = address.substr(address.find("key=") + 4);
    own_ = "127.0.0.1:" + std::to_string(server_->port());
  }
  ~PanelServerTest() override {
    asio::post(io_, [this] { server_->stop(); });
    work_.reset();
    io_.stop();
    thread_.join();
  }

  // With `closed`, also whether the server then ended the connection.
  http::response<http::string_body> send(const Sent& s, bool* closed = nullptr) {
    asio::io_context client;
    tcp::socket socket(client);
    socket.connect({asio::ip::make_address("127.0.0.1"), server_->port()});
    http::request<http::string_body> request(s.method, s.target, 11);
    request.set(http::field::host, s.host.empty() ? own_ : s.host);
    if (s.origin)
      request.set(http::field::origin, *s.origin);
    if (s.cookie)
      request.set(http::field::cookie, "other=1; parley_panel=" + secret_);
    if (s.fetchSite)
      request.set("Sec-Fetch-Site", *s.fetchSite);
    request.body() = s.body;
    request.prepare_payload();
    http::write(socket, request);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    if (closed != nullptr)
      *closed = closedByServer(socket);
    return response;
  }

  // Whether the server ends the connection: the next read sees its end.
  static bool closedByServer(tcp::socket& socket) {
    pollfd ready{socket.native_handle(), POLLIN, 0};
    if (::poll(&ready, 1, 10000) != 1)
      return false;
    char byte = 0;
    return ::recv(socket.native_handle(), &byte, 1, 0) <= 0;
  }

  asio::thread_pool readers_{1};
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
      io_.get_executor()};
  std::shared_ptr<PanelServer> server_;
  std::thread thread_;
  std::string secret_;
  std::string own_;
  int states_ = 0;
  std::vector<std::string> actions_;  // touched only by the server's thread, read after
};

TEST_F(PanelServerTest, RefusesEveryRequestThatIsNotFromThePersonsOwnPage) {
  const std::string origin = "http://" + own_;
  const std::string port = std::to_string(server_->port());
  const struct {
    const char* what;
    Sent sent;
    unsigned status;
  } cases[] = {
      {"no cookie", {.cookie = false}, 401},
      {"no cookie on the live channel", {.target = "/api/events", .cookie = false}, 401},
      {"no cookie on the state", {.target = "/api/state", .cookie = false}, 401},
      {"wrong secret", {.target = "/?key=wrong", .cookie = false}, 401},
      {"secret one character short",
       {.target = "/?key=" + secret_.substr(1), .cookie = false},
       401},
      {"foreign Host (DNS rebinding)", {.host = "evil.example:" + port}, 403},
      {"loopback Host on another port", {.host = "127.0.0.1:1"}, 403},
      {"foreign Origin on a POST",
       {.method = http::verb::post, .target = "/api/clearLog", .origin = "http://evil.example"},
       403},
      {"null Origin on a POST",
       {.method = http::verb::post, .target = "/api/clearLog", .origin = "null"},
       403},
      {"missing Origin on a POST", {.method = http::verb::post, .target = "/api/clearLog"}, 403},
      {"missing Origin on a read", {.method = http::verb::post, .target = "/api/read/x"}, 403},
      {"a read that failed",
       {.method = http::verb::post, .target = "/api/read/fail", .origin = origin},
       400},
      {"foreign Origin on the live channel",
       {.target = "/api/events", .origin = "http://evil.example"},
       403},
      {"loopback Origin on another port",
       {.method = http::verb::post, .target = "/api/clearLog", .origin = "http://127.0.0.1:1"},
       403},
      {"localhost Origin on another port",
       {.target = "/api/state", .origin = "http://localhost:1"},
       403},
      {"cross-site fetch", {.target = "/api/state", .fetchSite = "cross-site"}, 403},
      {"a body that is not an object",
       {.method = http::verb::post, .target = "/api/clearLog", .origin = origin, .body = "[1]"},
       400},
      {"an action the model refuses",
       {.method = http::verb::post, .target = "/api/refuse", .origin = origin},
       400},
      {"GET on an action", {.target = "/api/clearLog"}, 405},
  };
  for (const auto& c : cases) {
    bool closed = false;
    const auto response = send(c.sent, &closed);
    EXPECT_EQ(response.result_int(), c.status) << c.what << ": " << response.body();
    EXPECT_EQ(response.body().find(secret_), std::string::npos) << c.what;
    // A refused client keeps no socket open, whatever it asked for.
    EXPECT_TRUE(closed) << c.what;
  }
  EXPECT_NE(send({.method = http::verb::post, .target = "/api/refuse", .origin = origin})
                .body()
                .find("refused in words"),
            std::string::npos);

  // Only the two requests that passed every check reached the model.
  const auto taken = send({.method = http::verb::post,
                           .target = "/api/pair",
                           .host = "localhost:" + port,
                           .origin = "http://localhost:" + port,
                           .body = R"({"deviceName":"Pixel"})"});
  EXPECT_EQ(taken.result_int(), 204);
  std::promise<std::vector<std::string>> seen;
  asio::post(io_, [&] { seen.set_value(actions_); });
  EXPECT_EQ(seen.get_future().get(),
            (std::vector<std::string>{"refuse {}", "refuse {}", R"(pair {"deviceName":"Pixel"})"}));
}

TEST_F(PanelServerTest, TheSecretBecomesACookieAndTheCleanAddress) {
  const auto redirected = send({.target = "/?key=" + secret_, .cookie = false});
  EXPECT_EQ(redirected.result_int(), 303);
  EXPECT_EQ(redirected[http::field::location], "/");
  EXPECT_EQ(redirected[http::field::set_cookie],
            "parley_panel=" + secret_ + "; HttpOnly; SameSite=Strict; Path=/");
  // With the cookie: the page, under the same strict headers as the phone's.
  const auto page = send({});
  EXPECT_EQ(page.result_int(), 200);
  EXPECT_NE(page.body().find("<title>Parley</title>"), std::string::npos);
  EXPECT_NE(page["Content-Security-Policy"].find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(send({.target = "/api/state"}).body(), R"({"n":1})");
  // The secret is never a way to post.
  EXPECT_EQ(send({.method = http::verb::post,
                  .target = "/api/clearLog?key=" + secret_,
                  .origin = "http://" + own_,
                  .cookie = false})
                .result_int(),
            401);
}

// A read is answered when its reader calls back, on another thread, and the
// connection then carries the page's next request.
TEST_F(PanelServerTest, AReadIsAnsweredWhenItsReaderCallsBack) {
  asio::io_context client;
  tcp::socket socket(client);
  socket.connect({asio::ip::make_address("127.0.0.1"), server_->port()});
  boost::beast::flat_buffer buffer;
  const auto ask = [&](http::verb method, const std::string& target, std::string body) {
    http::request<http::string_body> request(method, target, 11);
    request.set(http::field::host, own_);
    request.set(http::field::origin, "http://" + own_);
    request.set(http::field::cookie, "parley_panel=" + secret_);
    request.body() = std::move(body);
    request.prepare_payload();
    http::write(socket, request);
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return response;
  };
  const auto found = ask(http::verb::post, "/api/read/changes", R"({"sessionID":"s1"})");
  EXPECT_EQ(found.result_int(), 200);
  EXPECT_EQ(found[http::field::content_type], "application/json");
  EXPECT_EQ(found.body(), R"({"read":{"sessionID":"s1"}})");
  EXPECT_TRUE(found.keep_alive());
  EXPECT_EQ(ask(http::verb::get, "/api/state", "").body(), R"({"n":1})");
  const auto failed = ask(http::verb::post, "/api/read/fail", "");
  EXPECT_EQ(failed.result_int(), 400);
  EXPECT_EQ(failed.body(), "cannot read the repository: gone\n");
}

// Sockets anyone on this computer can open, idle or asking without the
// cookie, are not counted with the person's connections.
TEST_F(PanelServerTest, ConnectionsWithoutTheCookieNeverLockThePersonOut) {
  asio::io_context client;
  std::vector<tcp::socket> idle;
  for (std::size_t i = 0; i < PanelServer::kMaxConnections + 8; ++i)
    idle.emplace_back(client).connect({asio::ip::make_address("127.0.0.1"), server_->port()});
  EXPECT_EQ(send({.target = "/api/state"}).result_int(), 200);
}

TEST_F(PanelServerTest, TheLiveChannelCarriesEachPublishedState) {
  asio::io_context client;
  tcp::socket socket(client);
  socket.connect({asio::ip::make_address("127.0.0.1"), server_->port()});
  const std::string request = "GET /api/events HTTP/1.1\r\nHost: " + own_ +
                              "\r\nCookie: parley_panel=" + secret_ + "\r\n\r\n";
  asio::write(socket, asio::buffer(request));
  asio::streambuf buffer;
  const auto next = [&](std::string_view end) {
    const std::size_t n = asio::read_until(socket, buffer, end);
    std::string text(asio::buffers_begin(buffer.data()), asio::buffers_begin(buffer.data()) + n);
    buffer.consume(n);
    return text;
  };
  const std::string head = next("\r\n\r\n");
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200")) << head;
  EXPECT_NE(head.find("Content-Type: text/event-stream"), std::string::npos) << head;
  const auto nextEvent = [&] { return next("\n\n"); };
  EXPECT_EQ(nextEvent(), "data: {\"n\":1}\n\n");
  asio::post(io_, [this] { server_->publish(R"({"changed":true})"); });
  EXPECT_EQ(nextEvent(), "data: {\"changed\":true}\n\n");
}

TEST_F(PanelServerTest, ListensOnLoopbackOnly) {
  // The kernel's tables of sockets; a listener is state 0A, and 127.0.0.1
  // is written 0100007F.
  std::ostringstream port;
  port << std::hex << std::uppercase << ':' << std::setw(4) << std::setfill('0') << server_->port();
  std::vector<std::string> listening;
  for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(file);
    std::string line;
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (local.ends_with(port.str()) && state == "0A")
        listening.push_back(local);
    }
  }
  EXPECT_EQ(listening, std::vector<std::string>{"0100007F" + port.str()});
}

}  // namespace
}  // namespace parley::panel
