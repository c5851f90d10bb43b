#pragma once

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parley::test {

// One tool call the stand-in asks Claude Code to make.
struct ToolCall {
  std::string name;
  boost::json::object input;
  std::string id;  // "toolu_…"; generated when empty

  static ToolCall bash(std::string command, std::string description = {});
  static ToolCall write(std::string filePath, std::string content);
  // One AskUserQuestion question, options given as {label, description}.
  static ToolCall askUserQuestion(std::string question, std::string header,
                                  std::vector<std::pair<std::string, std::string>> options,
                                  bool multiSelect = false);
};

// One scripted answer to one prompt. A turn is a chain of steps: each
// tool-call step is answered by Claude Code with the tool results, and the
// stand-in answers those with the next step, ending with a text.
class Turn {
 public:
  // A Markdown answer.
  static Turn text(std::string markdown);
  // Tool calls (with an optional text before them in the same message); chain
  // the rest with then()/thenTools().
  static Turn tools(std::vector<ToolCall> calls, std::string preamble = {});
  // A text that streams one word at a time until ClaudeStandIn::stopSlowStream()
  // or until Claude Code hangs up (Escape), for interrupting a turn mid-stream.
  static Turn slow(std::string firstWords = "Thinking about it");

  Turn&& then(std::string markdown) &&;
  Turn&& thenTools(std::vector<ToolCall> calls, std::string preamble = {}) &&;

  struct Step {
    std::string text;             // before the calls, or the whole answer
    std::vector<ToolCall> calls;  // empty: the step ends the turn
    bool slow = false;
  };
  const std::vector<Step>& steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

struct ToolResult {
  std::string toolUseId;
  std::string content;  // text blocks joined with "\n" when given as blocks
  bool isError = false;
};

// One HTTP request as received.
struct RecordedRequest {
  std::string method;
  std::string target;  // path and query, e.g. "/v1/messages?beta=true"
  std::string path;    // without the query
  // When it had been read whole.
  std::chrono::system_clock::time_point received;
  boost::json::value body;  // null when absent or not JSON
  // A request of the conversation itself (it offers tools), as opposed to a
  // side request (session title, token count).
  bool main = false;

  // Text the user typed in the last user message: its text blocks without
  // Claude Code's <system-reminder> blocks, joined with "\n". Markers Claude
  // Code adds as text, such as "[Request interrupted by user]" before the
  // prompt that follows an interrupt, are kept.
  std::string userText() const;
  // tool_result blocks of the last user message.
  std::vector<ToolResult> toolResults() const;
};

// A stand-in for the Anthropic Messages API on 127.0.0.1 (ephemeral port),
// for Claude Code started with ANTHROPIC_BASE_URL = baseUrl(). Main
// conversation requests are answered from a queue of scripted turns; side
// requests get fixed answers and never consume a turn. Every request is
// recorded. Runs on its own threads from construction to destruction.
class ClaudeStandIn {
 public:
  ClaudeStandIn();
  ~ClaudeStandIn();
  ClaudeStandIn(const ClaudeStandIn&) = delete;
  ClaudeStandIn& operator=(const ClaudeStandIn&) = delete;

  std::string baseUrl() const;
  std::uint16_t port() const { return port_; }

  // Queues the answer to the next prompt. A main request with no turn queued
  // is answered with the text "(the stand-in has no scripted turn)".
  void enqueue(Turn turn);

  // Ends the slow stream in progress with a normal message end; when none is
  // in progress, the next one ends right after its first words.
  void stopSlowStream();
  // True while a slow stream is being written.
  bool slowStreaming() const;

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> mainRequests() const;
  // Requests the stand-in had no answer for ("METHOD target"), answered 404.
  std::vector<std::string> unknownRequests() const;

  // Waits until `count` main requests have arrived; returns whether they did.
  bool waitForMainRequests(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint16_t port_ = 0;
};

}  // namespace parley::test
