#pragma once

// Follows one Claude Code transcript as it grows and reports each new line's
// events. The file may not exist yet, may be replaced or moved away, and may
// be truncated; the tailer keeps going through all of these. It watches the
// file's directory with inotify (so a file that does not exist yet, or is
// replaced by rename, is still seen) and checks, before every read, that the
// file is still the one it was reading: a different inode, a smaller size or
// different bytes just before the read position all mean "start again from
// the beginning".
//
// All state lives on one strand of the given executor; the callbacks run
// there, in file order. Handlers hold the tailer weakly.

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "claude/transcript_event.hpp"

namespace parley::claude {

class TranscriptTailer : public std::enable_shared_from_this<TranscriptTailer> {
 public:
  using EventHandler = std::function<void(const TranscriptEvent& event)>;
  using FinishHandler = std::function<void()>;

  // How long after the first write of a burst the file is read; a burst of
  // writes causes one read. While the file is missing, the watch is retried
  // every kRetryInterval; after its directory goes away, after kReopenDelay.
  static constexpr std::chrono::milliseconds kRetryInterval{500};
  static constexpr std::chrono::milliseconds kReopenDelay{50};

  // `offset` is where reading starts: 0 reads the whole file, its current
  // size only what is appended from now on. Touches no file.
  static std::shared_ptr<TranscriptTailer> create(
      boost::asio::any_io_executor executor, std::filesystem::path url, std::uint64_t offset = 0,
      std::chrono::milliseconds debounce = std::chrono::milliseconds(50));
  TranscriptTailer(const TranscriptTailer&) = delete;
  TranscriptTailer& operator=(const TranscriptTailer&) = delete;

  // Set once, before start(). onEvent gets every event in file order;
  // onFinish is called once, when stop() ends the stream.
  void setOnEvent(EventHandler handler);
  void setOnFinish(FinishHandler handler);

  // Both are asynchronous on the strand. start() a second time does nothing;
  // after stop() the stream has ended and a new start() delivers nothing.
  void start();
  void stop();

  // The offset up to which the file has been read. Waits for the strand, so
  // it must not be called with the executor stopped.
  std::uint64_t currentOffset() const;

  const std::filesystem::path& url() const { return url_; }

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
  };

  TranscriptTailer(boost::asio::any_io_executor executor, std::filesystem::path url,
                   std::uint64_t offset, std::chrono::milliseconds debounce);

  void openAndWatch();
  void tearDown();
  void awaitNotifications();
  void handleNotifications(std::size_t bytes);
  void scheduleRead(std::chrono::milliseconds delay);
  void scheduleReopen(std::chrono::milliseconds delay);
  // Starts over when the file at the path is gone or is not the one read so
  // far.
  void checkReplaced();
  void readAvailable();
  void restart();
  void cutLines();

  const std::filesystem::path url_;
  const std::chrono::milliseconds debounce_;
  boost::asio::strand<boost::asio::any_io_executor> strand_;
  boost::asio::steady_timer readTimer_;
  boost::asio::steady_timer reopenTimer_;
  std::optional<boost::asio::posix::stream_descriptor> notifications_;
  int watch_ = -1;
  bool readPending_ = false;
  bool started_ = false;
  bool finished_ = false;

  std::uint64_t offset_;
  std::string partial_;
  // The last bytes read before offset_, to notice a file rewritten in place.
  std::string tail_;
  std::optional<Identity> identity_;
  std::unique_ptr<char[]> notificationBuffer_;

  EventHandler onEvent_;
  FinishHandler onFinish_;
};

}  // namespace parley::claude
