#include "claude/transcript_tailer.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <future>

namespace parley::claude {

namespace asio = boost::asio;

namespace {

constexpr std::size_t kReadChunk = 65536;
// Enough bytes before the read position to tell a rewritten file from the
// one read so far.
constexpr std::size_t kTailBytes = 64;
constexpr std::size_t kNotificationBufferSize = 32 * (sizeof(inotify_event) + NAME_MAX + 1);

constexpr std::uint32_t kWatchMask = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                     IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR;

}  // namespace

std::shared_ptr<TranscriptTailer> TranscriptTailer::create(asio::any_io_executor executor,
                                                           std::filesystem::path url,
                                                           std::uint64_t offset,
                                                           std::chrono::milliseconds debounce) {
  return std::shared_ptr<TranscriptTailer>(
      new TranscriptTailer(std::move(executor), std::move(url), offset, debounce));
}

TranscriptTailer::TranscriptTailer(asio::any_io_executor executor, std::filesystem::path url,
                                   std::uint64_t offset, std::chrono::milliseconds debounce)
    : url_(std::move(url)),
      debounce_(debounce),
      strand_(asio::make_strand(executor)),
      readTimer_(strand_),
      reopenTimer_(strand_),
      offset_(offset),
      notificationBuffer_(new char[kNotificationBufferSize]) {}

void TranscriptTailer::setOnEvent(EventHandler handler) {
  asio::post(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->onEvent_ = std::move(handler);
  });
}

void TranscriptTailer::setOnFinish(FinishHandler handler) {
  asio::post(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->onFinish_ = std::move(handler);
  });
}

void TranscriptTailer::start() {
  asio::post(strand_, [self = shared_from_this()] {
    if (self->started_)
      return;
    self->started_ = true;
    self->openAndWatch();
    self->readAvailable();
  });
}

void TranscriptTailer::stop() {
  asio::post(strand_, [self = shared_from_this()] {
    self->started_ = false;
    self->readPending_ = false;
    self->readTimer_.cancel();
    self->reopenTimer_.cancel();
    self->tearDown();
    if (!self->finished_) {
      self->finished_ = true;
      if (self->onFinish_)
        self->onFinish_();
    }
  });
}

std::uint64_t TranscriptTailer::currentOffset() const {
  if (strand_.running_in_this_thread())
    return offset_;
  std::promise<std::uint64_t> promise;
  std::future<std::uint64_t> future = promise.get_future();
  asio::post(strand_, [this, &promise] { promise.set_value(offset_); });
  return future.get();
}

void TranscriptTailer::tearDown() {
  if (notifications_) {
    boost::system::error_code ignored;
    notifications_->close(ignored);
    notifications_.reset();
  }
  watch_ = -1;
}

void TranscriptTailer::openAndWatch() {
  tearDown();
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    scheduleReopen(kRetryInterval);
    return;
  }
  // The directory, not the file: the file may not exist yet, and a file
  // replaced by rename would leave a watch on the old one behind.
  const std::filesystem::path directory =
      url_.parent_path().empty() ? std::filesystem::path(".") : url_.parent_path();
  const int watch = ::inotify_add_watch(fd, directory.c_str(), kWatchMask);
  if (watch < 0) {
    ::close(fd);
    scheduleReopen(kRetryInterval);
    return;
  }
  try {
    notifications_.emplace(strand_, fd);
  } catch (const boost::system::system_error&) {
    ::close(fd);
    scheduleReopen(kRetryInterval);
    return;
  }
  watch_ = watch;
  awaitNotifications();
}

void TranscriptTailer::awaitNotifications() {
  // A handler of a torn-down descriptor may still be queued; it must neither
  // act on the new watch nor start a second read on it.
  auto* descriptor = &*notifications_;
  notifications_->async_read_some(
      asio::buffer(notificationBuffer_.get(), kNotificationBufferSize),
      [weak = weak_from_this(), descriptor](const boost::system::error_code& error,
                                            std::size_t bytes) {
        auto self = weak.lock();
        if (!self || error || !self->notifications_ || &*self->notifications_ != descriptor)
          return;
        self->handleNotifications(bytes);
      });
}

void TranscriptTailer::handleNotifications(std::size_t bytes) {
  const std::string filename = url_.filename().string();
  bool modified = false;
  bool renamed = false;
  bool directoryGone = false;
  for (std::size_t pos = 0; pos + sizeof(inotify_event) <= bytes;) {
    inotify_event event;
    std::memcpy(&event, notificationBuffer_.get() + pos, sizeof event);
    const char* name = notificationBuffer_.get() + pos + sizeof event;
    pos += sizeof event + event.len;
    if (event.mask & IN_Q_OVERFLOW) {
      // Events were lost; the file may have changed in any way.
      renamed = true;
      continue;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
      directoryGone = true;
      continue;
    }
    if (event.len == 0 || std::string_view(name, ::strnlen(name, event.len)) != filename)
      continue;
    if (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
      renamed = true;
    if (event.mask & (IN_MODIFY | IN_CLOSE_WRITE))
      modified = true;
  }
  if (renamed)
    checkReplaced();
  if (renamed || modified)
    scheduleRead(debounce_);
  if (directoryGone) {
    tearDown();
    checkReplaced();
    scheduleReopen(kReopenDelay);
    return;
  }
  awaitNotifications();
}

void TranscriptTailer::scheduleRead(std::chrono::milliseconds delay) {
  // The first write of a burst sets the time; later ones ride along. A file
  // written more often than the delay is still read every `delay`.
  if (readPending_)
    return;
  readPending_ = true;
  readTimer_.expires_after(delay);
  readTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    auto self = weak.lock();
    if (!self || error)
      return;
    self->readPending_ = false;
    if (self->started_)
      self->readAvailable();
  });
}

void TranscriptTailer::scheduleReopen(std::chrono::milliseconds delay) {
  reopenTimer_.expires_after(delay);
  reopenTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    auto self = weak.lock();
    if (!self || error || !self->started_)
      return;
    self->openAndWatch();
    self->readAvailable();
  });
}

void TranscriptTailer::restart() {
  offset_ = 0;
  partial_.clear();
  tail_.clear();
  identity_.reset();
}

void TranscriptTailer::checkReplaced() {
  struct stat st;
  if (::stat(url_.c_str(), &st) != 0) {
    restart();  // gone: whatever appears next is read from its start
    return;
  }
  if (identity_ && !(*identity_ == Identity{st.st_dev, st.st_ino}))
    restart();
}

void TranscriptTailer::readAvailable() {
  // O_NONBLOCK: a FIFO at the path must not block the strand.
  const int fd = ::open(url_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  const Identity identity{st.st_dev, st.st_ino};
  if (identity_ && !(*identity_ == identity)) {
    restart();
  } else if (static_cast<std::uint64_t>(st.st_size) < offset_) {
    restart();  // truncated
  } else if (!tail_.empty()) {
    // Truncated and written again past our offset, between two reads: the
    // size alone cannot tell, the bytes before the offset can.
    std::string check(tail_.size(), '\0');
    const ssize_t n =
        ::pread(fd, check.data(), check.size(), static_cast<off_t>(offset_ - tail_.size()));
    if (n != static_cast<ssize_t>(check.size()) || check != tail_)
      restart();
  }
  identity_ = identity;

  std::unique_ptr<char[]> chunk(new char[kReadChunk]);
  while (started_) {
    const ssize_t n = ::pread(fd, chunk.get(), kReadChunk, static_cast<off_t>(offset_));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    const auto count = static_cast<std::size_t>(n);
    offset_ += count;
    partial_.append(chunk.get(), count);
    tail_.append(chunk.get(), count);
    if (tail_.size() > kTailBytes)
      tail_.erase(0, tail_.size() - kTailBytes);
    cutLines();
  }
  ::close(fd);
}

void TranscriptTailer::cutLines() {
  std::size_t start = 0;
  for (std::size_t feed; (feed = partial_.find('\n', start)) != std::string::npos;) {
    const std::uint64_t endOffset = offset_ - (partial_.size() - (feed + 1));
    if (!finished_ && onEvent_) {
      for (const TranscriptEvent& event : TranscriptDecoder::decode(
               std::string_view(partial_).substr(start, feed - start), endOffset))
        onEvent_(event);
    }
    start = feed + 1;
  }
  partial_.erase(0, start);
}

}  // namespace parley::claude
