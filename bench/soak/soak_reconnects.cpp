// A phone that keeps reconnecting under a steady hook load: absences of
// every length, connections that abort mid-stream and connections displaced
// by the next one. Every seq the phone does not receive must be explained,
// by the hello answer's gap or by a drop report naming it; a duplicate or a
// seq out of order is as much a failure as an unexplained one.

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "soak_events.hpp"
#include "soak_phone.hpp"

namespace parley::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// PreToolUse lines on the hook socket at `rate` a second, a few
// milliseconds' worth at a time, until stopped or `limit` has passed.
class HookLoad {
 public:
  HookLoad(const Bridge& bridge, const Events& events, int rate, Seconds limit)
      : thread_([this, &bridge, &events, rate, limit] {
          const auto start = Clock::now();
          while (!stop_ && Clock::now() - start < limit && sent_ < 10'000'000) {
            const auto due =
                static_cast<std::uint64_t>(Seconds(Clock::now() - start).count() * rate);
            std::string batch;
            for (std::uint64_t n = sent_; n < due && n < sent_ + 500; ++n)
              batch += events.preToolUse("load-" + std::to_string(n), true);
            if (!batch.empty() && bridge.sendLines(batch))
              sent_ += static_cast<std::uint64_t>(std::count(batch.begin(), batch.end(), '\n'));
            std::this_thread::sleep_for(5ms);
          }
        }) {}
  ~HookLoad() { stop(); }

  void stop() {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  std::uint64_t sent() const { return sent_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::thread thread_;
};

// How one connection's stream turned out.
enum class Outcome { contiguous, gap, dropped, unexplained };

// What the phone has seen of the numbered stream, across all its
// connections. A seq jumped over stays missing until a report names it.
class StreamCheck {
 public:
  std::optional<std::uint64_t> lastSeq() const { return lastSeq_; }

  // A connection's hello was answered, in an envelope numbered `ackSeq` (the
  // latest when it was answered); `asked` is the lastSeq it sent.
  void hello(const protocol::HelloAck& ack, std::uint64_t ackSeq,
             std::optional<std::uint64_t> asked) {
    connections_.push_back({.gap = ack.gap});
    if (asked && !ack.gap && ack.resumedFromSeq != *asked) {
      connections_.back().unexplained = true;
      problem("resumed from " + std::to_string(ack.resumedFromSeq) + ", asked " +
              std::to_string(*asked));
    }
    // What a gap skips is explained by it.
    expected_ = ack.resumedFromSeq + 1;
    lastSeq_ = ack.resumedFromSeq;
    replayEnd_ = ackSeq;
  }

  // The seq the replay (or for a new phone, what was published during its
  // hello) runs to.
  std::uint64_t replayEnd() const { return replayEnd_; }

  void add(const protocol::ServerEnvelope& envelope) {
    if (const auto* report = std::get_if<protocol::Dropped>(&envelope.message)) {
      dropped(*report);
      return;
    }
    if (std::holds_alternative<protocol::Pong>(envelope.message) ||
        std::holds_alternative<protocol::HelloAck>(envelope.message))
      return;
    const std::uint64_t seq = envelope.seq;
    ++received_;
    if (seq <= replayEnd_)
      ++replayed_;
    if (explained_.contains(seq)) {
      ++badReports_;
      problem("seq " + std::to_string(seq) + " arrived after a report said it was shed");
    }
    if (seq >= expected_) {
      for (std::uint64_t s = expected_; s < seq; ++s)
        if (!explained_.contains(s))
          missing_.emplace(s, connections_.size() - 1);
      if (seq > expected_)
        connections_.back().jumped = true;
      expected_ = seq + 1;
      lastSeq_ = seq;
    } else if (seen_.contains(seq)) {
      ++duplicates_;
      problem("seq " + std::to_string(seq) + " again");
    } else {
      ++outOfOrder_;
      missing_.erase(seq);
      problem("seq " + std::to_string(seq) + " after " + std::to_string(expected_ - 1));
    }
    seen_.insert(seq);
  }

  bool caughtUpTo(std::uint64_t seq) const { return lastSeq_ && *lastSeq_ >= seq; }

  // The counts, once the last connection has had its reports.
  std::map<Outcome, int> outcomes() {
    for (const auto& [seq, connection] : missing_)
      connections_[connection].unexplained = true;
    if (!missing_.empty())
      problem(std::to_string(missing_.size()) + " seqs neither received nor reported, first " +
              std::to_string(missing_.begin()->first));
    std::map<Outcome, int> out;
    // The first connection is no reconnect.
    for (std::size_t i = 1; i < connections_.size(); ++i) {
      const Connection& c = connections_[i];
      ++out[c.unexplained ? Outcome::unexplained
            : c.jumped    ? Outcome::dropped
            : c.gap       ? Outcome::gap
                          : Outcome::contiguous];
    }
    return out;
  }

  std::uint64_t received() const { return received_; }
  std::uint64_t replayed() const { return replayed_; }
  std::uint64_t reported() const { return reported_; }
  std::uint64_t reportedAgain() const { return reportedAgain_; }
  int duplicates() const { return duplicates_; }
  int outOfOrder() const { return outOfOrder_; }
  int badReports() const { return badReports_; }
  const std::string& firstProblem() const { return firstProblem_; }

 private:
  struct Connection {
    bool gap = false;
    bool jumped = false;
    bool unexplained = false;
  };

  void dropped(const protocol::Dropped& report) {
    std::uint64_t named = 0;
    for (const auto& range : report.seqs.value_or(std::vector<protocol::Dropped::SeqRange>{})) {
      for (std::uint64_t seq = range.first; seq <= range.last && named <= 1'000'000; ++seq) {
        ++named;
        if (explained_.contains(seq)) {
          ++reportedAgain_;
        } else if (missing_.erase(seq) > 0 || seq >= expected_) {
          // A report may come before the phone has seen anything past the
          // seqs it names: those are then never missing.
          ++reported_;
          explained_.insert(seq);
        } else {
          ++badReports_;
          problem("a report names seq " + std::to_string(seq) + ", which was not missing");
        }
      }
    }
    if (static_cast<std::int64_t>(named) != report.count) {
      ++badReports_;
      problem("a report of " + std::to_string(report.count) + " names " + std::to_string(named));
    }
  }

  void problem(const std::string& what) {
    if (firstProblem_.empty())
      firstProblem_ = what;
  }

  std::vector<Connection> connections_;
  std::optional<std::uint64_t> lastSeq_;
  std::uint64_t expected_ = 1;
  std::uint64_t replayEnd_ = 0;
  std::map<std::uint64_t, std::size_t> missing_;  // seq → connection that jumped it
  std::set<std::uint64_t> explained_;
  std::set<std::uint64_t> seen_;
  std::uint64_t received_ = 0;
  std::uint64_t replayed_ = 0;
  std::uint64_t reported_ = 0;
  std::uint64_t reportedAgain_ = 0;
  int duplicates_ = 0;
  int outOfOrder_ = 0;
  int badReports_ = 0;
  std::string firstProblem_;
};

// How a connection ends, and how long the phone then stays away.
struct Leave {
  const char* name;
  std::chrono::milliseconds away;
  enum { close, abort, stayOpen } how;
};

const Leave& leaveFor(int i) {
  static const Leave kinds[] = {
      {"0 ms", 0ms, Leave::close},         {"5 ms", 5ms, Leave::close},
      {"200 ms", 200ms, Leave::close},     {"aborted", 5ms, Leave::abort},
      {"displaced", 0ms, Leave::stayOpen},
  };
  static const Leave longAbsence{"3 s", 3000ms, Leave::close};
  return i % 20 == 12 ? longAbsence : kinds[i % 5];
}

// Connects and says hello with what the phone has read; the answer goes to
// `check`.
std::unique_ptr<Phone> greet(const Bridge& bridge, StreamCheck& check) {
  auto phone = std::make_unique<Phone>(bridge.port());
  const std::optional<std::uint64_t> asked = check.lastSeq();
  phone->send(protocol::Hello{
      .token = bridge.token(), .deviceID = "phone", .appVersion = "1.0", .lastSeq = asked});
  for (int i = 0; i < 100; ++i) {
    const protocol::ServerEnvelope envelope = phone->next();
    if (const auto* ack = std::get_if<protocol::HelloAck>(&envelope.message)) {
      check.hello(*ack, envelope.seq, asked);
      return phone;
    }
  }
  throw std::runtime_error("no hello_ack");
}

// Where one reconnect spent its time, to find a slow one's cause.
struct Lap {
  double seconds = 0;
  double helloSeconds = 0;
  int catchUp = 0;  // frames read before the replay's end
  int toPong = 0;   // frames read after the ping, before its pong
};

// Reads what the phone missed, then what a ping brings of the live stream.
void readOn(Phone& phone, StreamCheck& check, const std::string& nonce, Lap& lap) {
  for (; lap.catchUp < 200'000 && !check.caughtUpTo(check.replayEnd()); ++lap.catchUp)
    check.add(phone.next());
  phone.send(protocol::Ping{.nonce = nonce});
  for (; lap.toPong < 200'000; ++lap.toPong) {
    const protocol::ServerEnvelope envelope = phone.next();
    if (isPong(envelope, nonce))
      return;
    check.add(envelope);
  }
}

// After the load: reads until two seconds pass with nothing new, so every
// report still owed or coalescing has arrived.
void drain(Phone& phone, StreamCheck& check) {
  const auto start = Clock::now();
  auto heard = Clock::now();
  for (int round = 0; Clock::now() - heard < 2s && Clock::now() - start < 20s; ++round) {
    const std::string nonce = "drain" + std::to_string(round);
    phone.send(protocol::Ping{.nonce = nonce});
    for (auto envelope = phone.next(); !isPong(envelope, nonce); envelope = phone.next()) {
      check.add(envelope);
      heard = Clock::now();
    }
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace

bool reconnects(Bridge& bridge, const Events& events, int count, Seconds budget) {
  constexpr int kRate = 2000;
  HookLoad load(bridge, events, kRate, budget + Seconds(30));
  StreamCheck check;
  std::map<std::string, int> left;
  int failures = 0;
  std::string firstFailure;
  std::unique_ptr<Phone> phone;
  const auto start = Clock::now();
  int done = 0;
  Lap slowest;
  for (int i = 0; i < count && Seconds(Clock::now() - start) < budget; ++i) {
    const Leave& leave = leaveFor(i);
    const auto lapStart = Clock::now();
    Lap lap;
    try {
      // A phone left open is displaced by this one.
      std::unique_ptr<Phone> next = greet(bridge, check);
      lap.helloSeconds = Seconds(Clock::now() - lapStart).count();
      phone = std::move(next);
      if (leave.how == Leave::close) {
        readOn(*phone, check, "r" + std::to_string(i), lap);
        phone.reset();
      } else {
        // Part of the way through whatever is arriving.
        for (int n = 0; n < 20 + (i * 53) % 400; ++n)
          check.add(phone->next());
        if (leave.how == Leave::abort) {
          phone->abort();
          phone.reset();
        }
      }
      ++left[leave.name];
      ++done;
    } catch (const std::exception& e) {
      ++failures;
      phone.reset();
      if (firstFailure.empty())
        firstFailure = e.what();
    }
    lap.seconds = Seconds(Clock::now() - lapStart).count();
    if (lap.seconds > slowest.seconds)
      slowest = lap;
    std::this_thread::sleep_for(leave.away);
  }
  const double seconds = Seconds(Clock::now() - start).count();
  load.stop();
  try {
    phone = greet(bridge, check);
    drain(*phone, check);
  } catch (const std::exception& e) {
    ++failures;
    if (firstFailure.empty())
      firstFailure = std::string("the last connection: ") + e.what();
  }
  phone.reset();

  std::map<Outcome, int> outcomes = check.outcomes();
  std::string kinds;
  for (const auto& [name, n] : left)
    kinds += (kinds.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(n);
  const std::string& problem = check.firstProblem().empty() ? firstFailure : check.firstProblem();
  report(
      "phone reconnects: %d in %.1f s under %llu hook events (%.0f/s; left: %s): %d contiguous, "
      "%d jumps explained by gap, %d by dropped reports, %d unexplained; %d duplicates, %d out "
      "of order, %d bad reports; %llu messages received (%llu replayed), %llu reported shed "
      "(%llu again), %d failed connections; slowest %.2f s (hello %.2f s, %d frames to catch "
      "up, %d to the pong)%s%s",
      done, seconds, static_cast<unsigned long long>(load.sent()),
      static_cast<double>(load.sent()) / seconds, kinds.c_str(), outcomes[Outcome::contiguous],
      outcomes[Outcome::gap], outcomes[Outcome::dropped], outcomes[Outcome::unexplained],
      check.duplicates(), check.outOfOrder(), check.badReports(),
      static_cast<unsigned long long>(check.received()),
      static_cast<unsigned long long>(check.replayed()),
      static_cast<unsigned long long>(check.reported()),
      static_cast<unsigned long long>(check.reportedAgain()), failures, slowest.seconds,
      slowest.helloSeconds, slowest.catchUp, slowest.toPong,
      problem.empty() ? "" : "; first: ", problem.c_str());
  return outcomes[Outcome::unexplained] == 0 && check.duplicates() == 0 &&
         check.outOfOrder() == 0 && check.badReports() == 0 && failures == 0;
}

}  // namespace parley::soak
