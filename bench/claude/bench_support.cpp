#include "bench_support.hpp"

#include <stdlib.h>

#include <boost/json.hpp>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

namespace parley::bench {

namespace {

std::vector<std::string>& summary() {
  static std::vector<std::string> lines;
  return lines;
}

std::filesystem::path hooksFixture() {
  return std::filesystem::path(PARLEY_SOURCE_DIR) /
         "tests/fixtures/claude-code-2.1.222/hooks.ndjson";
}

}  // namespace

CountingListener::CountingListener() {
  std::string pattern = (std::filesystem::temp_directory_path() / "parley-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  socketPath_ = directory_ / "hook.sock";
  ingest_ = claude::HookIngest::create(pool_.executor(), socketPath_);
  ingest_->setOnPayload([this](const protocol::HookPayload&, const std::string&,
                               claude::HookIngest::Receipt) { ++payloads_; });
  ingest_->setOnError([this](const claude::HookIngestError&) { ++errors_; });
  ingest_->start();
}

CountingListener::~CountingListener() {
  ingest_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

bool CountingListener::waitForPayloads(std::uint64_t n) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (payloads_.load() < n) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::vector<std::string> capturedHookLines() {
  std::ifstream in(hooksFixture());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty())
      lines.push_back(line);
  }
  if (lines.empty())
    throw std::runtime_error("no captured hook lines at " + hooksFixture().string());
  return lines;
}

std::string realHookPayload() {
  for (const std::string& line : capturedHookLines()) {
    boost::json::object o = boost::json::parse(line).as_object();
    if (o.at("hook_event_name") == "PreToolUse") {
      o.erase("tmux_pane");
      o.erase("tmux_env");
      return boost::json::serialize(o);
    }
  }
  throw std::runtime_error("no PreToolUse line in the captured hooks");
}

void addSummaryLine(const std::string& line) {
  summary().push_back(line);
}

void printSummary() {
  if (summary().empty())
    return;
  std::cout << "\n== Claude Code integration: summary\n";
  for (const std::string& line : summary())
    std::cout << line << '\n';
}

}  // namespace parley::bench
