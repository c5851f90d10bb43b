#include "voice/sentence_chunker.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/unicode.hpp"

namespace parley::voice {
namespace {

using Chunks = std::vector<std::string>;

// The limits the examples below are written for: first chunk 60, later 200,
// minimum 20.
SentenceChunker standardChunker() {
  return SentenceChunker(200, 60, 20);
}

std::string repeat(std::string_view piece, int count) {
  std::string result;
  for (int i = 0; i < count; ++i)
    result.append(piece);
  return result;
}

// The words of a text, to compare what went in with what came out.
std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> result;
  std::string current;
  for (const auto& c : text::characters(text)) {
    if (text::isWhitespace(c.first)) {
      if (!current.empty())
        result.push_back(std::move(current));
      current.clear();
    } else {
      current.append(text.substr(c.begin, c.end - c.begin));
    }
  }
  if (!current.empty())
    result.push_back(std::move(current));
  return result;
}

// Pieces pushed one after another (the last entry "" means flush), and
// every chunk that came out, in order.
TEST(SentenceChunker, CutsAtSentenceEnds) {
  const std::vector<std::pair<std::vector<std::string>, Chunks>> cases{
      {{"Hello there, this is a test. And more"}, {"Hello there, this is a test."}},
      {{"Hello there, this is a test. And more", ""}, {"Hello there, this is a test.", "And more"}},
      // Too short: merged with the next sentence, waiting for it if need be.
      {{"Ok. Next part is here. Then"}, {"Ok. Next part is here."}},
      {{"Ok. Then more", " words arrive. And"}, {"Ok. Then more words arrive."}},
      // A sentence end at the buffer's end waits: "3." may go on as "3.14".
      {{"The constant pi is about 3.", "14 and that is it. More"},
       {"The constant pi is about 3.14 and that is it."}},
      {{"This sentence is complete."}, {}},
      {{"This sentence is complete.", ""}, {"This sentence is complete."}},
      // Terminator runs and closing marks stay with their sentence.
      {{"That is really what you wanted?!\" And"}, {"That is really what you wanted?!\""}},
      {{"(He said \u201cit is all done.\u201d) Then"}, {"(He said \u201cit is all done.\u201d)"}},
      {{"", "   \n ", ""}, {}},
  };
  for (const auto& [pieces, expected] : cases) {
    SentenceChunker chunker = standardChunker();
    Chunks out;
    for (const auto& piece : pieces) {
      for (auto& chunk : piece.empty() ? chunker.flush() : chunker.push(piece))
        out.push_back(chunk);
    }
    EXPECT_EQ(out, expected) << pieces.front();
    if (!pieces.empty() && pieces.back().empty()) {
      EXPECT_TRUE(chunker.isEmpty());
    }
  }
}

TEST(SentenceChunker, NeverCutsAtAbbreviationsOrNumbers) {
  // With a minimum of one character a wrong cut could not hide in a merge.
  const std::vector<std::pair<std::string, Chunks>> cases = {
      {"It is version 2. Then", {}},  // the only period follows a number
      {"Use e.g. the cache. Then", {"Use e.g. the cache."}},
      {"Ask Dr. Smith about it. Then", {"Ask Dr. Smith about it."}},
      {"Lists, etc. are fine. Then", {"Lists, etc. are fine."}},
      {"See I.E. notes. Then", {"See I.E. notes."}},
      {"Pick no. 5 in the list. Then", {"Pick no. 5 in the list."}},
      {"Pi is 3.14 or so. Then", {"Pi is 3.14 or so."}},
      {"Released 1.2.3. Then it was", {}},  // digits and periods: a number
      // An abbreviation needs its own word: "Tokyo." ends a sentence even
      // though "co" is listed, and "v2." is not a number.
      {"Back from Tokyo. Then", {"Back from Tokyo."}},
      {"Try v2. Then", {"Try v2."}},
  };
  for (const auto& [text, expected] : cases) {
    SentenceChunker strict(200, 60, 1);
    EXPECT_EQ(strict.push(text), expected) << text;
  }
}

TEST(SentenceChunker, FirstChunkWithoutSentenceEndIsCutAtAWordBoundary) {
  // 80 characters, the last space before the 60th at position 56.
  const std::string text = repeat("abcdefg ", 10);
  SentenceChunker chunker = standardChunker();
  EXPECT_EQ(chunker.push(text), (Chunks{repeat("abcdefg ", 7).substr(0, 55)}));

  SentenceChunker noSpace = standardChunker();
  EXPECT_EQ(noSpace.push(std::string(80, 'x')), (Chunks{std::string(60, 'x')}));
  EXPECT_EQ(noSpace.buffer(), std::string(20, 'x'));

  // A space too close to the start does not count: hard cut at 60.
  SentenceChunker early = standardChunker();
  const std::string earlySpace = "ab " + std::string(77, 'y');
  EXPECT_EQ(early.push(earlySpace), (Chunks{earlySpace.substr(0, 60)}));

  // A sentence end beyond the first limit does not save the first chunk.
  SentenceChunker late = standardChunker();
  const Chunks chunks = late.push(repeat("word ", 14) + "end. Next");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0], repeat("word ", 11) + "word");
}

TEST(SentenceChunker, LaterChunksKeepWholeSentences) {
  SentenceChunker chunker = standardChunker();
  ASSERT_EQ(chunker.push("First sentence is here. ").size(), 1u);

  const std::string longSentence = repeat("abcd ", 49) + "done.";  // 250 characters
  EXPECT_EQ(chunker.push(longSentence + " Next"), (Chunks{longSentence}));
  EXPECT_EQ(chunker.flush(), (Chunks{"Next"}));

  SentenceChunker run = standardChunker();
  ASSERT_EQ(run.push("First sentence is here. ").size(), 1u);
  const std::string noEnd = repeat("abcd ", 50);  // 250 characters, no terminator
  const Chunks chunks = run.push(noEnd);
  ASSERT_EQ(chunks.size(), 1u);
  // Measured from the buffer start, which holds the space left over from the
  // first chunk: the last space before position 200 is at 195.
  EXPECT_EQ(chunks[0], repeat("abcd ", 38) + "abcd");
}

TEST(SentenceChunker, ColonsNeedFortyCharactersParagraphsDoNot) {
  SentenceChunker shortColon(200, 60, 1);
  EXPECT_EQ(shortColon.push("Note: see below; for details"), Chunks{});

  SentenceChunker longColon = standardChunker();
  const std::string head = "These are the three files that changed:";  // colon at 38
  EXPECT_EQ(longColon.push(head + " main, util and test"), Chunks{});
  SentenceChunker longerColon = standardChunker();
  const std::string longer = "These are the three files that I changed;";  // ends at 41
  EXPECT_EQ(longerColon.push(longer + " main and util"), (Chunks{longer}));

  SentenceChunker paragraph = standardChunker();
  EXPECT_EQ(paragraph.push("Two words\n\nmore text"), Chunks{});
  EXPECT_EQ(paragraph.flush(), (Chunks{"Two words", "more text"}));

  SentenceChunker windows = standardChunker();
  EXPECT_EQ(windows.push("A heading that is long enough\r\n\r\nBody"),
            (Chunks{"A heading that is long enough"}));

  // A colon at the very end never cuts, not even when flushing; the text
  // still comes out whole.
  SentenceChunker trailing = standardChunker();
  EXPECT_EQ(trailing.push("Short. " + repeat("item ", 8) + "are:"), Chunks{});
  EXPECT_EQ(trailing.flush(), (Chunks{"Short.", repeat("item ", 8) + "are:"}));
}

TEST(SentenceChunker, FlushAndReset) {
  SentenceChunker chunker = standardChunker();
  ASSERT_EQ(chunker.push("This is the very first chunk. ").size(), 1u);
  chunker.push("Some words");
  chunker.reset();
  EXPECT_EQ(chunker.buffer(), "");
  EXPECT_FALSE(chunker.hasEmittedFirstChunk());
  // The first-chunk limit applies again.
  EXPECT_EQ(chunker.push(std::string(80, 'z')), (Chunks{std::string(60, 'z')}));
}

TEST(SentenceChunker, CountsCharactersNotBytes) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character
  SentenceChunker emoji = standardChunker();
  EXPECT_EQ(emoji.push(repeat(family, 80)), (Chunks{repeat(family, 60)}));

  const std::string accented = "e\u0301";  // one character, two scalars
  SentenceChunker marks = standardChunker();
  EXPECT_EQ(marks.push(repeat(accented, 61)), (Chunks{repeat(accented, 60)}));
}

TEST(SentenceChunker, SequencesSplitAcrossPiecesSurvive) {
  SentenceChunker chunker = standardChunker();
  EXPECT_EQ(chunker.push("The caf\xC3"), Chunks{});
  EXPECT_EQ(chunker.push("\xA9 on the corner is open. Then"),
            (Chunks{"The caf\u00e9 on the corner is open."}));

  SentenceChunker broken = standardChunker();
  EXPECT_EQ(broken.push("Bad \xFF byte in this sentence. Then"),
            (Chunks{"Bad \uFFFD byte in this sentence."}));
  EXPECT_EQ(broken.push("\xE2\x80"), Chunks{});
  EXPECT_EQ(broken.flush(), (Chunks{"Then\uFFFD"}));

  // A modifier whose bytes arrive in two pieces stays with its emoji even
  // where a hard cut falls.
  SentenceChunker cut(10, 10, 0);
  EXPECT_EQ(cut.push("abcdefghi\U0001F44B\xF0\x9F\x8F"), Chunks{});
  EXPECT_EQ(cut.push("\xBD and more"), (Chunks{"abcdefghi\U0001F44B\U0001F3FD"}));
}

TEST(SentenceChunker, DegenerateLimitsStillMakeProgress) {
  SentenceChunker tiny(0, 0, 0);
  EXPECT_EQ(tiny.maxChunkChars(), 1);
  EXPECT_EQ(tiny.firstChunkMaxChars(), 1);
  EXPECT_EQ(tiny.push("abc"), (Chunks{"a", "b"}));
  EXPECT_EQ(tiny.flush(), (Chunks{"c"}));

  // A space at the very start is no place to cut, even with no minimum.
  SentenceChunker noMinimum(5, 5, 0);
  EXPECT_EQ(noMinimum.push(" abcdefgh"), (Chunks{"abcd"}));
  EXPECT_EQ(noMinimum.flush(), (Chunks{"efgh"}));

  SentenceChunker negative(10, 10, -5);
  EXPECT_EQ(negative.push("Hi. Yo. "), (Chunks{"Hi.", "Yo."}));
}

TEST(SentenceChunker, NoTextIsLostWhateverThePieces) {
  const std::string text =
      "Parley reads the agent's replies aloud. It cuts them at sentence ends, e.g. here. "
      "Numbers like 3.14 and version 2. stay whole: that matters for code. "
      "Caf\u00e9 cr\u00e8me, Stra\u00dfe und Gr\u00fc\u00dfe \U0001F44B\U0001F3FD! "
      "A very long run without any terminator at all goes on and on and on and on and on "
      "and on until the limit forces a cut somewhere sensible\n\nNew paragraph? Yes!!) Done";
  for (const std::size_t pieceSize : {1u, 2u, 3u, 7u, 64u, 1000u}) {
    SentenceChunker chunker(120, 50, 15);
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += pieceSize) {
      for (const auto& chunk : chunker.push(text.substr(at, pieceSize)))
        out += chunk + " ";
    }
    for (const auto& chunk : chunker.flush())
      out += chunk + " ";
    EXPECT_EQ(words(out), words(text)) << "pieces of " << pieceSize;
  }
}

}  // namespace
}  // namespace parley::voice
