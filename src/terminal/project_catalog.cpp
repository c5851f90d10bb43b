#include "terminal/project_catalog.hpp"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <cstdio>
#include <fstream>
#include <map>

#include "base/files.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace parley::terminal {

namespace fs = std::filesystem;
namespace json = boost::json;
using protocol::Date;

namespace {

// How far into a transcript its working directory is looked for: Claude
// Code writes it on the first prompt, after a few bookkeeping records.
constexpr std::size_t kHeadLines = 200;
// A line longer than this (a pasted file, an image) is no prompt worth
// showing and is not parsed.
constexpr std::size_t kMaxLineBytes = 1024 * 1024;
// ~/.claude.json grows with every project's history of pastes.
constexpr std::size_t kMaxConfigBytes = 64 * 1024 * 1024;

Date modifiedTime(const fs::path& file, std::error_code& ec) {
  const auto stamp = fs::last_write_time(file, ec);
  if (ec)
    return {};
  return std::chrono::time_point_cast<Date::duration>(std::chrono::file_clock::to_sys(stamp));
}

// Claude Code names each transcript by its session id, a UUID; nothing else
// is offered, and the shape also keeps an id from reading as an option when
// it is passed to --resume.
bool plausibleSessionID(std::string_view id) {
  if (id.size() != 36)
    return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex)
      return false;
  }
  return true;
}

const json::object* objectAt(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  return v != nullptr ? v->if_object() : nullptr;
}

// What a person typed, from a "user" record, or nothing for the other
// records Claude Code files as the user's: tool results, interruption notes,
// slash-command echoes, meta and side-chain records.
std::optional<std::string> typedPrompt(const json::object& record) {
  const json::value* type = record.if_contains("type");
  if (type == nullptr || !type->is_string() || type->get_string() != "user")
    return std::nullopt;
  for (const char* flag : {"isMeta", "isSidechain", "isCompactSummary"}) {
    if (const json::value* v = record.if_contains(flag); v && v->is_bool() && v->get_bool())
      return std::nullopt;
  }
  if (const json::object* origin = objectAt(record, "origin")) {
    const json::value* kind = origin->if_contains("kind");
    if (kind != nullptr && kind->is_string() && kind->get_string() != "human")
      return std::nullopt;
  }
  const json::object* message = objectAt(record, "message");
  const json::value* content = message ? message->if_contains("content") : nullptr;
  if (content == nullptr)
    return std::nullopt;
  std::string text;
  if (content->is_string()) {
    text = content->get_string();
  } else if (const json::array* blocks = content->if_array()) {
    for (const json::value& block : *blocks) {
      const json::object* b = block.if_object();
      const json::value* kind = b ? b->if_contains("type") : nullptr;
      if (kind == nullptr || !kind->is_string())
        continue;
      if (kind->get_string() == "tool_result")
        return std::nullopt;
      if (kind->get_string() == "text") {
        if (const json::value* t = b->if_contains("text"); t && t->is_string())
          text += std::string(t->get_string()) + " ";
      }
    }
  } else {
    return std::nullopt;
  }
  const std::string_view trimmed = text::trimmed(text);
  for (std::string_view note : {"[Request interrupted", "<command-", "<local-command-", "<bash-"}) {
    if (trimmed.starts_with(note))
      return std::nullopt;
  }
  if (trimmed.empty())
    return std::nullopt;
  return std::string(trimmed);
}

std::string shortened(std::string_view prompt, std::size_t characters) {
  // One line: runs of white space, new lines included, become one space.
  std::string flat;
  bool space = false;
  for (char c : prompt) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      space = !flat.empty();
      continue;
    }
    if (space)
      flat += ' ';
    space = false;
    flat += c;
  }
  const std::string_view prefix = text::characterPrefix(flat, characters);
  if (prefix.size() == flat.size())
    return flat;
  return std::string(prefix) + "\u2026";
}

}  // namespace

ProjectCatalog::ProjectCatalog(fs::path home, std::function<void(const std::string&)> log)
    : ProjectCatalog(std::move(home), std::move(log), Limits{}) {}

ProjectCatalog::ProjectCatalog(fs::path home, std::function<void(const std::string&)> log,
                               Limits limits)
    : home_(std::move(home)), log_(std::move(log)), limits_(limits) {}

void ProjectCatalog::log(const std::string& line) const {
  if (log_)
    log_(line);
}

std::string ProjectCatalog::projectID(const fs::path& folder) {
  // FNV-1a: stable across runs, so a page left open still names the same
  // project after a restart.
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : folder.string()) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char id[20];
  std::snprintf(id, sizeof id, "p%016llx", static_cast<unsigned long long>(hash));
  return id;
}

std::optional<fs::path> ProjectCatalog::cwdOf(const fs::path& file) const {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    log("skipped an unreadable transcript: " + file.filename().string());
    return std::nullopt;
  }
  std::string line;
  for (std::size_t n = 0; n < kHeadLines && std::getline(in, line); ++n) {
    if (line.size() > kMaxLineBytes || line.find("\"cwd\"") == std::string::npos)
      continue;
    boost::system::error_code ec;
    const json::value record = json::parse(line, ec);
    const json::object* o = ec ? nullptr : record.if_object();
    const json::value* cwd = o ? o->if_contains("cwd") : nullptr;
    if (cwd != nullptr && cwd->is_string() && !cwd->get_string().empty() &&
        cwd->get_string().front() == '/')
      return fs::path(std::string(cwd->get_string())).lexically_normal();
  }
  return std::nullopt;
}

std::vector<ProjectCatalog::Transcript> ProjectCatalog::transcripts() const {
  std::vector<Transcript> found;
  const fs::path root = home_ / ".claude" / "projects";
  std::error_code ec;
  fs::directory_iterator folders(root, ec);
  if (ec)
    return found;  // no transcripts yet
  for (const fs::directory_entry& folder : folders) {
    if (!folder.is_directory(ec))
      continue;
    fs::directory_iterator files(folder.path(), ec);
    if (ec) {
      log("skipped an unreadable transcript folder: " + folder.path().filename().string());
      continue;
    }
    for (const fs::directory_entry& file : files) {
      const fs::path& path = file.path();
      if (path.extension() != ".jsonl" || !file.is_regular_file(ec) ||
          !plausibleSessionID(path.stem().string()))
        continue;
      const Date modified = modifiedTime(path, ec);
      if (ec)
        continue;
      const auto cwd = cwdOf(path);
      if (!cwd)
        continue;  // nothing typed in it yet: no session to list
      found.push_back({path.stem().string(), path, *cwd, modified});
    }
  }
  std::sort(found.begin(), found.end(), [](const Transcript& a, const Transcript& b) {
    return a.modified != b.modified ? a.modified > b.modified : a.historyID < b.historyID;
  });
  return found;
}

std::optional<json::object> ProjectCatalog::claudeProjects() const {
  const fs::path file = home_ / ".claude.json";
  std::optional<std::string> text;
  try {
    text = base::readFileIfExists(file, kMaxConfigBytes);
  } catch (const std::exception& e) {
    log(std::string("skipped Claude Code's project list: ") + e.what());
    return std::nullopt;
  }
  if (!text)
    return std::nullopt;
  boost::system::error_code ec;
  json::value config = json::parse(*text, ec);
  if (ec || !config.is_object()) {
    log("skipped Claude Code's project list: ~/.claude.json is not a JSON object");
    return std::nullopt;
  }
  if (json::value* projects = config.get_object().if_contains("projects");
      projects && projects->is_object())
    return std::move(projects->get_object());
  return std::nullopt;
}

bool ProjectCatalog::trusted(const fs::path& folder) const {
  const auto projects = claudeProjects();
  if (!projects)
    return false;
  const json::object* entry = objectAt(*projects, folder.lexically_normal().string());
  const json::value* accepted = entry ? entry->if_contains("hasTrustDialogAccepted") : nullptr;
  return accepted != nullptr && accepted->is_bool() && accepted->get_bool();
}

std::vector<protocol::ProjectInfo> ProjectCatalog::projects(
    const std::vector<protocol::SessionDescriptor>& live) const {
  std::map<std::string, protocol::ProjectInfo> byPath;
  auto entry = [&](const fs::path& folder) -> protocol::ProjectInfo& {
    const std::string path = folder.lexically_normal().string();
    auto [it, added] = byPath.try_emplace(path);
    if (added) {
      it->second.projectID = projectID(path);
      it->second.path = path;
      fs::path named(path);
      it->second.name = named.has_filename() ? named.filename().string() : path;
    }
    return it->second;
  };
  auto touch = [](protocol::ProjectInfo& p, Date when) {
    if (!p.lastActivity || *p.lastActivity < when)
      p.lastActivity = when;
  };
  for (const Transcript& t : transcripts()) {
    protocol::ProjectInfo& p = entry(t.cwd);
    ++p.pastSessions;
    touch(p, t.modified);
  }
  for (const protocol::SessionDescriptor& s : live) {
    if (s.cwd.empty() || s.cwd.front() != '/')
      continue;
    protocol::ProjectInfo& p = entry(s.cwd);
    ++p.liveSessions;
    touch(p, s.lastActivity);
  }
  const auto config = claudeProjects();
  if (config) {
    for (const auto& [key, value] : *config) {
      if (key.empty() || key.front() != '/' || !value.is_object())
        continue;
      entry(std::string(key));
    }
  }
  std::vector<protocol::ProjectInfo> listed;
  std::error_code ec;
  for (auto& [path, project] : byPath) {
    // A folder since removed cannot be started in; its records stay.
    if (!fs::is_directory(path, ec))
      continue;
    if (config) {
      const json::object* e = objectAt(*config, path);
      const json::value* accepted = e ? e->if_contains("hasTrustDialogAccepted") : nullptr;
      project.trusted = accepted != nullptr && accepted->is_bool() && accepted->get_bool();
    }
    listed.push_back(std::move(project));
  }
  std::stable_sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
    if (a.lastActivity.has_value() != b.lastActivity.has_value())
      return a.lastActivity.has_value();
    return a.lastActivity && *a.lastActivity > *b.lastActivity;
  });
  if (listed.size() > limits_.projects)
    listed.resize(limits_.projects);
  return listed;
}

std::optional<fs::path> ProjectCatalog::projectPath(
    std::string_view id, const std::vector<protocol::SessionDescriptor>& live) const {
  for (const protocol::ProjectInfo& p : projects(live)) {
    if (p.projectID == id)
      return fs::path(p.path);
  }
  return std::nullopt;
}

ProjectCatalog::Summary ProjectCatalog::summarise(const fs::path& file) const {
  Summary summary;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    log("skipped an unreadable transcript: " + file.filename().string());
    return summary;
  }
  std::size_t unreadable = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.size() > kMaxLineBytes || line.find("\"user\"") == std::string::npos)
      continue;
    boost::system::error_code ec;
    const json::value record = json::parse(line, ec);
    if (ec || !record.is_object()) {
      ++unreadable;
      continue;
    }
    if (auto prompt = typedPrompt(record.get_object())) {
      if (summary.turns++ == 0)
        summary.firstPrompt = shortened(text::toValidUtf8(*prompt), limits_.promptCharacters);
    }
  }
  if (unreadable > 0)
    log("skipped " + std::to_string(unreadable) + " unreadable record" +
        (unreadable == 1 ? "" : "s") + " in transcript " + file.filename().string());
  return summary;
}

std::optional<protocol::History> ProjectCatalog::history(
    std::string_view id, std::int64_t offset,
    const std::vector<protocol::SessionDescriptor>& live) const {
  const auto folder = projectPath(id, live);
  if (!folder)
    return std::nullopt;
  std::vector<Transcript> mine;
  for (Transcript& t : transcripts()) {
    if (t.cwd == *folder)
      mine.push_back(std::move(t));
  }
  protocol::History page;
  page.projectID = std::string(id);
  page.total = static_cast<std::int64_t>(mine.size());
  page.offset = std::clamp<std::int64_t>(offset, 0, page.total);
  const auto end = std::min<std::size_t>(mine.size(), page.offset + limits_.pageSize);
  for (std::size_t i = page.offset; i < end; ++i) {
    const Summary summary = summarise(mine[i].file);
    const bool isLive = std::any_of(
        live.begin(), live.end(), [&](const auto& s) { return s.sessionID == mine[i].historyID; });
    page.sessions.push_back({.historyID = mine[i].historyID,
                             .lastActivity = mine[i].modified,
                             .turns = summary.turns,
                             .firstPrompt = summary.firstPrompt,
                             .live = isLive});
  }
  return page;
}

std::optional<ProjectCatalog::Past> ProjectCatalog::past(std::string_view historyID) const {
  if (!plausibleSessionID(historyID))
    return std::nullopt;
  for (Transcript& t : transcripts()) {
    if (t.historyID == historyID)
      return Past{t.historyID, std::move(t.cwd), std::move(t.file)};
  }
  return std::nullopt;
}

}  // namespace parley::terminal
