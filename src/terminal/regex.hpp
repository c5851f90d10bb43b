#pragma once

// A compiled PCRE2 pattern in UTF mode with Unicode properties (\d, \s, \w
// and \b follow Unicode), for matching screen lines.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::terminal {

class Regex {
 public:
  // Throws std::invalid_argument when the pattern does not compile (a
  // programming error: every pattern is a constant).
  explicit Regex(std::string_view pattern, bool caseless = false);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // The whole match and each capture group (empty for a group that did not
  // take part), or nothing when the subject does not match. Views point into
  // `subject`. Invalid UTF-8 in the subject never matches.
  std::optional<std::vector<std::string_view>> match(std::string_view subject) const;

 private:
  struct Code;
  std::unique_ptr<Code> code_;
};

}  // namespace parley::terminal
