#include "terminal/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <stdexcept>

namespace parley::terminal {

struct Regex::Code {
  pcre2_code* code = nullptr;
  ~Code() { pcre2_code_free(code); }
};

Regex::Regex(std::string_view pattern, bool caseless) : code_(std::make_unique<Code>()) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  std::uint32_t options = PCRE2_UTF | PCRE2_UCP;
  if (caseless)
    options |= PCRE2_CASELESS;
  code_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                              &error, &offset, nullptr);
  if (code_->code == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    throw std::invalid_argument("bad pattern at " + std::to_string(offset) + ": " +
                                reinterpret_cast<const char*>(message));
  }
}

Regex::~Regex() = default;

std::optional<std::vector<std::string_view>> Regex::match(std::string_view subject) const {
  // Match data per call keeps one compiled pattern usable from any thread.
  std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
      pcre2_match_data_create_from_pattern(code_->code, nullptr), &pcre2_match_data_free);
  if (!data)
    return std::nullopt;
  const int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                             subject.size(), 0, 0, data.get(), nullptr);
  if (rc <= 0)
    return std::nullopt;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
  std::vector<std::string_view> groups;
  for (int i = 0; i < rc; ++i) {
    const PCRE2_SIZE start = ovector[2 * i];
    const PCRE2_SIZE end = ovector[2 * i + 1];
    if (start == PCRE2_UNSET || end < start)
      groups.emplace_back();
    else
      groups.push_back(subject.substr(start, end - start));
  }
  std::uint32_t captures = 0;
  pcre2_pattern_info(code_->code, PCRE2_INFO_CAPTURECOUNT, &captures);
  groups.resize(captures + 1);
  return groups;
}

}  // namespace parley::terminal
