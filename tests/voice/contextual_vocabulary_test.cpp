#include "voice/contextual_vocabulary.hpp"

#include <gtest/gtest.h>

namespace parley::voice {
namespace {

using ContextualVocabulary::candidates;
using ContextualVocabulary::splitIdentifier;
using ContextualVocabulary::terms;
using Terms = std::vector<std::string>;

TEST(ContextualVocabulary, TakesNamesFromPathsAndSkipsCaseInsensitiveRepeats) {
  EXPECT_EQ(terms({"~/code/web-socket-server/", "docs/AppModel.md", "appmodel"}),
            (Terms{"web-socket-server", "web socket server", "AppModel", "App Model"}));
  EXPECT_EQ(terms({"\u00dcberWeg", "\u00fcberweg", "\u00dcBERWEG"}),
            (Terms{"\u00dcberWeg", "\u00dcber Weg"}));
  // Precomposed and decomposed spellings are the same name.
  EXPECT_EQ(terms({"caf\u00e9", "CAFE\u0301"}), (Terms{"caf\u00e9"}));
}

TEST(ContextualVocabulary, StopsAtTheLimit) {
  EXPECT_EQ(terms({"speech_projector", "other"}, 1), (Terms{"speech_projector"}));
  EXPECT_EQ(terms({"speech_projector", "other"}, 3),
            (Terms{"speech_projector", "speech projector", "other"}));
  EXPECT_TRUE(terms({"anything"}, 0).empty());
  EXPECT_TRUE(terms({}).empty());

  std::vector<std::string> many;
  for (int i = 0; i < 500; ++i)
    many.push_back("name" + std::to_string(i) + "x");
  EXPECT_EQ(terms(many).size(), ContextualVocabulary::defaultLimit);
}

TEST(ContextualVocabulary, CandidatesOfOneSource) {
  EXPECT_EQ(candidates("  src/voice/sentence_chunker.cpp \n"),
            (Terms{"sentence_chunker", "sentence chunker"}));
  EXPECT_EQ(candidates("com.ketchworks.parley"), (Terms{"com"}));
  EXPECT_EQ(candidates("README"), (Terms{"README"}));
  EXPECT_EQ(candidates("__init__.py"), (Terms{"__init__", "init"}));
  EXPECT_EQ(candidates(".bashrc"), (Terms{"bashrc"}));
  for (const char* nothing : {"", "   ", "/", "//", "...", "a/...", "--", "_-_", "\U0001F680"}) {
    EXPECT_TRUE(candidates(nothing).empty()) << nothing;
  }
  EXPECT_EQ(candidates("bad\xFF"
                       "Name"),
            (Terms{"bad\uFFFDName"}));
}

TEST(ContextualVocabulary, SplitsIdentifiersIntoSpokenWords) {
  EXPECT_EQ(splitIdentifier("speech_projector"), "speech projector");
  EXPECT_EQ(splitIdentifier("WebSocketServer"), "Web Socket Server");
  EXPECT_EQ(splitIdentifier("v2Config"), "v 2 Config");
  EXPECT_EQ(splitIdentifier("readJSONValue"), "read JSONValue");
  EXPECT_EQ(splitIdentifier("--dry-run__now_"), "dry run now");
  EXPECT_EQ(splitIdentifier("utf8proc"), "utf 8 proc");
  EXPECT_EQ(splitIdentifier("12"), "12");
  EXPECT_EQ(splitIdentifier("a-B"), "a B");
  EXPECT_EQ(splitIdentifier("stra\u00dfeNeu"), "stra\u00dfe Neu");
  EXPECT_EQ(splitIdentifier("\u00e9t\u00e9Fini"), "\u00e9t\u00e9 Fini");
  // A decomposed accent is part of its letter: no split inside it.
  EXPECT_EQ(splitIdentifier("cafe\u0301Bar"), "cafe\u0301 Bar");
  EXPECT_EQ(splitIdentifier(""), "");
}

}  // namespace
}  // namespace parley::voice
