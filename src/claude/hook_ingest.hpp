#pragma once

// The desktop end of the hook channel. Claude Code runs the relay once per
// hook event; the relay connects to a Unix socket owned by this listener,
// writes one JSON line and closes. The listener cuts each connection's bytes
// into lines, decodes them as HookPayloads and reports them in the order they
// were cut. The channel is one-way: nothing is ever written back, so the relay
// never waits on us.
//
// A flood of events cannot grow our memory: only a bounded backlog of lines
// waits to be processed, and beyond it the writers wait instead (see
// setBacklogLimits).
//
// Accepting and reading run on one strand, decoding and both callbacks on
// another, both on the executor given at construction (the worker pool).
// Handlers hold the listener weakly: once it is destroyed, nothing more is
// reported. The executor's io_context must outlive the listener.

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "claude/hook_backlog.hpp"
#include "claude/hook_ingest_error.hpp"
#include "protocol/hook_payload.hpp"

namespace parley::claude {

class HookListener;

class HookIngest : public std::enable_shared_from_this<HookIngest> {
 public:
  // A line handed on counts as waiting until the last copy of its receipt
  // is gone. A consumer that finishes the event later, elsewhere, keeps the
  // receipt until then; one that drops it has finished when it returns.
  using Receipt = HookBacklog::Receipt;
  // Called once per decoded line with the payload and the line's bytes.
  using PayloadHandler = std::function<void(const protocol::HookPayload& payload,
                                            const std::string& line, Receipt receipt)>;
  // Called once per reported problem (undecodable, frameOverflow).
  using ErrorHandler = std::function<void(const HookIngestError& error)>;

  // The longest socket path bind() accepts: sun_path keeps a byte for the
  // terminating zero.
  static const std::size_t maxPathBytes;

  // $PARLEY_SOCKET when set (even empty), else hook.sock in Parley's data
  // directory.
  static std::filesystem::path defaultSocketPath();

  // Touches no file; start() opens the socket.
  static std::shared_ptr<HookIngest> create(boost::asio::any_io_executor executor,
                                            std::filesystem::path path);
  ~HookIngest();
  HookIngest(const HookIngest&) = delete;
  HookIngest& operator=(const HookIngest&) = delete;

  // A relay writes its line at once, so a connection still open after
  // `deadline` is closed (a relay's whole run takes at most 2 s). At most
  // `maxConnections` connections stay open; a new one closes the oldest, so
  // idle connections can neither exhaust our descriptors nor keep new events
  // out. Set before start(); the application keeps the defaults.
  void setConnectionLimits(std::chrono::milliseconds deadline, std::size_t maxConnections);
  static constexpr std::chrono::milliseconds defaultConnectionDeadline{5000};
  static constexpr std::size_t defaultMaxConnections = 64;

  // While `maxLines` lines, or `maxBytes` bytes of them, wait to be
  // processed, no connection is read and none accepted: writers wait in the
  // kernel (a relay up to its own deadline) instead of in our memory, and
  // nothing read is dropped. Reading resumes once half of them are done.
  // A single line larger than `maxBytes` still passes on its own. Set
  // before start().
  void setBacklogLimits(std::size_t maxLines, std::size_t maxBytes);
  static constexpr std::size_t defaultMaxBacklogLines = HookBacklog::defaultMaxLines;
  static constexpr std::size_t defaultMaxBacklogBytes = HookBacklog::defaultMaxBytes;

  using Backlog = HookBacklog::Figures;
  Backlog backlog() const;

  // Set once, before start(); both run on the delivery strand.
  void setOnPayload(PayloadHandler handler);
  void setOnError(ErrorHandler handler);

  // Creates the socket (directory 0700, socket 0600 from the first moment)
  // and begins accepting. Throws HookIngestError; a failed start leaves no
  // socket open and no socket file behind. Does nothing while listening.
  void start();
  // Closes the listening socket and every connection and removes the socket
  // file. Does nothing when not listening; the listener may start again.
  void stop();

  bool isListening() const;
  const std::filesystem::path& path() const { return path_; }

 private:
  friend class HookListener;
  struct Line {
    std::string text;
    Receipt receipt;
  };

  HookIngest(boost::asio::any_io_executor executor, std::filesystem::path path);
  void deliver(std::vector<Line> lines);
  void report(const HookIngestError& error);

  const std::filesystem::path path_;
  boost::asio::strand<boost::asio::any_io_executor> acceptStrand_;
  boost::asio::strand<boost::asio::any_io_executor> deliveryStrand_;

  mutable std::mutex mutex_;  // start and stop as wholes, listener_
  std::shared_ptr<HookListener> listener_;
  std::chrono::milliseconds connectionDeadline_ = defaultConnectionDeadline;
  std::size_t maxConnections_ = defaultMaxConnections;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  // Outlives a stop(): receipts of the lines handed on before it still count.
  std::shared_ptr<HookBacklog> backlog_;

  std::mutex callbackMutex_;
  std::shared_ptr<const PayloadHandler> onPayload_;
  std::shared_ptr<const ErrorHandler> onError_;
};

}  // namespace parley::claude
