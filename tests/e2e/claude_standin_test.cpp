// The Messages API stand-in, driven over real loopback HTTP the way Claude
// Code drives it.
#include "claude_standin.hpp"

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <thread>

#include "test_support.hpp"

namespace parley::test {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace json = boost::json;

struct Event {
  std::string name;
  json::object data;
};

// Parses a server-sent event stream; every data line must be one JSON object
// whose "type" repeats the event name, as the Messages API sends them.
std::vector<Event> parseEvents(const std::string& stream) {
  std::vector<Event> events;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    const std::size_t end = stream.find("\n\n", pos);
    EXPECT_NE(end, std::string::npos) << "unterminated event at " << pos;
    if (end == std::string::npos)
      break;
    const std::string block = stream.substr(pos, end - pos);
    pos = end + 2;
    const std::size_t nl = block.find('\n');
    EXPECT_EQ(block.rfind("event: ", 0), 0u) << block;
    EXPECT_EQ(block.compare(nl + 1, 6, "data: "), 0) << block;
    Event e;
    e.name = block.substr(7, nl - 7);
    json::error_code ec;
    json::value data = json::parse(block.substr(nl + 7), ec);
    EXPECT_FALSE(ec) << "data is not JSON: " << block;
    if (ec || !data.is_object())
      continue;
    e.data = data.get_object();
    EXPECT_EQ(json::value_to<std::string>(e.data.at("type")), e.name);
    events.push_back(std::move(e));
  }
  return events;
}

std::vector<std::string> names(const std::vector<Event>& events) {
  std::vector<std::string> out;
  for (const auto& e : events)
    out.push_back(e.name);
  return out;
}

// The concatenated deltas of one content block.
std::string blockDeltas(const std::vector<Event>& events, int index, const char* field) {
  std::string out;
  for (const auto& e : events)
    if (e.name == "content_block_delta" && e.data.at("index").as_int64() == index)
      out += json::value_to<std::string>(e.data.at("delta").at(field));
  return out;
}

std::string stopReason(const std::vector<Event>& events) {
  for (const auto& e : events)
    if (e.name == "message_delta")
      return json::value_to<std::string>(e.data.at("delta").at("stop_reason"));
  return "(none)";
}

struct Reply {
  unsigned status = 0;
  std::string body;
};

// One request on a fresh connection; the body is read to its end (server-sent
// events end with the connection).
Reply send(const ClaudeStandIn& api, http::verb verb, const std::string& target,
           const std::string& body = {}) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), api.port()});
  http::request<http::string_body> req{verb, target, 11};
  req.set(http::field::host, "127.0.0.1");
  req.set(http::field::content_type, "application/json");
  req.body() = body;
  req.prepare_payload();
  http::write(socket, req);
  boost::beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  if (verb == http::verb::head)
    parser.skip(true);
  http::read(socket, buffer, parser);
  return {parser.get().result_int(), parser.get().body()};
}

// A main conversation request as Claude Code shapes it: a user message with a
// system reminder before the prompt, a system message after it, and tools.
json::object mainRequest(json::array userContent, json::array history = {}) {
  history.push_back(json::object{{"role", "user"}, {"content", std::move(userContent)}});
  history.push_back(json::object{
      {"role", "system"},
      {"content", json::array{json::object{{"type", "text"}, {"text", "Available agent types"}}}}});
  return {{"model", "claude-opus-5"},
          {"stream", true},
          {"messages", std::move(history)},
          {"tools", json::array{json::object{{"name", "Bash"}}}}};
}

json::object textBlock(const std::string& text) {
  return {{"type", "text"}, {"text", text}};
}

json::array prompt(const std::string& text) {
  return {textBlock("<system-reminder>\nToday's date is 2026-12-06.\n</system-reminder>\n"),
          textBlock(text)};
}

json::object toolResult(const std::string& id, const std::string& content, bool isError = false) {
  return {
      {"type", "tool_result"}, {"tool_use_id", id}, {"content", content}, {"is_error", isError}};
}

std::vector<Event> postMain(ClaudeStandIn& api, const json::object& request) {
  const Reply r = send(api, http::verb::post, "/v1/messages?beta=true", json::serialize(request));
  EXPECT_EQ(r.status, 200u);
  return parseEvents(r.body);
}

std::string toolUseId(const std::vector<Event>& events, int index) {
  for (const auto& e : events)
    if (e.name == "content_block_start" && e.data.at("index").as_int64() == index)
      return json::value_to<std::string>(e.data.at("content_block").at("id"));
  return {};
}

TEST(ClaudeStandInEvents, TextAnswerIsOneTextBlockStreamedInPiecesThatEndsTheTurn) {
  const std::string text = "## Done\n\nI changed **three** files: `a.cpp`, `b.cpp` and `c.cpp`.";
  Turn turn = Turn::text(text);
  const auto events =
      parseEvents(ClaudeStandIn::sseMessage(turn.steps()[0], "claude-opus-5", "msg_1"));

  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events.front().name, "message_start");
  const json::object& message = events.front().data.at("message").as_object();
  EXPECT_EQ(message.at("id"), "msg_1");
  EXPECT_EQ(message.at("role"), "assistant");
  EXPECT_EQ(message.at("model"), "claude-opus-5");
  EXPECT_TRUE(message.at("content").as_array().empty());
  EXPECT_TRUE(message.at("usage").as_object().contains("input_tokens"));
  EXPECT_EQ(events[1].name, "content_block_start");
  EXPECT_EQ(events[1].data.at("content_block").at("type"), "text");
  const auto n = names(events);
  EXPECT_GT(std::count(n.begin(), n.end(), "content_block_delta"), 1) << "text not streamed";
  EXPECT_EQ(blockDeltas(events, 0, "text"), text);
  EXPECT_EQ((std::vector<std::string>(n.end() - 3, n.end())),
            (std::vector<std::string>{"content_block_stop", "message_delta", "message_stop"}));
  EXPECT_EQ(stopReason(events), "end_turn");
}

TEST(ClaudeStandInEvents, DeltasNeverSplitAUtf8Character) {
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += "é漢😀";
  Turn turn = Turn::text(text);
  // parseEvents fails on any data line that is not valid UTF-8 JSON.
  const auto events = parseEvents(ClaudeStandIn::sseMessage(turn.steps()[0], "m", "msg_2"));
  EXPECT_EQ(blockDeltas(events, 0, "text"), text);
}

TEST(ClaudeStandInEvents, ToolCallsFollowTheirPreambleAsToolUseBlocks) {
  ToolCall bash = ToolCall::bash("ls -la && echo \"quoted\"", "List the files");
  bash.id = "toolu_bash";
  ToolCall ask = ToolCall::askUserQuestion(
      "Which database?", "Database", {{"Postgres", "Relational server"}, {"SQLite", "Embedded"}});
  ask.id = "toolu_ask";
  Turn turn = Turn::tools({bash, ask}, "Let me look.");
  const auto events = parseEvents(ClaudeStandIn::sseMessage(turn.steps()[0], "m", "msg_3"));

  EXPECT_EQ(blockDeltas(events, 0, "text"), "Let me look.");
  EXPECT_EQ(toolUseId(events, 1), "toolu_bash");
  EXPECT_EQ(toolUseId(events, 2), "toolu_ask");
  for (const auto& e : events) {
    if (e.name != "content_block_start" || e.data.at("index").as_int64() == 0)
      continue;
    const json::object& block = e.data.at("content_block").as_object();
    EXPECT_EQ(block.at("type"), "tool_use");
    EXPECT_TRUE(block.at("input").as_object().empty()) << "input arrives only as deltas";
  }
  EXPECT_EQ(json::parse(blockDeltas(events, 1, "partial_json")), json::value(bash.input));
  const json::value askInput = json::parse(blockDeltas(events, 2, "partial_json"));
  EXPECT_EQ(askInput.at("questions").at(0).at("options").at(1).at("label"), "SQLite");
  EXPECT_EQ(askInput.at("questions").at(0).at("multiSelect"), false);
  EXPECT_EQ(stopReason(events), "tool_use");
}

TEST(ClaudeStandInEvents, ToolCallWithoutPreambleHasNoTextBlock) {
  ToolCall write = ToolCall::write("/tmp/notes.txt", "hello\n");
  write.id = "toolu_w";
  Turn turn = Turn::tools({write});
  const auto events = parseEvents(ClaudeStandIn::sseMessage(turn.steps()[0], "m", "msg_4"));
  EXPECT_EQ(toolUseId(events, 0), "toolu_w");
  EXPECT_EQ(json::parse(blockDeltas(events, 0, "partial_json")),
            json::value({{"file_path", "/tmp/notes.txt"}, {"content", "hello\n"}}));
}

TEST(ClaudeStandInRequests, UserTextSkipsSystemRemindersAndReadsTheLastUserMessage) {
  RecordedRequest r;
  r.body = mainRequest(prompt("second prompt"),
                       json::array{json::object{{"role", "user"}, {"content", "first prompt"}},
                                   json::object{{"role", "assistant"}, {"content", "ok"}}});
  EXPECT_EQ(r.userText(), "second prompt");
  EXPECT_TRUE(r.toolResults().empty());

  r.body =
      json::object{{"messages", json::array{json::object{{"role", "user"}, {"content", "plain"}}}}};
  EXPECT_EQ(r.userText(), "plain");

  r.body = mainRequest(
      json::array{toolResult("toolu_1", "out"),
                  json::object{{"type", "tool_result"},
                               {"tool_use_id", "toolu_2"},
                               {"content", json::array{textBlock("line 1"), textBlock("line 2")}}},
                  toolResult("toolu_3", "rejected", true)});
  EXPECT_EQ(r.userText(), "");
  const auto results = r.toolResults();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].toolUseId, "toolu_1");
  EXPECT_EQ(results[0].content, "out");
  EXPECT_FALSE(results[0].isError);
  EXPECT_EQ(results[1].content, "line 1\nline 2");
  EXPECT_TRUE(results[2].isError);

  r.body = nullptr;
  EXPECT_EQ(r.userText(), "");
  EXPECT_TRUE(r.toolResults().empty());
}

TEST(ClaudeStandInServer, SideRequestsAreAnsweredWithoutConsumingTurns) {
  ClaudeStandIn api;
  api.enqueue(Turn::text("kept for the prompt"));

  EXPECT_EQ(send(api, http::verb::head, "/api/hello").status, 200u);
  const Reply count = send(api, http::verb::post, "/v1/messages/count_tokens?beta=true",
                           R"({"model":"claude-opus-5","messages":[]})");
  EXPECT_EQ(count.status, 200u);
  EXPECT_TRUE(json::parse(count.body).at("input_tokens").is_int64());

  // The session title: no tools, structured output asking for {"title"}.
  const json::object title{
      {"model", "claude-haiku-4-5-20251001"},
      {"stream", true},
      {"tools", json::array{}},
      {"messages",
       json::array{json::object{{"role", "user"}, {"content", "<session>hi</session>"}}}},
      {"output_config",
       {{"format",
         {{"type", "json_schema"},
          {"schema",
           {{"type", "object"},
            {"properties", {{"title", {{"type", "string"}}}}},
            {"required", json::array{"title"}}}}}}}}};
  const auto events = postMain(api, title);
  const json::value titleJson = json::parse(blockDeltas(events, 0, "text"));
  EXPECT_TRUE(titleJson.at("title").is_string());

  // Non-streaming side request.
  const Reply side = send(api, http::verb::post, "/v1/messages",
                          R"({"model":"m","messages":[{"role":"user","content":"x"}]})");
  const json::value sideJson = json::parse(side.body);
  EXPECT_EQ(sideJson.at("type"), "message");
  EXPECT_EQ(sideJson.at("content").at(0).at("type"), "text");

  EXPECT_EQ(api.queuedTurns(), 1u);
  EXPECT_TRUE(api.mainRequests().empty());
  EXPECT_EQ(api.requests().size(), 4u);
  EXPECT_TRUE(api.unknownRequests().empty());
}

TEST(ClaudeStandInServer, UnknownPathsAre404AndListed) {
  ClaudeStandIn api;
  EXPECT_EQ(send(api, http::verb::get, "/v1/models?limit=5").status, 404u);
  EXPECT_EQ(send(api, http::verb::post, "/v1/complete", "{}").status, 404u);
  EXPECT_EQ(api.unknownRequests(),
            (std::vector<std::string>{"GET /v1/models?limit=5", "POST /v1/complete"}));
}

TEST(ClaudeStandInServer, ToolTurnContinuesOnlyWithItsOwnToolResults) {
  ClaudeStandIn api;
  api.enqueue(Turn::tools({ToolCall::bash("make", "Build")}, "Building.")
                  .thenTools({ToolCall::bash("make test", "Test")})
                  .then("All green."));
  api.enqueue(Turn::text("Second turn."));

  auto events = postMain(api, mainRequest(prompt("build it")));
  EXPECT_EQ(stopReason(events), "tool_use");
  const std::string first = toolUseId(events, 1);
  EXPECT_EQ(first.rfind("toolu_", 0), 0u);

  // A result for some other call is not ours: that is a new prompt.
  events = postMain(api, mainRequest(json::array{toolResult("toolu_other", "x")}));
  EXPECT_EQ(blockDeltas(events, 0, "text"), "Second turn.");
  EXPECT_EQ(api.queuedTurns(), 0u);

  api.enqueue(Turn::tools({ToolCall::bash("make", "Build")}).then("Built."));
  events = postMain(api, mainRequest(prompt("build again")));
  const std::string id = toolUseId(events, 0);
  // Results of our call, with a system reminder beside them, continue the turn.
  json::array followUp{toolResult(id, "ok"), textBlock("<system-reminder>x</system-reminder>")};
  events = postMain(api, mainRequest(followUp));
  EXPECT_EQ(blockDeltas(events, 0, "text"), "Built.");
  EXPECT_EQ(stopReason(events), "end_turn");

  // Nothing queued: a fixed answer, and the request is still recorded.
  events = postMain(api, mainRequest(prompt("anything else?")));
  EXPECT_EQ(blockDeltas(events, 0, "text"), "(the stand-in has no scripted turn)");

  const auto mains = api.mainRequests();
  ASSERT_EQ(mains.size(), 5u);
  EXPECT_EQ(mains[0].userText(), "build it");
  EXPECT_EQ(mains[3].toolResults().at(0).toolUseId, id);
  EXPECT_EQ(mains[4].userText(), "anything else?");
}

TEST(ClaudeStandInServer, RejectedToolCallThenNewPromptStartsTheNextTurn) {
  // After a rejection Claude Code sends the rejected result together with the
  // next prompt in one user message.
  ClaudeStandIn api;
  api.enqueue(Turn::tools({ToolCall::write("/tmp/x", "y")}).then("Never sent."));
  api.enqueue(Turn::text("Next turn."));
  auto events = postMain(api, mainRequest(prompt("write it")));
  const std::string id = toolUseId(events, 0);
  events =
      postMain(api, mainRequest(json::array{toolResult(id, "rejected", true),
                                            textBlock("[Request interrupted by user for tool use]"),
                                            textBlock("do something else")}));
  EXPECT_EQ(blockDeltas(events, 0, "text"), "Next turn.");
}

TEST(ClaudeStandInServer, SlowStreamRunsUntilStopped) {
  ClaudeStandIn api;
  api.enqueue(Turn::slow("Let me think"));
  std::vector<Event> events;
  std::thread client([&] { events = postMain(api, mainRequest(prompt("slow"))); });
  EXPECT_TRUE(waitUntil([&] { return api.slowStreaming(); }));
  api.stopSlowStream();
  client.join();
  EXPECT_FALSE(api.slowStreaming());
  EXPECT_EQ(blockDeltas(events, 0, "text").rfind("Let me think", 0), 0u);
  EXPECT_EQ(names(events).back(), "message_stop");
  EXPECT_EQ(stopReason(events), "end_turn");
}

TEST(ClaudeStandInServer, SlowStreamEndsWhenTheClientHangsUp) {
  ClaudeStandIn api;
  api.enqueue(Turn::slow());
  api.enqueue(Turn::text("after the hang-up"));
  {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), api.port()});
    http::request<http::string_body> req{http::verb::post, "/v1/messages", 11};
    req.body() = json::serialize(mainRequest(prompt("slow")));
    req.prepare_payload();
    http::write(socket, req);
    ASSERT_TRUE(waitUntil([&] { return api.slowStreaming(); }));
  }  // closes the connection, as Claude Code does on Escape
  EXPECT_TRUE(waitUntil([&] { return !api.slowStreaming(); }));
  const auto events = postMain(api, mainRequest(prompt("next")));
  EXPECT_EQ(blockDeltas(events, 0, "text"), "after the hang-up");
}

TEST(ClaudeStandInServer, WaitsForMainRequestsAndShutsDownWithOpenConnections) {
  auto api = std::make_unique<ClaudeStandIn>();
  EXPECT_FALSE(api->waitForMainRequests(1, std::chrono::milliseconds(50)));
  api->enqueue(Turn::text("hi"));
  std::thread client([&] { postMain(*api, mainRequest(prompt("hello"))); });
  EXPECT_TRUE(api->waitForMainRequests(1, std::chrono::seconds(10)));
  client.join();

  // An idle keep-alive connection and a slow stream in progress must not
  // block destruction.
  asio::io_context io;
  asio::ip::tcp::socket idle(io);
  idle.connect({asio::ip::make_address("127.0.0.1"), api->port()});
  api->enqueue(Turn::slow());
  std::thread slow([&] {
    try {
      send(*api, http::verb::post, "/v1/messages", json::serialize(mainRequest(prompt("s"))));
    } catch (const std::exception&) {
      // The server going away mid-stream is what this test does.
    }
  });
  ASSERT_TRUE(waitUntil([&] { return api->slowStreaming(); }));
  api.reset();
  slow.join();
}

}  // namespace
}  // namespace parley::test
