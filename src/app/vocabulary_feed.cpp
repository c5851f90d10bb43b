#include "app/vocabulary_feed.hpp"

#include <boost/asio/post.hpp>
#include <filesystem>

#include "voice/contextual_vocabulary.hpp"

namespace parley::app {

namespace asio = boost::asio;

VocabularyFeed::VocabularyFeed(asio::any_io_executor main, asio::any_io_executor workers,
                               std::function<void(protocol::ServerMessage)> publish)
    : main_(std::move(main)), workers_(std::move(workers)), publish_(std::move(publish)) {}

std::vector<std::string> VocabularyFeed::termsFor(const protocol::SessionDescriptor& session) {
  std::vector<std::string> sources;
  if (session.gitBranch)
    sources.push_back(*session.gitBranch);
  if (session.displayName)
    sources.push_back(*session.displayName);
  sources.push_back(std::filesystem::path(session.cwd).filename().string());
  std::error_code ec;
  std::vector<std::string> names;
  for (std::filesystem::directory_iterator it(session.cwd, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with("."))
      names.push_back(name);
    if (names.size() >= kMaxRootEntries)
      break;
  }
  // The directory's order is the file system's; sorted, the terms of an
  // unchanged project are the same every time.
  std::sort(names.begin(), names.end());
  sources.insert(sources.end(), names.begin(), names.end());
  return voice::ContextualVocabulary::terms(sources, kMaxTerms);
}

void VocabularyFeed::sessionsChanged(std::vector<protocol::SessionDescriptor> sessions,
                                     bool reread) {
  std::vector<std::string> sources;
  sources.reserve(sessions.size());
  for (const auto& s : sessions)
    sources.push_back(s.sessionID + '\0' + s.cwd + '\0' + s.gitBranch.value_or("") + '\0' +
                      s.displayName.value_or(""));
  if (sources == sources_ && !reread)
    return;
  sources_ = std::move(sources);
  asio::post(workers_, [weak = weak_from_this(), sessions = std::move(sessions)] {
    std::map<std::string, std::vector<std::string>> computed;
    for (const auto& s : sessions)
      computed[s.sessionID] = termsFor(s);
    auto self = weak.lock();
    if (!self)
      return;
    asio::post(self->main_, [weak, computed = std::move(computed)]() mutable {
      auto feed = weak.lock();
      if (!feed)
        return;
      for (auto& [id, terms] : computed) {
        auto& known = feed->terms_[id];
        if (known == terms)
          continue;
        known = terms;
        feed->publish_(protocol::Vocab{.sessionID = id, .terms = std::move(terms)});
      }
      std::erase_if(feed->terms_, [&](const auto& entry) { return !computed.count(entry.first); });
    });
  });
}

void VocabularyFeed::phoneConnected() {
  for (const auto& [id, terms] : terms_)
    publish_(protocol::Vocab{.sessionID = id, .terms = terms});
}

}  // namespace parley::app
