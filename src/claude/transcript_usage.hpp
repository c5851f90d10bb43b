#pragma once

// The tokens a session has used, counted from Claude Code's transcript.
// Each API response is written as one line per content block, every line
// carrying the same message id and usage: a message counts once, with the
// figures of its latest line. Sidechain lines (subagents) cost tokens but
// are not the session's context.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "claude/model_prices.hpp"
#include "protocol/session.hpp"

namespace parley::claude {

class UsageTally {
 public:
  // One transcript line without its line feed; lines that are not JSON or
  // carry no usage change nothing.
  void addLine(std::string_view line);
  // What is known so far; with no usage line yet, `unknown` says so.
  protocol::SessionUsage usage(const ModelPrices& prices) const;
  // The interruption records read so far ("[Request interrupted by user…"):
  // Claude Code writes one whenever a turn is stopped, by Escape at the
  // keyboard too, which sends no hook.
  std::uint64_t interruptions() const { return interruptions_; }

 private:
  std::map<std::string, protocol::TokenCounts, std::less<>> byModel_;
  protocol::TokenCounts lastTurn_;
  // The message whose lines are being read, so a later line replaces it.
  std::string messageID_;
  std::string messageModel_;
  protocol::TokenCounts messageCounts_;
  std::optional<std::string> model_;
  std::optional<std::int64_t> context_;
  std::uint64_t interruptions_ = 0;
};

// Follows the transcripts of the sessions it is shown, reading only what was
// appended since the last look (a transcript replaced or cut shorter is
// counted again from its start). Not thread-safe: one owner calls it.
class TranscriptUsage {
 public:
  explicit TranscriptUsage(ModelPrices prices = {});

  // Sets each session's usage from its transcript (left absent without
  // one) and forgets sessions no longer listed.
  void annotate(std::vector<protocol::SessionDescriptor>& sessions);
  protocol::SessionUsage read(const std::string& sessionID, const std::filesystem::path& path);
  // The sessions whose transcript gained an interruption record since the
  // look before; what a transcript already held when first read is history
  // and never counts. Each is handed out once.
  std::vector<std::string> takeInterrupted();
  const ModelPrices& prices() const { return prices_; }
  // Counts are kept: the next look estimates them at the new prices.
  void setPrices(ModelPrices prices) { prices_ = std::move(prices); }

  // Bytes read in one look, so a first look at a huge transcript does not
  // hold its caller (the main thread) up for more than a few tens of
  // milliseconds; the rest is read at the next looks, which every hook
  // event and the sweep bring.
  static constexpr std::uintmax_t kReadPerLook = 4 << 20;

 private:
  struct Followed {
    std::filesystem::path path;
    ino_t inode = 0;
    std::uintmax_t offset = 0;
    std::string partial;  // a line not yet ended
    UsageTally tally;
    bool caughtUp = false;  // a look has reached the end of the file
  };
  ModelPrices prices_;
  std::map<std::string, Followed, std::less<>> followed_;
  std::vector<std::string> interrupted_;
};

}  // namespace parley::claude
