#include "text/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace parley::text {
namespace {

constexpr std::uint32_t kInitialOutputPairs = 16;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 1024 * 1024;
// PCRE2's own default, restored after a call that lowered it.
constexpr std::uint32_t kDefaultMatchLimit = 10000000;

// Match data and a JIT stack may not be shared between threads; each thread
// gets its own, made on first use and kept for the thread's life. The match
// data grows to the widest pattern the thread has run.
class MatchScratch {
 public:
  MatchScratch()
      : context_(pcre2_match_context_create(nullptr)),
        jitStack_(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
    if (context_ && jitStack_)
      pcre2_jit_stack_assign(context_, nullptr, jitStack_);
  }
  ~MatchScratch() {
    pcre2_jit_stack_free(jitStack_);
    pcre2_match_context_free(context_);
    pcre2_match_data_free(data_);
  }
  MatchScratch(const MatchScratch&) = delete;
  MatchScratch& operator=(const MatchScratch&) = delete;

  // Match data with room for `pairs` output pairs, or null when memory ran
  // out.
  pcre2_match_data* data(std::uint32_t pairs) {
    if (data_ == nullptr || pairs > pairs_) {
      pcre2_match_data_free(data_);
      pairs_ = std::max(pairs, kInitialOutputPairs);
      data_ = pcre2_match_data_create(pairs_, nullptr);
    }
    return data_;
  }
  pcre2_match_context* context() const { return context_; }

 private:
  pcre2_match_data* data_ = nullptr;
  std::uint32_t pairs_ = 0;
  pcre2_match_context* context_;
  pcre2_jit_stack* jitStack_;
};

MatchScratch& scratch() {
  thread_local MatchScratch instance;
  return instance;
}

pcre2_code* asCode(void* code) {
  return static_cast<pcre2_code*>(code);
}

// Runs one match from `offset` into `data`. A JIT stack overflow is retried
// by the interpreter, whose frames live on the heap, so deep inputs still get
// an answer. PCRE2 validates the UTF-8 of the rest of the subject on every
// call unless told not to; only the first call of a scan checks, so a scan
// stays linear in the subject's length.
int matchAt(const pcre2_code* code, std::string_view subject, std::size_t offset, bool checked,
            pcre2_match_data* data, pcre2_match_context* context) {
  const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
  const std::uint32_t options = checked ? PCRE2_NO_UTF_CHECK : 0;
  int rc = pcre2_match(code, text, subject.size(), offset, options, data, context);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
    rc = pcre2_match(code, text, subject.size(), offset, options | PCRE2_NO_JIT, data, context);
  return rc;
}

std::size_t nextCharacterOffset(std::string_view subject, std::size_t offset) {
  ++offset;
  while (offset < subject.size() && (static_cast<unsigned char>(subject[offset]) & 0xC0) == 0x80)
    ++offset;
  return offset;
}

// Copies what the match data holds, so that a callback may run other
// patterns on this thread (which reuses the scratch).
void readMatch(pcre2_match_data* data, int rc, std::string_view subject, std::uint32_t captureCount,
               Regex::Match& match) {
  // rc is one more than the highest group set; 0 would mean the match data
  // was too small, which its size rules out.
  const std::uint32_t pairs = rc > 0 ? static_cast<std::uint32_t>(rc) : 1;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
  match.begin = ovector[0];
  match.end = ovector[1];
  match.groups.clear();
  for (std::uint32_t k = 0; k <= captureCount; ++k) {
    const PCRE2_SIZE start = k < pairs ? ovector[2 * k] : PCRE2_UNSET;
    const PCRE2_SIZE end = k < pairs ? ovector[2 * k + 1] : PCRE2_UNSET;
    // \K in a look-ahead can put a group's start after its end.
    if (start == PCRE2_UNSET || end < start)
      match.groups.emplace_back();
    else
      match.groups.push_back(subject.substr(start, end - start));
  }
}

}  // namespace

Regex::Regex(std::string_view pattern, Options options) : pattern_(pattern) {
  std::uint32_t flags = PCRE2_UTF | PCRE2_UCP;
  if (options == Options::caseless)
    flags |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(),
                                   flags, &error, &errorOffset, nullptr);
  if (!code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    throw std::invalid_argument("bad pattern at " + std::to_string(errorOffset) + ": " +
                                reinterpret_cast<const char*>(message));
  }
  // JIT is an optimisation only: where it is unavailable the interpreter
  // gives the same answers.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &captureCount_);
  code_ = code;
}

Regex::~Regex() {
  pcre2_code_free(asCode(code_));
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view subject) const {
  MatchScratch& s = scratch();
  pcre2_match_data* data = s.data(captureCount_ + 1);
  if (!data)
    return std::nullopt;
  const int rc = matchAt(asCode(code_), subject, 0, false, data, s.context());
  if (rc < 0)
    return std::nullopt;
  Match match;
  readMatch(data, rc, subject, captureCount_, match);
  return match;
}

std::optional<bool> Regex::search(std::string_view subject,
                                  std::optional<std::uint32_t> matchLimit) const {
  MatchScratch& s = scratch();
  pcre2_match_data* data = s.data(captureCount_ + 1);
  if (!data)
    return std::nullopt;
  int rc = 0;
  if (matchLimit) {
    // The interpreter counts every step against the limit; the JIT counts
    // only some, so a low limit would not bind it.
    pcre2_set_match_limit(s.context(), *matchLimit);
    rc = pcre2_match(asCode(code_), reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0,
                     PCRE2_NO_JIT, data, s.context());
    pcre2_set_match_limit(s.context(), kDefaultMatchLimit);
  } else {
    rc = matchAt(asCode(code_), subject, 0, false, data, s.context());
  }
  if (rc == PCRE2_ERROR_NOMATCH)
    return false;
  if (rc < 0)
    return std::nullopt;
  return true;
}

Regex::Outcome Regex::forEachMatch(std::string_view subject,
                                   const std::function<void(const Match&)>& onMatch) const {
  MatchScratch& s = scratch();
  Match match;
  match.groups.reserve(captureCount_ + 1);
  std::size_t offset = 0;
  while (offset <= subject.size()) {
    pcre2_match_data* data = s.data(captureCount_ + 1);
    if (!data)
      return Outcome::gaveUp;
    const int rc = matchAt(asCode(code_), subject, offset, offset > 0, data, s.context());
    if (rc == PCRE2_ERROR_NOMATCH)
      return Outcome::completed;
    if (rc < 0)
      return Outcome::gaveUp;
    readMatch(data, rc, subject, captureCount_, match);
    onMatch(match);
    offset = match.end > match.begin ? match.end : nextCharacterOffset(subject, match.end);
  }
  return Outcome::completed;
}

std::string Regex::replaceAll(std::string_view subject,
                              const std::function<std::string(const Match&)>& replacement) const {
  std::string out;
  out.reserve(subject.size());
  std::size_t copied = 0;
  forEachMatch(subject, [&](const Match& m) {
    out.append(subject, copied, m.begin - copied);
    out += replacement(m);
    copied = m.end;
  });
  out.append(subject, copied, std::string_view::npos);
  return out;
}

std::string Regex::replaceAllWithGroup(std::string_view subject, std::size_t group) const {
  return replaceAll(subject, [group](const Match& m) { return std::string(m.group(group)); });
}

std::string Regex::replaceAllWith(std::string_view subject, std::string_view text) const {
  return replaceAll(subject, [text](const Match&) { return std::string(text); });
}

}  // namespace parley::text
