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
  void append(std::string_view piece) { pending_.append(piece); }

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
  // Captures are bytes from tmux; make them valid UTF-8 first so letters are
  // well defined. Escape sequences are read scalar by scalar, as a terminal
  // reads them: a combining mark right after a sequence belongs to the text
  // that follows, not to the sequence's final letter.
  const std::string decoded = text::toValidUtf8(input);
  const std::string_view all(decoded);
  Segmenter segmenter;
  std::size_t textStart = 0;
  std::size_t i = all.find('\x1b');
  while (i != std::string_view::npos) {
    segmenter.append(all.substr(textStart, i - textStart));
    if (i + 1 >= all.size() || all[i + 1] != '[') {
      // A lone ESC (or ESC before anything but "[") is dropped by itself.
      textStart = i + 1;
    } else {
      std::size_t j = i + 2;
      text::Scalar letter;
      while (j < all.size() && !text::isLetter((letter = text::decodeAt(all, j)).value))
        j = letter.end;
      if (j >= all.size())
        return segmenter.finish();  // unfinished sequence at the end: dropped
      if (letter.value == U'm')
        segmenter.applySgr(all.substr(i + 2, j - (i + 2)));
      textStart = letter.end;
    }
    i = all.find('\x1b', textStart);
  }
  segmenter.append(all.substr(textStart));
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
