#include "terminal/ansi_text.hpp"

#include <charconv>

#include "text/unicode.hpp"

namespace parley::terminal::AnsiText {

namespace {

// One SGR parameter; anything that is not a plain decimal reads as 0.
int sgrParameter(std::string_view piece) {
  int value = 0;
  const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (ec != std::errc() || end != piece.data() + piece.size())
    return 0;
  return value;
}

class Segmenter {
 public:
  void append(std::string_view cluster) { pending_.append(cluster); }

  void applySgr(std::string_view parameters) {
    std::vector<int> values;
    for (std::string_view piece : text::split(parameters, ";")) {
      if (!piece.empty())
        values.push_back(sgrParameter(piece));
    }
    if (values.empty())
      values.push_back(0);
    for (int value : values) {
      if (value == 0 || value == 22) {
        flush();
        dim_ = false;
      } else if (value == 2) {
        flush();
        dim_ = true;
      }
    }
  }

  std::vector<Segment> finish() {
    flush();
    return std::move(out_);
  }

 private:
  void flush() {
    if (!pending_.empty())
      out_.push_back(Segment{std::move(pending_), dim_});
    pending_.clear();
  }

  std::string pending_;
  bool dim_ = false;
  std::vector<Segment> out_;
};

}  // namespace

std::vector<Segment> segments(std::string_view input) {
  // Captures are bytes from tmux; make them valid UTF-8 first so clusters and
  // letters are well defined.
  const std::string decoded = text::toValidUtf8(input);
  const std::vector<text::Character> clusters = text::characters(decoded);
  Segmenter segmenter;
  std::size_t i = 0;
  while (i < clusters.size()) {
    if (!clusters[i].is(U'\x1b')) {
      segmenter.append(clusters[i].in(decoded));
      ++i;
      continue;
    }
    if (i + 1 >= clusters.size() || !clusters[i + 1].is(U'[')) {
      // A lone ESC (or ESC before anything but "[") is dropped by itself.
      ++i;
      continue;
    }
    std::size_t j = i + 2;
    std::string parameters;
    while (j < clusters.size() && !text::isLetter(clusters[j].first)) {
      parameters.append(clusters[j].in(decoded));
      ++j;
    }
    if (j >= clusters.size())
      break;  // unfinished sequence at the end: dropped
    if (clusters[j].is(U'm'))
      segmenter.applySgr(parameters);
    i = j + 1;
  }
  return segmenter.finish();
}

std::string stripped(std::string_view text) {
  std::string out;
  for (const Segment& s : segments(text))
    out += s.text;
  return out;
}

std::string realText(std::string_view text) {
  std::string out;
  for (const Segment& s : segments(text)) {
    if (!s.dim)
      out += s.text;
  }
  return out;
}

}  // namespace parley::terminal::AnsiText
