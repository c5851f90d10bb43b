// The phone port answers plain HTTP with the web site, under the same
// admission as the WebSocket, over real loopback sockets.

#include <sys/stat.h>

#include <boost/asio/connect.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "link/page_origin.hpp"
#include "server_fixture.hpp"

namespace parley::link::test {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using parley::test::waitUntil;

const std::array<WebFile, 3> kSite{{
    {"/index.html", "<!doctype html><title>phone</title>", "\"i1\""},
    {"/app.js", "export const x = 1;", "\"a1\""},
    {"/manifest.webmanifest", "{}", "\"m1\""},
}};

// One HTTP/1.1 connection to the server, requests sent one at a time.
class HttpConnection {
 public:
  explicit HttpConnection(std::uint16_t port) : socket_(io_) {
    socket_.connect({asio::ip::make_address("127.0.0.1"), port});
  }

  http::response<http::string_body> get(const std::string& target, bool keepAlive = true,
                                        std::string extraHeader = {}) {
    http::request<http::string_body> request(http::verb::get, target, 11);
    request.set(http::field::host, "127.0.0.1");
    request.keep_alive(keepAlive);
    // In fields of a few kilobytes: Beast refuses to write longer ones.
    for (std::size_t at = 0; at < extraHeader.size(); at += 4000)
      request.set("X-Padding-" + std::to_string(at), extraHeader.substr(at, 4000));
    http::write(socket_, request);
    http::response<http::string_body> response;
    http::read(socket_, buffer_, response);
    return response;
  }

  // Whether the server closed the connection (read sees the end).
  bool closedByServer() {
    boost::system::error_code ec;
    char byte = 0;
    socket_.read_some(asio::buffer(&byte, 1), ec);
    return ec == asio::error::eof || ec == asio::error::connection_reset;
  }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
};

std::string flatten(const http::response<http::string_body>& response) {
  std::ostringstream text;
  text << response;
  return text.str();
}

class WebServingTest : public ServerTest {
 protected:
  std::uint16_t startWithSite(Server::Configuration configuration = testConfiguration()) {
    configuration.site = kSite;
    return startServer(std::move(configuration));
  }
};

TEST_F(WebServingTest, PagesAndTheWebSocketShareThePortAndConnectionsCarrySeveralRequests) {
  startWithSite();
  HttpConnection connection(port);
  for (const auto& [target, status, type] :
       {std::tuple{"/", http::status::ok, "text/html; charset=utf-8"},
        {"/app.js", http::status::ok, "text/javascript; charset=utf-8"},
        {"/manifest.webmanifest", http::status::ok, "application/manifest+json"},
        {"/nothing.js", http::status::not_found, "text/plain; charset=utf-8"}}) {
    SCOPED_TRACE(target);
    const auto response = connection.get(target);
    EXPECT_EQ(response.result(), status);
    EXPECT_EQ(response[http::field::content_type], type);
    EXPECT_NE(response["Content-Security-Policy"].find("connect-src 'self'"), std::string::npos);
    EXPECT_EQ(response["X-Content-Type-Options"], "nosniff");
    EXPECT_EQ(response["Referrer-Policy"], "no-referrer");
    EXPECT_TRUE(response.keep_alive());
  }
  EXPECT_EQ(connection.get("/app.js", false).body(), "export const x = 1;");
  EXPECT_TRUE(connection.closedByServer());

  // The phone still connects beside a browser, and pages are not logged as
  // phones leaving.
  connectAuthenticated();
  EXPECT_EQ(reports.countLogsContaining("left before its hello"), 0u);
}

TEST_F(WebServingTest, NoAnswerEchoesWhatTheRequestCarried) {
  startWithSite();
  HttpConnection connection(port);
  // A token that reached the server in a path, a query or a header must not
  // come back in any answer, error pages included.
  for (const std::string& target :
       {"/?pair=" + token, "/" + token, "/" + token + ".js", "/index.html#pair=" + token}) {
    const std::string text = flatten(connection.get(target, true, token));
    EXPECT_EQ(text.find(token), std::string::npos) << text;
  }
}

TEST_F(WebServingTest, AForeignPeerGetsNoPage) {
  auto configuration = testConfiguration();
  configuration.addressFilter = [](std::string_view address) { return address != "127.0.0.1"; };
  startWithSite(configuration);
  HttpConnection refused(port);
  EXPECT_ANY_THROW(refused.get("/"));
  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::RejectedAddress>().size() == 1; }));
}

TEST_F(WebServingTest, AnOversizedRequestEndsOnlyItsConnection) {
  startWithSite();
  HttpConnection oversized(port);
  EXPECT_ANY_THROW(oversized.get("/", true, std::string(64 * 1024, 'x')));
  EXPECT_TRUE(waitUntil([&] { return reports.countLogsContaining("unreadable request") == 1; }))
      << ::testing::PrintToString(reports.logs);
  // The server goes on answering.
  EXPECT_EQ(HttpConnection(port).get("/").result(), http::status::ok);
}

TEST_F(WebServingTest, AnIdleBrowserConnectionEndsAtTheHelloDeadlineAndCountsAsWaiting) {
  auto configuration = testConfiguration();
  configuration.helloDeadline = 200ms;
  startWithSite(configuration);
  HttpConnection idle(port);
  EXPECT_EQ(idle.get("/").result(), http::status::ok);
  EXPECT_TRUE(idle.closedByServer());
}

TEST_F(WebServingTest, AWaitingBrowserConnectionMakesWayForThePhone) {
  auto configuration = testConfiguration();
  configuration.maxUnauthenticatedPeers = 1;
  startWithSite(configuration);
  HttpConnection browser(port);
  EXPECT_EQ(browser.get("/").result(), http::status::ok);
  connectAuthenticated();
  EXPECT_EQ(reports.countLogsContaining("too many connections awaiting hello"), 1u);
  EXPECT_TRUE(browser.closedByServer());
}

// Only a machine's name inside a tailnet names one; what is named goes into
// the page's policy header, so nothing but plain labels passes.
TEST(TailnetOf, OnlyAMachineOfATailnetNamesOne) {
  EXPECT_EQ(tailnetOf("Desk.Tail1234.ts.net."), "tail1234.ts.net");
  for (const char* name : {"desk.ts.net", "desk", "desk.example.com", "a.desk.tail1234.ts.net",
                           "desk.tail;1.ts.net", ".tail1234.ts.net", ""})
    EXPECT_EQ(tailnetOf(name), "") << name;
}

// One page may follow every desktop of its tailnet: a desktop admits its own
// page and those its tailnet's machines serve, refuses any other site's
// before a hello is read, and lets its pages reach those desktops only.
TEST_F(WebServingTest, PagesOfTheSameTailnetMayOpenTheLinkAndOtherSitesMayNot) {
  const std::string script = (dir / "tailscale").string();
  parley::test::writeFile(
      script,
      "#!/bin/sh\necho '{\"Self\":{\"DNSName\":\"desk.tail1234.ts.net.\",\"TailscaleIPs\":[]}}'\n");
  ::chmod(script.c_str(), 0755);
  auto configuration = testConfiguration();
  configuration.tailscaleExecutable = script;
  startWithSite(configuration);
  ASSERT_TRUE(waitUntil(
      [&] { return reports.hasLog("pages of the desktops of tail1234.ts.net may connect"); }));

  const std::string own = "127.0.0.1:" + std::to_string(port);
  for (const std::string& origin : std::vector<std::string>{
           "", "https://laptop.tail1234.ts.net", "https://Desk.TAIL1234.ts.net", "http://" + own}) {
    PhoneClient phone(port, origin);
    phone.sendHello(token);
    EXPECT_NO_THROW(phone.expect<protocol::HelloAck>()) << origin;
  }
  // Another tailnet, plain http, a name two labels deep, another port of
  // this machine, a site at all, an opaque origin; and a rebinding site whose
  // name now leads here, which looks like the page's own origin.
  for (const auto& [origin, host] : std::vector<std::pair<std::string, std::string>>{
           {"https://laptop.tail9999.ts.net", ""},
           {"http://laptop.tail1234.ts.net", ""},
           {"https://a.laptop.tail1234.ts.net", ""},
           {"https://laptop.tail1234.ts.net:8443", ""},
           {"http://127.0.0.1:1", ""},
           {"https://evil.example", ""},
           {"null", ""},
           {"http://evil.example:8787", "evil.example:8787"},
       }) {
    EXPECT_ANY_THROW(PhoneClient(port, origin, host)) << origin;
    EXPECT_TRUE(waitUntil([&] {
      return reports.countLogsContaining(" left before its hello: refused a page from " + origin) ==
             1;
    })) << origin;
  }
  EXPECT_EQ(reports.eventsOf<Server::Connected>().size(), 4u);

  HttpConnection connection(port);
  EXPECT_NE(connection.get("/")["Content-Security-Policy"].find(
                "connect-src 'self' wss://*.tail1234.ts.net;"),
            std::string::npos);
}

}  // namespace
}  // namespace parley::link::test
