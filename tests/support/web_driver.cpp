#include "support/web_driver.hpp"

#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>
#include <fstream>
#include <stdexcept>

#include "base/process.hpp"
#include "support/test_support.hpp"

extern char** environ;

namespace parley::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using asio::ip::tcp;

namespace {

constexpr std::string_view kElementKey = "element-6066-11e4-a52e-4f735466cecf";

std::optional<std::filesystem::path> chromium() {
  if (auto found = base::findExecutable("chromium"))
    return found;
  return base::findExecutable("google-chrome");
}

unsigned short freePort() {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace

struct WebDriver::Impl {
  unsigned short port = 0;
  pid_t driver = -1;
  std::string session;
  TempDir profile;
};

std::optional<std::string> WebDriver::unavailable() {
  if (!chromium())
    return "chromium is not installed (scripts/install-deps.sh installs it)";
  if (!base::findExecutable("chromedriver"))
    return "chromedriver is not installed (scripts/install-deps.sh installs it)";
  return std::nullopt;
}

WebDriver::WebDriver() : WebDriver(Options{}) {}

WebDriver::WebDriver(Options options) : impl_(std::make_unique<Impl>()) {
  if (const auto reason = unavailable())
    throw std::runtime_error(*reason);
  impl_->port = freePort();
  const std::string driver = base::findExecutable("chromedriver")->string();
  const std::string portArg = "--port=" + std::to_string(impl_->port);
  char* argv[] = {const_cast<char*>(driver.c_str()), const_cast<char*>(portArg.c_str()),
                  const_cast<char*>("--log-level=SEVERE"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = ::posix_spawn(&impl_->driver, driver.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error("chromedriver did not start");
  if (!waitUntil(
          [&] {
            try {
              return call("GET", "/status").at("ready").as_bool();
            } catch (const std::exception&) {
              return false;
            }
          },
          std::chrono::seconds(20), std::chrono::milliseconds(50)))
    throw std::runtime_error("chromedriver did not answer");

  json::array args{
      "--headless=new",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-dev-shm-usage",
      "--no-first-run",
      "--disable-extensions",
      "--mute-audio",
      "--user-data-dir=" + impl_->profile.path().string(),
      "--window-size=" + std::to_string(options.width) + "," + std::to_string(options.height)};
  for (const std::string& extra : options.switches)
    args.emplace_back(extra);
  json::object chrome{{"binary", chromium()->string()}, {"args", std::move(args)}};
  if (options.mobile)
    chrome["mobileEmulation"] = {{"deviceMetrics",
                                  {{"width", options.width},
                                   {"height", options.height},
                                   {"pixelRatio", 1},
                                   {"touch", true}}}};
  const json::value capabilities = {{"capabilities",
                                     {{"alwaysMatch",
                                       {{"browserName", "chrome"},
                                        {"goog:chromeOptions", std::move(chrome)},
                                        {"goog:loggingPrefs", {{"browser", "ALL"}}}}}}}};
  impl_->session =
      json::value_to<std::string>(call("POST", "/session", &capabilities).at("sessionId"));
}

WebDriver::~WebDriver() {
  if (!impl_->session.empty()) {
    try {
      call("DELETE", "/session/" + impl_->session);
    } catch (const std::exception&) {
      // the browser is going away with the driver anyway
    }
  }
  if (impl_->driver > 0) {
    ::kill(impl_->driver, SIGTERM);
    ::waitpid(impl_->driver, nullptr, 0);
  }
}

json::value WebDriver::call(const std::string& method, const std::string& path,
                            const json::value* body) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(60));
  stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), impl_->port));
  http::request<http::string_body> request(http::string_to_verb(method), path, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(impl_->port));
  if (body != nullptr || method == "POST") {
    request.set(http::field::content_type, "application/json");
    request.body() = body != nullptr ? json::serialize(*body) : "{}";
  }
  request.prepare_payload();
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  http::read(stream, buffer, parser);
  json::value reply = json::parse(parser.get().body());
  json::value value = reply.as_object().contains("value") ? reply.at("value") : json::value{};
  if (value.is_object() && value.as_object().contains("error"))
    throw std::runtime_error(method + " " + path + ": " +
                             json::value_to<std::string>(value.at("error")) + ": " +
                             json::value_to<std::string>(value.at("message")));
  return value;
}

void WebDriver::go(const std::string& url) {
  const json::value body = {{"url", url}};
  call("POST", "/session/" + impl_->session + "/url", &body);
}

std::string WebDriver::url() {
  return json::value_to<std::string>(call("GET", "/session/" + impl_->session + "/url"));
}

std::vector<std::string> WebDriver::elements(const std::string& css) {
  const json::value body = {{"using", "css selector"}, {"value", css}};
  std::vector<std::string> ids;
  // Held in a variable: a range-for over call(...).as_array() would walk an
  // array whose owner is already destroyed.
  const json::value found = call("POST", "/session/" + impl_->session + "/elements", &body);
  for (const json::value& element : found.as_array())
    ids.push_back(json::value_to<std::string>(element.at(kElementKey)));
  return ids;
}

std::string WebDriver::element(const std::string& css) {
  const std::vector<std::string> found = elements(css);
  if (found.empty())
    throw std::runtime_error("no element matches " + css);
  return found.front();
}

void WebDriver::click(const std::string& css) {
  call("POST", "/session/" + impl_->session + "/element/" + element(css) + "/click");
}

void WebDriver::type(const std::string& css, const std::string& text) {
  const json::value body = {{"text", text}};
  call("POST", "/session/" + impl_->session + "/element/" + element(css) + "/value", &body);
}

void WebDriver::clear(const std::string& css) {
  call("POST", "/session/" + impl_->session + "/element/" + element(css) + "/clear");
}

std::string WebDriver::text(const std::string& css) {
  const std::vector<std::string> found = elements(css);
  if (found.empty())
    return "";
  return json::value_to<std::string>(
      call("GET", "/session/" + impl_->session + "/element/" + found.front() + "/text"));
}

std::optional<std::string> WebDriver::attribute(const std::string& css, const std::string& name) {
  const json::value value =
      call("GET", "/session/" + impl_->session + "/element/" + element(css) + "/attribute/" + name);
  if (value.is_null())
    return std::nullopt;
  return json::value_to<std::string>(value);
}

void WebDriver::grant(const std::string& permission) {
  const json::value body = {{"descriptor", {{"name", permission}}}, {"state", "granted"}};
  call("POST", "/session/" + impl_->session + "/permissions", &body);
}

json::value WebDriver::script(const std::string& script, json::array arguments) {
  const json::value body = {{"script", script}, {"args", std::move(arguments)}};
  return call("POST", "/session/" + impl_->session + "/execute/sync", &body);
}

bool WebDriver::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        try {
          return condition();
        } catch (const std::exception&) {
          return false;
        }
      },
      timeout, std::chrono::milliseconds(100));
}

bool WebDriver::waitForText(const std::string& css, const std::string& contains,
                            std::chrono::milliseconds timeout) {
  return waitFor([&] { return text(css).find(contains) != std::string::npos; }, timeout);
}

void WebDriver::screenshot(const std::filesystem::path& png) {
  const std::string encoded =
      json::value_to<std::string>(call("GET", "/session/" + impl_->session + "/screenshot"));
  std::string bytes(encoded.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(encoded.data()),
                                     static_cast<int>(encoded.size()));
  if (length < 0)
    throw std::runtime_error("the screenshot is not Base64");
  // EVP_DecodeBlock counts the padding as zero bytes.
  const auto padding = encoded.size() - encoded.find_last_not_of('=') - 1;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  std::filesystem::create_directories(png.parent_path());
  std::ofstream(png, std::ios::binary) << bytes;
}

std::string WebDriver::consoleLog() {
  try {
    const json::value body = {{"type", "browser"}};
    std::string lines;
    const json::value entries = call("POST", "/session/" + impl_->session + "/se/log", &body);
    for (const json::value& entry : entries.as_array())
      lines += json::value_to<std::string>(entry.at("message")) + "\n";
    return lines;
  } catch (const std::exception& e) {
    return std::string("(no console log: ") + e.what() + ")";
  }
}

}  // namespace parley::test
