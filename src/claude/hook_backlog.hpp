#pragma once

// The hook lines handed on and not yet processed. The listener counts each
// line in as it hands it on (on the accept strand); its receipt counts it
// out wherever the consumer lets go of it. A listener that found no room
// leaves a wake-up here, run by the release that makes room again.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace parley::claude {

class HookBacklog : public std::enable_shared_from_this<HookBacklog> {
 public:
  // A line handed on counts as waiting until the last copy of its receipt
  // is gone.
  using Receipt = std::shared_ptr<const void>;
  struct Figures {
    std::size_t lines = 0;  // handed on, not yet processed
    std::size_t bytes = 0;
    std::size_t peakLines = 0;  // the most at once since creation
  };
  static constexpr std::size_t defaultMaxLines = 1024;
  static constexpr std::size_t defaultMaxBytes = 32 * 1024 * 1024;

  void setLimits(std::size_t maxLines, std::size_t maxBytes) {
    maxLines_ = std::max<std::size_t>(maxLines, 1);
    maxBytes_ = std::max<std::size_t>(maxBytes, 1);
  }

  bool hasRoom() const { return lines_ < maxLines_ && bytes_ < maxBytes_; }

  Receipt take(std::size_t bytes) {
    const std::size_t now = ++lines_;
    bytes_ += bytes;
    for (std::size_t peak = peak_; now > peak && !peak_.compare_exchange_weak(peak, now);) {
    }
    return std::make_shared<const Held>(shared_from_this(), bytes);
  }

  // `wake` runs once, on whichever thread lets go of the line that brings
  // the backlog down to half.
  void wakeWhenRoom(std::function<void()> wake) {
    {
      std::lock_guard lock(mutex_);
      wake_ = std::move(wake);
    }
    asleep_ = true;
    if (halfDone())
      wakeUp();
  }

  Figures figures() const { return {lines_, bytes_, peak_}; }

 private:
  struct Held {
    Held(std::shared_ptr<HookBacklog> backlog, std::size_t size)
        : owner(std::move(backlog)), bytes(size) {}
    ~Held() { owner->release(bytes); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    std::shared_ptr<HookBacklog> owner;
    std::size_t bytes;
  };

  void release(std::size_t bytes) {
    --lines_;
    bytes_ -= bytes;
    if (asleep_ && halfDone())
      wakeUp();
  }

  // Resuming at half, not at the first free slot, lets the listener read
  // in runs instead of a line per release.
  bool halfDone() const { return lines_ <= maxLines_ / 2 && bytes_ <= maxBytes_ / 2; }

  void wakeUp() {
    if (!asleep_.exchange(false))
      return;
    std::function<void()> wake;
    {
      std::lock_guard lock(mutex_);
      wake = std::exchange(wake_, nullptr);
    }
    if (wake)
      wake();
  }

  std::atomic<std::size_t> maxLines_{defaultMaxLines};
  std::atomic<std::size_t> maxBytes_{defaultMaxBytes};
  std::atomic<std::size_t> lines_{0};
  std::atomic<std::size_t> bytes_{0};
  std::atomic<std::size_t> peak_{0};
  std::atomic<bool> asleep_{false};
  std::mutex mutex_;
  std::function<void()> wake_;
};

}  // namespace parley::claude
