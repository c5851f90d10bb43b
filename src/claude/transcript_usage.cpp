#include "claude/transcript_usage.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>

#include "claude/transcript_event.hpp"

namespace parley::claude {

namespace json = boost::json;

namespace {

std::int64_t count(const json::object& usage, std::string_view key) {
  const json::value* v = usage.if_contains(key);
  if (v == nullptr || !v->is_number())
    return 0;
  boost::system::error_code ec;
  const auto n = v->to_number<std::int64_t>(ec);
  return ec || n < 0 ? 0 : n;
}

const json::object* objectAt(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  return v == nullptr ? nullptr : v->if_object();
}

std::string textAt(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  return v != nullptr && v->is_string() ? std::string(v->get_string()) : std::string();
}

// "950", "12.3k", "1.2M": a phone line has no room for every digit.
std::string shortCount(std::int64_t n) {
  char text[32];
  if (n < 1000)
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(n));
  else if (n < 1'000'000)
    std::snprintf(text, sizeof text, "%.1fk", static_cast<double>(n) / 1e3);
  else
    std::snprintf(text, sizeof text, "%.1fM", static_cast<double>(n) / 1e6);
  return text;
}

std::string summary(const protocol::SessionUsage& u) {
  std::vector<std::string> parts;
  if (u.contextTokens && u.contextWindow && *u.contextWindow > 0)
    parts.push_back("context " + std::to_string(*u.contextTokens * 100 / *u.contextWindow) +
                    "% of " + shortCount(*u.contextWindow));
  else if (u.contextTokens)
    parts.push_back("context " + shortCount(*u.contextTokens));
  const protocol::TokenCounts& t = u.session;
  if (t.input + t.output + t.cacheWrite + t.cacheRead > 0)
    parts.push_back(shortCount(t.input) + " in, " + shortCount(t.output) + " out, " +
                    shortCount(t.cacheWrite + t.cacheRead) + " cached");
  if (u.estimatedCost) {
    char cost[32];
    std::snprintf(cost, sizeof cost, "about $%.2f (estimate)", *u.estimatedCost);
    parts.emplace_back(cost);
  }
  if (!u.unknown.empty()) {
    std::string unknown = "not known: ";
    for (std::size_t i = 0; i < u.unknown.size(); ++i)
      unknown += (i == 0 ? "" : "; ") + u.unknown[i];
    parts.push_back(std::move(unknown));
  }
  std::string line;
  for (const std::string& part : parts)
    line += (line.empty() ? "" : " \u00b7 ") + part;
  return line;
}

}  // namespace

void UsageTally::addLine(std::string_view line) {
  // Most lines are neither; parsing them would be most of the work.
  if (line.find("\"usage\"") == std::string_view::npos &&
      line.find("\"user\"") == std::string_view::npos)
    return;
  boost::system::error_code ec;
  const json::value doc = json::parse(line, ec);
  if (ec || !doc.is_object())
    return;
  const json::object& entry = doc.get_object();
  const std::string type = textAt(entry, "type");
  if (type == "user") {
    if (line.find("[Request interrupted by user") != std::string_view::npos)
      ++interruptions_;
    for (const auto& event : TranscriptDecoder::decode(line, 0)) {
      if (std::holds_alternative<TranscriptEvent::UserPrompt>(event.kind)) {
        lastTurn_ = {};
        messageID_.clear();
      }
    }
    return;
  }
  const json::object* message = type == "assistant" ? objectAt(entry, "message") : nullptr;
  const json::object* usage = message != nullptr ? objectAt(*message, "usage") : nullptr;
  if (usage == nullptr)
    return;
  const std::string model = textAt(*message, "model");
  // Messages Claude Code makes up itself (an interruption, an API error)
  // cost nothing.
  if (model.empty() || model == "<synthetic>")
    return;
  const protocol::TokenCounts counts{.input = count(*usage, "input_tokens"),
                                     .output = count(*usage, "output_tokens"),
                                     .cacheWrite = count(*usage, "cache_creation_input_tokens"),
                                     .cacheRead = count(*usage, "cache_read_input_tokens")};
  const std::string id = textAt(*message, "id");
  if (!id.empty() && id == messageID_) {
    byModel_[messageModel_] -= messageCounts_;
    lastTurn_ -= messageCounts_;
  }
  messageID_ = id;
  messageModel_ = model;
  messageCounts_ = counts;
  byModel_[model] += counts;
  lastTurn_ += counts;
  const json::value* sidechain = entry.if_contains("isSidechain");
  if (sidechain == nullptr || !sidechain->is_bool() || !sidechain->get_bool()) {
    model_ = model;
    context_ = counts.input + counts.cacheWrite + counts.cacheRead;
  }
}

protocol::SessionUsage UsageTally::usage(const ModelPrices& prices) const {
  protocol::SessionUsage usage;
  if (byModel_.empty()) {
    usage.unknown.emplace_back("usage (the transcript records none yet)");
    return usage;
  }
  for (const auto& [model, counts] : byModel_)
    usage.session += counts;
  usage.lastTurn = lastTurn_;
  usage.model = model_;
  usage.contextTokens = context_;
  prices.complete(usage, byModel_);
  return usage;
}

TranscriptUsage::TranscriptUsage(ModelPrices prices) : prices_(std::move(prices)) {}

void TranscriptUsage::annotate(std::vector<protocol::SessionDescriptor>& sessions) {
  std::set<std::string, std::less<>> listed;
  for (auto& session : sessions) {
    listed.insert(session.sessionID);
    if (session.transcriptPath)
      session.usage = read(session.sessionID, *session.transcriptPath);
  }
  std::erase_if(followed_, [&](const auto& entry) { return !listed.contains(entry.first); });
}

protocol::SessionUsage TranscriptUsage::read(const std::string& sessionID,
                                             const std::filesystem::path& path) {
  Followed& f = followed_[sessionID];
  struct stat st {};
  const bool found = ::stat(path.c_str(), &st) == 0;
  if (!found || !S_ISREG(st.st_mode)) {
    const std::string why = found ? "not a regular file" : std::strerror(errno);
    f = Followed{};
    protocol::SessionUsage usage;
    usage.unknown.push_back("usage (the transcript cannot be read: " + why + ")");
    usage.summary = summary(usage);
    return usage;
  }
  const auto size = static_cast<std::uintmax_t>(st.st_size);
  if (f.path != path || f.inode != st.st_ino || size < f.offset)
    f = Followed{.path = path, .inode = st.st_ino};
  const std::uint64_t interruptionsBefore = f.tally.interruptions();
  const bool wasCaughtUp = f.caughtUp;
  if (size > f.offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(f.offset));
    std::string chunk(static_cast<std::size_t>(std::min(size - f.offset, kReadPerLook)), '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    f.offset += chunk.size();
    f.partial += chunk;
    std::size_t start = 0;
    for (std::size_t end; (end = f.partial.find('\n', start)) != std::string::npos; start = end + 1)
      f.tally.addLine(std::string_view(f.partial).substr(start, end - start));
    f.partial.erase(0, start);
  }
  if (wasCaughtUp && f.tally.interruptions() > interruptionsBefore)
    interrupted_.push_back(sessionID);
  f.caughtUp = f.offset >= size;
  protocol::SessionUsage usage = f.tally.usage(prices_);
  if (f.offset < size)
    usage.unknown.emplace_back("part of the usage (the transcript is still being counted)");
  usage.summary = summary(usage);
  return usage;
}

std::vector<std::string> TranscriptUsage::takeInterrupted() {
  return std::exchange(interrupted_, {});
}

}  // namespace parley::claude
