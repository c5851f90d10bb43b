#pragma once

// One compiled PCRE2 pattern, matched in UTF mode with Unicode properties (so
// \b, \d, \s and \w know about letters beyond ASCII). Patterns are compiled
// once and shared between threads; per-call state (match data, JIT stack) is
// kept per thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::text {

class Regex {
 public:
  enum class Options : std::uint32_t { none = 0, caseless = 1 };

  // One match: the whole range and the text of each capture group (empty for
  // a group that did not take part). Views point into the subject.
  struct Match {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::vector<std::string_view> groups;  // groups[0] is the whole match

    std::string_view group(std::size_t k) const {
      return k < groups.size() ? groups[k] : std::string_view{};
    }
  };

  // How a scan over a subject ended. `gaveUp` means the engine hit one of
  // its resource limits, or the subject is not valid UTF-8, before reaching
  // the end; the matches reported up to then are real, the rest of the
  // subject was not examined.
  enum class Outcome { completed, gaveUp };

  // Throws std::invalid_argument, with PCRE2's message, when the pattern
  // does not compile.
  explicit Regex(std::string_view pattern, Options options = Options::none);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  const std::string& pattern() const { return pattern_; }

  // The leftmost match; nothing when there is none, or when the engine gave
  // up or the subject is not valid UTF-8 before one was found.
  std::optional<Match> firstMatch(std::string_view subject) const;

  // Whether the pattern matches anywhere; empty when the engine gave up
  // before it could tell. `matchLimit` lowers PCRE2's own bound on the
  // work one match may do.
  std::optional<bool> search(std::string_view subject,
                             std::optional<std::uint32_t> matchLimit = std::nullopt) const;

  // Calls `onMatch` for every non-overlapping match, left to right.
  Outcome forEachMatch(std::string_view subject,
                       const std::function<void(const Match&)>& onMatch) const;

  // Replaces every match by what `replacement` returns for it (one global
  // replacement). When the engine gives up, the unexamined rest is copied
  // unchanged.
  std::string replaceAll(std::string_view subject,
                         const std::function<std::string(const Match&)>& replacement) const;
  // Replaces every match by the text of capture group `group`.
  std::string replaceAllWithGroup(std::string_view subject, std::size_t group) const;
  std::string replaceAllWith(std::string_view subject, std::string_view text) const;

 private:
  std::string pattern_;
  void* code_ = nullptr;  // pcre2_code_8, kept out of the header
  std::uint32_t captureCount_ = 0;
};

}  // namespace parley::text
