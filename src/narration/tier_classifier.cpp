#include "narration/tier_classifier.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

#include "narration/edit_diff.hpp"
#include "protocol/deny_lists.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

namespace parley::narration {
namespace {

using protocol::JSONValue;
using protocol::RiskTier;
using text::Regex;

constexpr std::array<std::string_view, 8> kReadOnlyTools{
    "Read", "NotebookRead", "Glob", "Grep", "WebFetch", "WebSearch", "LS", "TodoWrite"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Compiled once per process, on first use. Every source compiles (a test
// holds that); one that did not would throw rather than screen less.
class DenyMatcher {
 public:
  DenyMatcher() {
    for (const std::string_view source : protocol::DenyPatterns::patterns)
      patterns_.push_back(std::make_unique<Regex>(source, Regex::Options::caseless));
  }

  // True when some pattern matches. A pattern the engine gave up on counts
  // as a match: a call that could not be screened is not vouched for.
  bool matches(std::string_view text, std::optional<std::uint32_t> matchLimit) const {
    for (const auto& regex : patterns_) {
      if (regex->search(text, matchLimit).value_or(true))
        return true;
    }
    return false;
  }

 private:
  std::vector<std::unique_ptr<Regex>> patterns_;
};

const DenyMatcher& denyMatcher() {
  static const DenyMatcher instance;
  return instance;
}

const std::string* firstStringField(const JSONValue& input,
                                    std::initializer_list<std::string_view> keys) {
  for (const std::string_view key : keys) {
    if (const std::string* value = input.string(key))
      return value;
  }
  return nullptr;
}

}  // namespace

TierClassifier::TierClassifier(std::string_view projectRoot)
    : TierClassifier(projectRoot, userHomeDirectory()) {}

TierClassifier::TierClassifier(std::string_view projectRoot, std::string homeDirectory)
    : home_(std::move(homeDirectory)) {
  projectRoot_ = normalizePath(projectRoot);
  for (const std::string_view denied : protocol::DenyPaths::paths)
    deniedPaths_.push_back(normalizePath(denied));
}

std::string TierClassifier::userHomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home)
    return home;
  // getpwuid_r keeps this safe to call from any thread.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir)
    return result->pw_dir;
  return {};
}

std::string TierClassifier::normalizePath(std::string_view path) const {
  path = text::trimmedSpacesAndTabs(path);
  std::string expanded;
  if (path == "~") {
    expanded = home_;
  } else if (path.starts_with("~/")) {
    expanded = home_;
    expanded += path.substr(1);
  } else {
    expanded = path;
  }
  if (expanded.empty())
    return expanded;

  const bool absolute = expanded.front() == '/';
  std::vector<std::string_view> components;
  std::string_view rest = expanded;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (component.empty() || component == ".")
      continue;
    if (component == "..") {
      if (!components.empty() && components.back() != "..")
        components.pop_back();
      else if (!absolute)
        components.push_back(component);
      // ".." at the root stays at the root.
      continue;
    }
    components.push_back(component);
  }

  // A relative path that cancels out entirely is the current directory.
  if (components.empty())
    return std::string(1, absolute ? '/' : '.');
  std::string normalized;
  normalized.reserve(expanded.size());
  for (const std::string_view component : components) {
    if (absolute || !normalized.empty())
      normalized += '/';
    normalized += component;
  }
  return normalized;
}

bool TierClassifier::isDeniedPath(std::string_view path) const {
  return std::any_of(deniedPaths_.begin(), deniedPaths_.end(), [path](const std::string& denied) {
    return path == denied ||
           (path.starts_with(denied) && path.size() > denied.size() && path[denied.size()] == '/');
  });
}

RiskTier TierClassifier::classify(std::string_view toolName,
                                  const std::optional<JSONValue>& toolInput) const {
  static const JSONValue kEmptyObject{JSONValue::Object{}};
  const JSONValue& input = toolInput ? *toolInput : kEmptyObject;

  const std::string flattened = input.flattenedText();
  if (flattened.size() > kMaxScreenedBytes)
    return RiskTier::destructive;
  const std::string screened = text::toValidUtf8(flattened);
  if (!screened.empty() && denyMatcher().matches(screened, matchLimit_))
    return RiskTier::destructive;

  if (EditDiff::isFileTool(toolName)) {
    const std::string* target = firstStringField(input, {"file_path", "notebook_path", "path"});
    if (!target || target->empty())
      return RiskTier::destructive;
    const std::string p = normalizePath(*target);
    if (isDeniedPath(p))
      return RiskTier::destructive;
    const bool rootIsAbsolute = projectRoot_.starts_with('/');
    if (rootIsAbsolute &&
        (p == projectRoot_ || (p.starts_with(projectRoot_) && p.size() > projectRoot_.size() &&
                               p[projectRoot_.size()] == '/')))
      return RiskTier::low;
    return RiskTier::destructive;
  }

  if (toolName.starts_with("mcp__"))
    return RiskTier::elevated;

  if (contains(kReadOnlyTools, toolName)) {
    const std::string* target = firstStringField(input, {"file_path", "path"});
    if (!target)
      return RiskTier::low;
    return isDeniedPath(normalizePath(*target)) ? RiskTier::destructive : RiskTier::low;
  }

  return RiskTier::elevated;
}

RiskTier TierClassifier::classify(const protocol::HookPayload& payload) const {
  return classify(payload.toolName.value_or(std::string{}), payload.toolInput);
}

}  // namespace parley::narration
