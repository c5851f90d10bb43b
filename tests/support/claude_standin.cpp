#include "claude_standin.hpp"

#include <sys/socket.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>

namespace parley::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace json = boost::json;
using tcp = asio::ip::tcp;

namespace {

constexpr const char* kNoTurnText = "(the stand-in has no scripted turn)";

std::string randomHex(std::size_t digits) {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::string out;
  while (out.size() < digits) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(engine()));
    out += buf;
  }
  out.resize(digits);
  return out;
}

std::string sseEvent(const char* name, const json::object& data) {
  return std::string("event: ") + name + "\ndata: " + json::serialize(data) + "\n\n";
}

json::object usage(int input, int output) {
  return {{"input_tokens", input},
          {"output_tokens", output},
          {"cache_creation_input_tokens", 0},
          {"cache_read_input_tokens", 0}};
}

std::string messageStart(const std::string& model, const std::string& id) {
  json::object message{{"id", id},
                       {"type", "message"},
                       {"role", "assistant"},
                       {"model", model},
                       {"content", json::array{}},
                       {"stop_reason", nullptr},
                       {"stop_sequence", nullptr},
                       {"usage", usage(5, 1)}};
  return sseEvent("message_start", {{"type", "message_start"}, {"message", std::move(message)}});
}

std::string textBlockStart(int index) {
  return sseEvent("content_block_start", {{"type", "content_block_start"},
                                          {"index", index},
                                          {"content_block", {{"type", "text"}, {"text", ""}}}});
}

std::string textDelta(int index, const std::string& text) {
  return sseEvent("content_block_delta", {{"type", "content_block_delta"},
                                          {"index", index},
                                          {"delta", {{"type", "text_delta"}, {"text", text}}}});
}

std::string blockStop(int index) {
  return sseEvent("content_block_stop", {{"type", "content_block_stop"}, {"index", index}});
}

std::string messageEnd(const char* stopReason) {
  return sseEvent("message_delta",
                  {{"type", "message_delta"},
                   {"delta", {{"stop_reason", stopReason}, {"stop_sequence", nullptr}}},
                   {"usage", {{"output_tokens", 20}}}}) +
         sseEvent("message_stop", {{"type", "message_stop"}});
}

// Splits text into small pieces on UTF-8 boundaries, so that Claude Code sees
// a real stream of deltas rather than one block.
std::vector<std::string> chunks(const std::string& text, std::size_t size = 24) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.size(), start + size);
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
      ++end;
    out.push_back(text.substr(start, end - start));
    start = end;
  }
  return out;
}

Turn::Step textStep(std::string text) {
  Turn::Step step;
  step.text = std::move(text);
  return step;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

const json::array* lastUserContent(const json::value& body, std::string* plain) {
  const json::object* obj = body.if_object();
  if (!obj)
    return nullptr;
  const json::value* messages = obj->if_contains("messages");
  if (!messages || !messages->is_array())
    return nullptr;
  const json::array& list = messages->get_array();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const json::object* message = it->if_object();
    if (!message)
      continue;
    const json::value* role = message->if_contains("role");
    if (!role || !role->is_string() || role->get_string() != "user")
      continue;
    const json::value* content = message->if_contains("content");
    if (!content)
      return nullptr;
    if (content->is_string()) {
      if (plain)
        *plain = std::string(content->get_string());
      return nullptr;
    }
    return content->if_array();
  }
  return nullptr;
}

// A value that fits a JSON schema well enough for Claude Code's structured
// side requests (the session title asks for {"title": string}).
json::value sampleFor(const json::value& schema) {
  const json::object* s = schema.if_object();
  if (!s)
    return "Stand-in";
  const json::value* type = s->if_contains("type");
  const std::string_view t = type && type->is_string() ? std::string_view(type->get_string()) : "";
  if (t == "object") {
    json::object out;
    if (const json::value* props = s->if_contains("properties"); props && props->is_object())
      for (const auto& p : props->get_object())
        out[p.key()] = sampleFor(p.value());
    return out;
  }
  if (t == "array")
    return json::array{};
  if (t == "boolean")
    return false;
  if (t == "number" || t == "integer")
    return 0;
  return "Stand-in session";
}

std::string sideAnswerText(const json::value& body) {
  if (const json::object* obj = body.if_object())
    if (const json::value* config = obj->if_contains("output_config");
        config && config->is_object())
      if (const json::value* format = config->get_object().if_contains("format");
          format && format->is_object())
        if (const json::value* schema = format->get_object().if_contains("schema"))
          return json::serialize(sampleFor(*schema));
  return "OK";
}

}  // namespace

// ---------------------------------------------------------------------------

ToolCall ToolCall::bash(std::string command, std::string description) {
  json::object input{{"command", std::move(command)}};
  if (!description.empty())
    input["description"] = std::move(description);
  return {"Bash", std::move(input), {}};
}

ToolCall ToolCall::write(std::string filePath, std::string content) {
  return {"Write", {{"file_path", std::move(filePath)}, {"content", std::move(content)}}, {}};
}

ToolCall ToolCall::askUserQuestion(std::string question, std::string header,
                                   std::vector<std::pair<std::string, std::string>> options,
                                   bool multiSelect) {
  json::array opts;
  for (auto& [label, description] : options)
    opts.push_back(json::object{{"label", label}, {"description", description}});
  json::object q{{"question", std::move(question)},
                 {"header", std::move(header)},
                 {"options", std::move(opts)},
                 {"multiSelect", multiSelect}};
  return {"AskUserQuestion", {{"questions", json::array{std::move(q)}}}, {}};
}

Turn Turn::text(std::string markdown) {
  Turn t;
  t.steps_.push_back({std::move(markdown), {}, false});
  return t;
}

Turn Turn::tools(std::vector<ToolCall> calls, std::string preamble) {
  Turn t;
  t.steps_.push_back({std::move(preamble), std::move(calls), false});
  return t;
}

Turn Turn::slow(std::string firstWords) {
  Turn t;
  t.steps_.push_back({std::move(firstWords), {}, true});
  return t;
}

Turn&& Turn::then(std::string markdown) && {
  steps_.push_back({std::move(markdown), {}, false});
  return std::move(*this);
}

Turn&& Turn::thenTools(std::vector<ToolCall> calls, std::string preamble) && {
  steps_.push_back({std::move(preamble), std::move(calls), false});
  return std::move(*this);
}

std::string RecordedRequest::userText() const {
  std::string plain;
  const json::array* content = lastUserContent(body, &plain);
  if (!content)
    return plain;
  std::string out;
  for (const auto& block : *content) {
    const json::object* b = block.if_object();
    if (!b)
      continue;
    const json::value* type = b->if_contains("type");
    const json::value* text = b->if_contains("text");
    if (!type || !type->is_string() || type->get_string() != "text" || !text || !text->is_string())
      continue;
    if (startsWith(text->get_string(), "<system-reminder>"))
      continue;
    if (!out.empty())
      out += "\n";
    out += text->get_string();
  }
  return out;
}

std::vector<ToolResult> RecordedRequest::toolResults() const {
  std::vector<ToolResult> out;
  const json::array* content = lastUserContent(body, nullptr);
  if (!content)
    return out;
  for (const auto& block : *content) {
    const json::object* b = block.if_object();
    if (!b)
      continue;
    const json::value* type = b->if_contains("type");
    if (!type || !type->is_string() || type->get_string() != "tool_result")
      continue;
    ToolResult r;
    if (const json::value* id = b->if_contains("tool_use_id"); id && id->is_string())
      r.toolUseId = id->get_string();
    if (const json::value* err = b->if_contains("is_error"); err && err->is_bool())
      r.isError = err->get_bool();
    if (const json::value* c = b->if_contains("content")) {
      if (c->is_string()) {
        r.content = c->get_string();
      } else if (c->is_array()) {
        for (const auto& part : c->get_array()) {
          const json::object* p = part.if_object();
          const json::value* text = p ? p->if_contains("text") : nullptr;
          if (!text || !text->is_string())
            continue;
          if (!r.content.empty())
            r.content += "\n";
          r.content += text->get_string();
        }
      }
    }
    out.push_back(std::move(r));
  }
  return out;
}

namespace {

// The server-sent events of one message.
std::string sseMessage(const Turn::Step& step, const std::string& model,
                       const std::string& messageId) {
  std::string out = messageStart(model, messageId);
  int index = 0;
  if (!step.text.empty() || step.calls.empty()) {
    out += textBlockStart(index);
    for (const auto& piece : chunks(step.text))
      out += textDelta(index, piece);
    out += blockStop(index);
    ++index;
  }
  for (const auto& call : step.calls) {
    out += sseEvent("content_block_start", {{"type", "content_block_start"},
                                            {"index", index},
                                            {"content_block",
                                             {{"type", "tool_use"},
                                              {"id", call.id},
                                              {"name", call.name},
                                              {"input", json::object{}}}}});
    for (const auto& piece : chunks(json::serialize(call.input), 64))
      out += sseEvent("content_block_delta",
                      {{"type", "content_block_delta"},
                       {"index", index},
                       {"delta", {{"type", "input_json_delta"}, {"partial_json", piece}}}});
    out += blockStop(index);
    ++index;
  }
  out += messageEnd(step.calls.empty() ? "end_turn" : "tool_use");
  return out;
}

}  // namespace

struct ClaudeStandIn::Impl {
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::thread acceptThread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  bool stopSlow = false;
  bool slowStreaming = false;
  std::deque<Turn> queue;
  std::optional<Turn> current;  // the turn whose tool calls await results
  std::size_t nextStep = 0;     // the step that answers them
  std::vector<std::string> pendingToolIds;
  std::vector<RecordedRequest> requests;
  std::vector<std::string> unknown;
  std::vector<std::shared_ptr<tcp::socket>> sockets;
  std::vector<std::thread> workers;
  std::atomic<unsigned> messageCounter{0};

  void acceptLoop();
  void serve(std::shared_ptr<tcp::socket> socket);
  Turn::Step nextMainStep(const RecordedRequest& request);
  bool streamSlow(tcp::socket& socket, const Turn::Step& step, const std::string& model,
                  const std::string& id);
  std::string newMessageId() { return "msg_standin_" + std::to_string(++messageCounter); }
};

ClaudeStandIn::ClaudeStandIn() : impl_(std::make_unique<Impl>()) {
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  impl_->acceptThread = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
}

ClaudeStandIn::~ClaudeStandIn() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    // Blocking calls on these sockets return once they are shut down.
    ::shutdown(impl_->acceptor.native_handle(), SHUT_RDWR);
    for (auto& s : impl_->sockets)
      ::shutdown(s->native_handle(), SHUT_RDWR);
  }
  impl_->changed.notify_all();
  impl_->acceptThread.join();
  // No new workers start once the acceptor has stopped.
  for (auto& w : impl_->workers)
    w.join();
}

std::string ClaudeStandIn::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void ClaudeStandIn::enqueue(Turn turn) {
  std::lock_guard lock(impl_->mutex);
  impl_->queue.push_back(std::move(turn));
}

void ClaudeStandIn::stopSlowStream() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopSlow = true;
  }
  impl_->changed.notify_all();
}

bool ClaudeStandIn::slowStreaming() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->slowStreaming;
}

std::vector<RecordedRequest> ClaudeStandIn::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<RecordedRequest> ClaudeStandIn::mainRequests() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> out;
  for (const auto& r : impl_->requests)
    if (r.main)
      out.push_back(r);
  return out;
}

std::vector<std::string> ClaudeStandIn::unknownRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->unknown;
}

bool ClaudeStandIn::waitForMainRequests(std::size_t count,
                                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] {
    std::size_t n = 0;
    for (const auto& r : impl_->requests)
      n += r.main ? 1 : 0;
    return n >= count;
  });
}

void ClaudeStandIn::Impl::acceptLoop() {
  while (true) {
    auto socket = std::make_shared<tcp::socket>(io);
    boost::system::error_code ec;
    acceptor.accept(*socket, ec);
    std::lock_guard lock(mutex);
    if (stopping)
      return;
    if (ec)
      continue;
    sockets.push_back(socket);
    workers.emplace_back([this, socket] { serve(socket); });
  }
}

Turn::Step ClaudeStandIn::Impl::nextMainStep(const RecordedRequest& request) {
  // A request that carries the results of our pending tool calls, and nothing
  // typed by the user, continues the current turn; anything else is a prompt.
  bool continues = false;
  if (current && request.userText().empty())
    for (const auto& result : request.toolResults())
      for (const auto& id : pendingToolIds)
        continues = continues || result.toolUseId == id;

  Turn::Step step;
  if (continues) {
    step = nextStep < current->steps().size() ? current->steps()[nextStep] : textStep("Done.");
    ++nextStep;
  } else if (!queue.empty()) {
    current = std::move(queue.front());
    queue.pop_front();
    step = current->steps().front();
    nextStep = 1;
  } else {
    current.reset();
    step = textStep(kNoTurnText);
  }
  pendingToolIds.clear();
  for (auto& call : step.calls) {
    if (call.id.empty())
      call.id = "toolu_" + randomHex(24);
    pendingToolIds.push_back(call.id);
  }
  if (step.calls.empty())
    current.reset();
  return step;
}

bool ClaudeStandIn::Impl::streamSlow(tcp::socket& socket, const Turn::Step& step,
                                     const std::string& model, const std::string& id) {
  boost::system::error_code ec;
  auto send = [&](const std::string& data) {
    asio::write(socket, asio::buffer(data), ec);
    return !ec;
  };
  if (!send(messageStart(model, id) + textBlockStart(0) + textDelta(0, step.text)))
    return false;
  {
    std::lock_guard lock(mutex);
    slowStreaming = true;
  }
  changed.notify_all();
  bool stopped = false;
  for (int word = 0; !ec; ++word) {
    std::unique_lock lock(mutex);
    // The pace of the stream, not a wait for a condition: a word every 150 ms
    // keeps Claude Code busy rendering until the test stops it.
    changed.wait_for(lock, std::chrono::milliseconds(150), [&] { return stopSlow || stopping; });
    if (stopSlow || stopping) {
      stopSlow = false;
      stopped = true;
      break;
    }
    lock.unlock();
    send(textDelta(0, " word" + std::to_string(word)));
  }
  if (stopped)
    send(blockStop(0) + messageEnd("end_turn"));
  std::lock_guard lock(mutex);
  slowStreaming = false;
  return !ec;
}

void ClaudeStandIn::Impl::serve(std::shared_ptr<tcp::socket> socket) {
  boost::beast::flat_buffer buffer;
  while (true) {
    // Beast takes 1 MB by default; a conversation with a few photos in it
    // is larger, and the Messages API takes up to 32 MB.
    http::request_parser<http::string_body> parser;
    parser.body_limit(32 * 1024 * 1024);
    boost::system::error_code ec;
    http::read(*socket, buffer, parser, ec);
    if (ec)
      break;
    http::request<http::string_body> req = parser.release();

    RecordedRequest record;
    record.received = std::chrono::system_clock::now();
    record.method = std::string(req.method_string());
    record.target = std::string(req.target());
    record.path = record.target.substr(0, record.target.find('?'));
    if (!req.body().empty()) {
      json::error_code jec;
      record.body = json::parse(req.body(), jec);
      if (jec)
        record.body = nullptr;
    }
    const json::object* body = record.body.if_object();
    const json::value* tools = body ? body->if_contains("tools") : nullptr;
    record.main = tools && tools->is_array() && !tools->get_array().empty();
    const json::value* modelValue = body ? body->if_contains("model") : nullptr;
    const std::string model = modelValue && modelValue->is_string()
                                  ? std::string(modelValue->get_string())
                                  : std::string("claude-standin");
    const json::value* streamValue = body ? body->if_contains("stream") : nullptr;
    const bool stream = streamValue && streamValue->is_bool() && streamValue->get_bool();

    const bool messages = req.method() == http::verb::post && record.path == "/v1/messages";
    Turn::Step step;
    std::string plainBody;
    http::status status = http::status::ok;
    {
      std::lock_guard lock(mutex);
      if (messages && record.main) {
        step = nextMainStep(record);
      } else if (messages) {
        step = textStep(sideAnswerText(record.body));
      } else if (req.method() == http::verb::post && record.path == "/v1/messages/count_tokens") {
        plainBody = R"({"input_tokens":100})";
      } else if (record.path == "/api/hello") {
        plainBody = "{}";
      } else {
        unknown.push_back(record.method + " " + record.target);
        std::cerr << "claude stand-in: no answer for " << record.method << " " << record.target
                  << "\n";
        status = http::status::not_found;
        plainBody =
            R"({"type":"error","error":{"type":"not_found_error","message":"not in the stand-in"}})";
      }
      requests.push_back(record);
    }
    changed.notify_all();

    if (messages && stream) {
      // Server-sent events end with the connection: no length, no chunking.
      const std::string head =
          "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
          "request-id: req_standin\r\nConnection: close\r\n\r\n";
      asio::write(*socket, asio::buffer(head), ec);
      if (!ec) {
        if (step.slow)
          streamSlow(*socket, step, model, newMessageId());
        else
          asio::write(*socket, asio::buffer(sseMessage(step, model, newMessageId())), ec);
      }
      break;
    }
    if (messages) {
      // A non-streaming request gets the same message as one JSON object.
      json::array content;
      if (!step.text.empty() || step.calls.empty())
        content.push_back(json::object{{"type", "text"}, {"text", step.text}});
      for (const auto& call : step.calls)
        content.push_back(json::object{
            {"type", "tool_use"}, {"id", call.id}, {"name", call.name}, {"input", call.input}});
      plainBody = json::serialize(
          json::object{{"id", newMessageId()},
                       {"type", "message"},
                       {"role", "assistant"},
                       {"model", model},
                       {"content", std::move(content)},
                       {"stop_reason", step.calls.empty() ? "end_turn" : "tool_use"},
                       {"stop_sequence", nullptr},
                       {"usage", usage(5, 20)}});
    }
    http::response<http::string_body> res{status, req.version()};
    res.set(http::field::content_type, "application/json");
    res.set("request-id", "req_standin");
    res.keep_alive(req.keep_alive());
    if (req.method() != http::verb::head)
      res.body() = plainBody;
    res.prepare_payload();
    http::write(*socket, res, ec);
    if (ec || !req.keep_alive())
      break;
  }
  boost::system::error_code ignored;
  socket->shutdown(tcp::socket::shutdown_both, ignored);
}

}  // namespace parley::test
