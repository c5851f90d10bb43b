#pragma once

// A private PulseAudio daemon for audio tests: its own runtime directory and
// socket, no configuration but ours, a null sink as the speakers and, as the
// microphone, a pipe source that reads 16 kHz mono 16-bit samples from a FIFO
// the test writes into. PULSE_SERVER points at it for the object's life.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace parley::test {

class PulseDaemon {
 public:
  // Without a microphone the daemon offers only the null sink (and its
  // monitor).
  explicit PulseDaemon(bool withMicrophone = true);
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  // Empty when the daemon runs; else why it could not start (the test skips).
  const std::string& problem() const { return problem_; }
  std::string server() const;

  // Writes samples into the microphone (blocks while the pipe is full, so
  // call it from a thread of its own for long recordings).
  void speak(const std::vector<std::int16_t>& samples);
  // Silence of this length.
  void silence(int milliseconds);
  // Writes samples at the pace a microphone makes them, 20 ms at a time:
  // the daemon passes on whatever the pipe holds at once, so a test of
  // timing between words needs them to arrive as spoken.
  void speakLive(const std::vector<std::int16_t>& samples);

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int fifo_ = -1;
  std::string problem_;
  std::unique_ptr<ScopedEnv> env_;
};

}  // namespace parley::test
