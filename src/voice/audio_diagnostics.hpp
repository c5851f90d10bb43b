#pragma once

// Counters and readings about one audio pipeline, filled by its owner and
// shown for troubleshooting. Each counter counts the event its name states.

#include <chrono>
#include <cstdint>
#include <optional>

namespace parley::voice {

struct AudioDiagnostics {
  std::int64_t echoSuppressed = 0;
  std::int64_t duckEvents = 0;
  std::int64_t bargeInConfirmed = 0;
  std::int64_t bargeInRejected = 0;
  std::int64_t configurationChanges = 0;
  std::int64_t routeLosses = 0;
  std::int64_t interruptions = 0;
  std::int64_t mediaServicesResets = 0;
  std::int64_t engineRestarts = 0;
  std::int64_t emptyRenders = 0;
  std::optional<std::chrono::milliseconds> lastTimeToFirstAudioMS;
  std::int64_t tapCallbacks = 0;
  std::int64_t buffersIngested = 0;
  std::int64_t conversionFailures = 0;
  std::int64_t analyzerResults = 0;
  std::int64_t finalizedResults = 0;
  bool analyzerRunning = false;
  double tapSampleRate = 0.0;
  double analyzerSampleRate = 0.0;
  double incomingSampleRate = 0.0;
  bool assetsInstalled = false;
  bool localeReserved = false;

  bool operator==(const AudioDiagnostics&) const = default;
};

}  // namespace parley::voice
