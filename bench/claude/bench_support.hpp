#pragma once

// Shared pieces of the Claude Code integration benchmarks: a worker pool like
// the application's, a listener that counts what it decodes, and the summary
// lines printed after Google Benchmark's own table.

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "claude/hook_ingest.hpp"

namespace parley::bench {

class WorkerPool {
 public:
  WorkerPool() : guard_(boost::asio::make_work_guard(io_)) {
    for (int i = 0; i < 2; ++i)
      threads_.emplace_back([this] { io_.run(); });
  }
  ~WorkerPool() {
    guard_.reset();
    io_.stop();
    for (auto& t : threads_)
      t.join();
  }
  boost::asio::any_io_executor executor() { return io_.get_executor(); }

 private:
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::vector<std::thread> threads_;
};

// A live listener on a fresh socket that counts decoded payloads and errors.
class CountingListener {
 public:
  CountingListener();
  ~CountingListener();
  const std::filesystem::path& socketPath() const { return socketPath_; }
  std::uint64_t payloads() const { return payloads_.load(); }
  std::uint64_t errors() const { return errors_.load(); }
  // Waits (polling, up to 30 s) until `n` payloads have arrived.
  bool waitForPayloads(std::uint64_t n) const;

 private:
  std::filesystem::path directory_;
  std::filesystem::path socketPath_;
  WorkerPool pool_;
  std::shared_ptr<claude::HookIngest> ingest_;
  std::atomic<std::uint64_t> payloads_{0};
  std::atomic<std::uint64_t> errors_{0};
};

// One hook line captured from Claude Code (a PreToolUse with its tool input),
// without the keys the relay adds.
std::string realHookPayload();

// All captured hook lines, as the relay sends them.
std::vector<std::string> capturedHookLines();

void addSummaryLine(const std::string& line);
void printSummary();

}  // namespace parley::bench
