#include "link/drop_ledger.hpp"

#include <set>

namespace parley::link {

void DropLedger::shed(const std::string& device,
                      const std::vector<protocol::ServerEnvelope>& envelopes) {
  if (envelopes.empty())
    return;
  Account& account = accounts_[device];
  for (const protocol::ServerEnvelope& envelope : envelopes)
    account.owed.emplace(envelope.seq, envelope.message.type());
}

std::optional<protocol::Dropped> DropLedger::report(const std::string& device,
                                                    std::uint64_t position) {
  const auto it = accounts_.find(device);
  if (it == accounts_.end() || it->second.owed.empty())
    return std::nullopt;
  Account& account = it->second;
  protocol::Dropped dropped{.count = static_cast<std::int64_t>(account.owed.size()),
                            .seqs = std::vector<protocol::Dropped::SeqRange>{}};
  std::set<std::string_view> kinds;
  for (const auto& [seq, type] : account.owed) {
    kinds.insert(type);
    if (!dropped.seqs->empty() && dropped.seqs->back().last + 1 == seq)
      dropped.seqs->back().last = seq;
    else
      dropped.seqs->push_back({.first = seq, .last = seq});
  }
  dropped.kinds.assign(kinds.begin(), kinds.end());
  account.sent.push_back(Sent{.seqs = std::move(account.owed), .position = position});
  account.owed.clear();
  return dropped;
}

void DropLedger::written(const std::string& device, std::uint64_t frame) {
  const auto it = accounts_.find(device);
  if (it == accounts_.end())
    return;
  for (Sent& sent : it->second.sent) {
    if (!sent.frame) {
      sent.frame = frame;
      return;
    }
  }
}

void DropLedger::readThrough(const std::string& device, std::uint64_t frames) {
  const auto it = accounts_.find(device);
  if (it == accounts_.end())
    return;
  auto& sent = it->second.sent;
  while (!sent.empty() && sent.front().frame && *sent.front().frame <= frames)
    sent.pop_front();
  forgetIfSettled(it);
}

void DropLedger::hello(const std::string& device, std::optional<std::uint64_t> lastSeq) {
  const auto it = accounts_.find(device);
  if (it == accounts_.end())
    return;
  Account& account = it->second;
  for (Sent& sent : account.sent) {
    // Resuming after the report's place means the phone read a message
    // written behind it, so it read the report too.
    const bool read = sent.frame && lastSeq && *lastSeq > sent.position;
    if (!read)
      account.owed.merge(sent.seqs);
  }
  account.sent.clear();
  if (lastSeq)
    account.owed.erase(account.owed.upper_bound(*lastSeq), account.owed.end());
  else
    account.owed.clear();
  forgetIfSettled(it);
}

void DropLedger::forgetIfSettled(std::map<std::string, Account>::iterator account) {
  if (account->second.owed.empty() && account->second.sent.empty())
    accounts_.erase(account);
}

}  // namespace parley::link
