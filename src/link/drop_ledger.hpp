#pragma once

// What the send queue shed for each paired device and the device has not yet
// been told, kept across its connections: a phone that leaves before its
// report goes out, or before it reads it, is told at its next hello, however
// long it stayed away. A plain data structure: the server touches it only on
// its strand.
//
// A report is done with only once the phone has shown it read past it: a
// pong to a ping sent after the report was written, or a hello resuming from
// a seq after the report's place in the stream. A phone that read exactly up
// to the report and no further may be told twice; it is never not told.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/envelope.hpp"

namespace parley::link {

class DropLedger {
 public:
  // Records the numbered messages shed for the device. Only numbered
  // messages are sheddable: replies and the hello answer never are.
  void shed(const std::string& device, const std::vector<protocol::ServerEnvelope>& envelopes);

  // The report of everything owed to the device, or nullopt when nothing is.
  // It is to be sent now behind the numbered message `position`, and is
  // owed again unless the phone shows it read past it.
  std::optional<protocol::Dropped> report(const std::string& device, std::uint64_t position);

  // The oldest report sent on the device's connection was written as its
  // `frame`-th frame.
  void written(const std::string& device, std::uint64_t frame);

  // The phone has read the first `frames` frames of its connection.
  void readThrough(const std::string& device, std::uint64_t frames);

  // The device said hello, having read up to `lastSeq`. What it has not read
  // past is replayed to it or covered by the hello answer's gap, so only
  // seqs up to `lastSeq` stay owed; a phone starting afresh is owed nothing.
  void hello(const std::string& device, std::optional<std::uint64_t> lastSeq);

 private:
  using Seqs = std::map<std::uint64_t, std::string_view>;  // seq → message type

  struct Sent {
    Seqs seqs;
    std::uint64_t position = 0;
    std::optional<std::uint64_t> frame;  // once written
  };

  struct Account {
    Seqs owed;
    std::deque<Sent> sent;  // oldest first, as the connection writes them
  };

  void forgetIfSettled(std::map<std::string, Account>::iterator account);

  std::map<std::string, Account> accounts_;
};

}  // namespace parley::link
