// Two desktops of one tailnet and one phone page, in real headless Chromium.
// Each desktop is a real server on loopback behind a TLS proxy standing in
// for `tailscale serve`, and the browser resolves the two Tailscale names to
// those proxies, so the page, its policy and both servers' origin checks see
// what they would on a tailnet.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <cstdlib>

#include "app/web_sites.hpp"
#include "link/push_crypto.hpp"
#include "server_fixture.hpp"
#include "support/web_driver.hpp"

namespace parley::link::test {
namespace {

namespace json = boost::json;
using parley::test::readFile;
using parley::test::waitUntil;
using parley::test::WebDriver;
using parley::test::writeFile;

std::uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

bool accepting(std::uint16_t port) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, ec);
  return !ec;
}

// TLS on a port of its own to a server's plain port, as `tailscale serve`
// does: socat, in a process group of its own so its per-connection children
// end with it.
class TlsProxy {
 public:
  TlsProxy(const std::filesystem::path& pem, std::uint16_t target) : port(freePort()) {
    const std::string listen = "OPENSSL-LISTEN:" + std::to_string(port) +
                               ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + pem.string();
    const std::string to = "TCP:127.0.0.1:" + std::to_string(target);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      // Probes and closing browsers make it complain of cut handshakes.
      if (const int null = ::open("/dev/null", O_WRONLY); null >= 0)
        ::dup2(null, STDERR_FILENO);
      ::execlp("socat", "socat", listen.c_str(), to.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);
  }
  ~TlsProxy() {
    if (pid_ <= 0)
      return;
    ::kill(-pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  TlsProxy(const TlsProxy&) = delete;
  TlsProxy& operator=(const TlsProxy&) = delete;

  const std::uint16_t port;

 private:
  pid_t pid_ = -1;
};

protocol::SessionDescriptor session(const std::string& id, const std::string& name) {
  protocol::SessionDescriptor s;
  s.sessionID = id;
  s.tmuxSession = name;
  s.claudeVersion = "2.1.222";
  return s;
}

class TwoDesktops : public ServerTest {
 protected:
  void SetUp() override {
    if (const auto reason = WebDriver::unavailable())
      GTEST_SKIP() << *reason;
    if (std::system("command -v socat >/dev/null && command -v openssl >/dev/null") != 0)
      GTEST_SKIP() << "socat and openssl stand in for tailscale serve";
    const std::string key = (dir / "key.pem").string();
    const std::string cert = (dir / "cert.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
        "-nodes -days 1 -subj /CN=parley -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    writeFile(dir / "proxy.pem", readFile(key) + readFile(cert));

    commands->setSessions({session("S1", "api")});
    startServer(configurationFor("desk"));
    ASSERT_TRUE(waitUntil(
        [&] { return reports.hasLog("pages of the desktops of tail1234.ts.net may connect"); }));

    laptopCommands = std::make_shared<ScriptedCommands>(io_.get_executor());
    laptopCommands->setSessions({session("S2", "web")});
    laptopToken = laptopStore.addDevice("Pixel", "DEV-2");
    laptop = std::make_unique<Server>(io_.get_executor(), configurationFor("laptop"), laptopStore,
                                      std::weak_ptr<protocol::SessionCommands>(laptopCommands));
    laptop->setOnStatusChange([this](const Server::Status& s) {
      if (const auto* listening = std::get_if<Server::Listening>(&s))
        laptopPort = listening->port;
    });
    laptop->setOnLog([this](const std::string& line) {
      if (line == "pages of the desktops of tail1234.ts.net may connect")
        laptopKnowsTailnet = true;
    });
    laptop->start();
    ASSERT_TRUE(waitUntil([&] { return laptopPort != 0 && laptopKnowsTailnet; }));

    deskProxy.emplace(dir / "proxy.pem", port);
    laptopProxy.emplace(dir / "proxy.pem", laptopPort);
    ASSERT_TRUE(
        waitUntil([&] { return accepting(deskProxy->port) && accepting(laptopProxy->port); }));

    WebDriver::Options options;
    options.switches = {
        "--ignore-certificate-errors",
        "--host-resolver-rules=MAP desk.tail1234.ts.net:443 127.0.0.1:" +
            std::to_string(deskProxy->port) +
            ", MAP laptop.tail1234.ts.net:443 127.0.0.1:" + std::to_string(laptopProxy->port)};
    browser.emplace(options);
    browser->go(PairingPayload{.host = "desk.tail1234.ts.net", .token = token, .serverID = "A"}
                    .webAddress());
    ASSERT_TRUE(browser->waitForText("#link-state", "Connected", 20s)) << browser->consoleLog();
    // Its only session opened by itself; desktops are added from the list.
    ASSERT_TRUE(browser->waitFor([&] { return browser->exists("#session:not([hidden])"); }));
    ASSERT_NO_FATAL_FAILURE(back());
  }

  Server::Configuration configurationFor(const std::string& machine) {
    const std::string script = (dir / ("tailscale-" + machine)).string();
    writeFile(script, "#!/bin/sh\necho '{\"Self\":{\"DNSName\":\"" + machine +
                          ".tail1234.ts.net.\",\"TailscaleIPs\":[]}}'\n");
    ::chmod(script.c_str(), 0755);
    auto configuration = testConfiguration();
    configuration.tailscaleExecutable = script;
    configuration.site = web::phoneSite();
    configuration.vapidPublicKey =
        PushCrypto::loadOrCreate(dir / (machine + "-vapid.pem")).publicKey();
    return configuration;
  }

  // Adds a desktop from its pairing link, as pasted into the page.
  void paste(const std::string& address) {
    browser->script(
        "document.getElementById('add-desk-link').value = arguments[0];"
        "document.getElementById('add-desk').requestSubmit();",
        {json::value(address)});
  }

  // Types a prompt into the session and sends it.
  void prompt(const std::string& sessionID, const std::string& text) {
    browser->click(".session-item[data-session-id='" + sessionID + "']");
    browser->script(
        "document.getElementById('prompt').value = arguments[0];"
        "document.getElementById('composer').requestSubmit();",
        {json::value(text)});
  }

  void back() {
    browser->script("history.back()");
    ASSERT_TRUE(browser->waitFor([&] { return browser->exists("#sessions:not([hidden])"); }));
  }

  // The desktop each listed session is grouped under, in order.
  json::value grouping() {
    return browser->script(
        "let desk = '';"
        "return [...document.querySelectorAll('#session-list > li')].flatMap((li) => {"
        "  if (li.dataset.desk) { desk = li.dataset.desk; return []; }"
        "  return [desk + ' ' + li.querySelector('.session-item').dataset.sessionId];"
        "});");
  }

  PairingStore laptopStore{"com.ketchworks.parley.pairing", dir / "laptop-devices.json",
                           Preferences(dir / "laptop-preferences.json")};
  std::string laptopToken;
  std::shared_ptr<ScriptedCommands> laptopCommands;
  std::unique_ptr<Server> laptop;
  std::atomic<std::uint16_t> laptopPort{0};
  std::atomic<bool> laptopKnowsTailnet{false};
  std::optional<TlsProxy> deskProxy;
  std::optional<TlsProxy> laptopProxy;
  std::optional<WebDriver> browser;
};

// The page paired with one desktop adds the other from its pairing link
// (one of another tailnet is refused), lists the sessions of both by
// desktop, sends each prompt to the desktop of its session, and keeps the
// first desktop working when the second revokes the phone.
TEST_F(TwoDesktops, OnePageFollowsBothAndARevokingDesktopLeavesAlone) {
  paste("https://box.tail9999.ts.net/#pair=eyJ0b2tlbiI6IngifQ");
  EXPECT_TRUE(browser->waitForText("#add-desk-note", "not in this computer's tailnet"))
      << browser->text("#add-desk-note");

  paste(PairingPayload{.host = "laptop.tail1234.ts.net", .token = laptopToken, .serverID = "B"}
            .webAddress());
  EXPECT_TRUE(browser->waitForText("#add-desk-note", "Added laptop."));
  const std::string deskHead = ".desk-head[data-desk='desk.tail1234.ts.net']";
  const std::string laptopHead = ".desk-head[data-desk='laptop.tail1234.ts.net']";
  ASSERT_TRUE(browser->waitForText(laptopHead + " .link-badge", "Connected", 20s))
      << browser->consoleLog();
  EXPECT_EQ(browser->text(deskHead + " .link-badge"), "Connected");
  EXPECT_EQ(browser->text("#link-state"), "Connected");
  EXPECT_EQ(grouping(), json::parse(R"(["desk.tail1234.ts.net S1", "laptop.tail1234.ts.net S2"])"));
  // The pairing link's token reached neither the address bar nor a server.
  EXPECT_EQ(browser->url(), "https://desk.tail1234.ts.net/");

  // Each desktop signs with its own key, so each gets a service-worker
  // registration of its own to subscribe on: the page's for the desktop
  // that served it, one under /desk/<host>/ for the other. (Headless
  // Chromium reaches no push service: the subscriptions never complete.)
  browser->grant("notifications");
  browser->script("document.getElementById('notify-toggle').click()");
  const json::value scopes = json::parse(R"(["/", "/desk/laptop.tail1234.ts.net/"])");
  EXPECT_TRUE(browser->waitFor([&] {
    return browser->script(
               "return navigator.serviceWorker.getRegistrations().then((all) =>"
               "  all.map((r) => new URL(r.scope).pathname).sort())") == scopes;
  })) << browser->text("#notify-note");

  prompt("S2", "to the laptop");
  EXPECT_TRUE(waitUntil([&] { return laptopCommands->count("submit:S2|to the laptop|") == 1; }));
  ASSERT_NO_FATAL_FAILURE(back());
  prompt("S1", "to the desk");
  EXPECT_TRUE(waitUntil([&] { return commands->count("submit:S1|to the desk|") == 1; }));
  EXPECT_EQ(commands->count("submit:S2"), 0);
  EXPECT_EQ(laptopCommands->count("submit:S1"), 0);
  ASSERT_NO_FATAL_FAILURE(back());

  laptopStore.revoke("DEV-2");
  ASSERT_TRUE(browser->waitFor([&] { return !browser->exists(laptopHead); }));
  EXPECT_FALSE(browser->exists(".session-item[data-session-id='S2']"));
  EXPECT_NE(browser->text("#link-note").find("laptop was removed: The computer no longer knows"),
            std::string::npos)
      << browser->text("#link-note");
  EXPECT_EQ(browser->text("#link-state"), "Connected");
  // The laptop's registration went with it.
  EXPECT_TRUE(browser->waitFor([&] {
    return browser->script(
               "return navigator.serviceWorker.getRegistrations().then((all) =>"
               "  all.map((r) => new URL(r.scope).pathname))") == json::parse(R"(["/"])");
  }));
  prompt("S1", "still here");
  EXPECT_TRUE(waitUntil([&] { return commands->count("submit:S1|still here|") == 1; }));
}

}  // namespace
}  // namespace parley::link::test
