#pragma once

// A paired phone that reads everything on its own thread and counts what the
// soak runs look for: the tool starts named by our events, session updates,
// shed messages, and how the connection ended.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace parley::soak {

class PhoneDrain {
 public:
  PhoneDrain(std::uint16_t port, const std::string& token);
  ~PhoneDrain();

  // Tool starts whose id begins with `prefix` and ends in a number, counted
  // once each.
  void countToolStarts(const std::string& prefix);
  std::size_t toolStarts() const;
  std::uint64_t sessionUpdates() const { return sessionUpdates_; }
  std::uint64_t shed() const { return shed_; }
  std::uint64_t messages() const { return messages_; }
  std::uint64_t undecodable() const { return undecodable_; }
  bool connected() const { return !ended_; }
  const std::string& ending() const { return ending_; }

 private:
  void readNext();
  void handle(const std::string& text);

  boost::asio::io_context io_;
  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
  std::atomic<bool> ended_{false};
  std::string ending_;
  std::atomic<std::uint64_t> sessionUpdates_{0};
  std::atomic<std::uint64_t> shed_{0};
  std::atomic<std::uint64_t> messages_{0};
  std::atomic<std::uint64_t> undecodable_{0};
  mutable std::mutex mutex_;
  std::string prefix_;
  std::unordered_set<std::uint64_t> seen_;
  std::thread thread_;
};

}  // namespace parley::soak
