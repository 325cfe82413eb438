#include "common/utf16.h"
#include "tests/frames/namecorpus.h"
#include "watch/frames/names.h"

#include <gtest/gtest.h>
#include <set>

namespace {

struct Score {
    int truePositives = 0, falsePositives = 0, falseNegatives = 0;
    double precision() const { return truePositives / double(truePositives + falsePositives); }
    double recall() const { return truePositives / double(truePositives + falseNegatives); }
};

template <typename Tagger, std::size_t N>
Score score(const Labelled (&set)[N], Tagger tagger, bool report) {
    Score s;
    for (auto& item : set) {
        Names got = tagger(item.text);
        std::set<std::string> want(item.names.begin(), item.names.end());
        std::set<std::string> have(got.begin(), got.end());
        for (auto& n : have)
            (want.count(n) ? s.truePositives : s.falsePositives)++;
        for (auto& n : want)
            s.falseNegatives += have.count(n) ? 0 : 1;
        if (report && have != want) {
            std::string line;
            for (auto& n : got)
                line += "[" + n + "]";
            ADD_FAILURE() << "not as labelled: " << item.text << "\n  found: " << line;
        }
    }
    return s;
}

// What the tagger has to beat clearly: every capitalised word that is not at a sentence start.
Names capitalisedWords(std::string_view text) {
    Names out;
    std::string word;
    bool sentenceStart = true;
    auto flush = [&] {
        if (!word.empty() && std::isupper(static_cast<unsigned char>(word[0])) && !sentenceStart)
            out.push_back(word);
        if (!word.empty()) sentenceStart = false;
        word.clear();
    };
    for (char c : text) {
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '\'' || c == '-') {
            word += c;
            continue;
        }
        flush();
        if (c == '.' || c == '!' || c == '?' || c == '\n' || c == ':') sentenceStart = true;
    }
    flush();
    return out;
}

TEST(PersonalNames, LabelledScreenText) {
    static_assert(std::size(corpus) >= 60);
    bool report = std::getenv("NAMES_REPORT") != nullptr;
    Score ours = score(corpus, personalNames, report);
    Score fresh = score(heldOut, personalNames, report);
    Score snippets = score(screenSnippets, personalNames, report);
    Score baseline = score(corpus, capitalisedWords, false);
    std::cout << "names: precision " << ours.precision() << " recall " << ours.recall()
              << "; held out: precision " << fresh.precision() << " recall " << fresh.recall()
              << "; snippets: precision " << snippets.precision() << " recall " << snippets.recall()
              << "; capitalised words: precision " << baseline.precision() << " recall "
              << baseline.recall() << "\n";
    EXPECT_GE(ours.precision(), 0.90);
    EXPECT_GE(ours.recall(), 0.85);
    EXPECT_GE(fresh.precision(), 0.85);
    EXPECT_GE(fresh.recall(), 0.85);
    EXPECT_GE(snippets.precision(), 0.90);
    EXPECT_GE(snippets.recall(), 0.85);
    EXPECT_LT(baseline.precision(), ours.precision() - 0.3);
}

TEST(PersonalNames, DistinctInOrderAsWritten) {
    EXPECT_EQ(personalNames(""), Names{});
    EXPECT_EQ(personalNames("Call Sarah. Then Tom, then Sarah again, then tom."),
              (Names{"Sarah", "Tom"}));
    // Joined parts keep the spacing and marks they were written with.
    EXPECT_EQ(personalNames("Notes from Anna-Lena\u00a0Müller and Pieter van der Berg's team"),
              (Names{"Anna-Lena\u00a0Müller", "Pieter van der Berg"}));
    EXPECT_EQ(personalNames("Ask Mary Jane Watson, not Mary."),
              (Names{"Mary Jane Watson", "Mary"}));
    // Listed where it first appears, even where that alone would not have made it a name.
    EXPECT_EQ(personalNames("Tom met Priya Raman. Later Tom called Priya."),
              (Names{"Tom", "Priya Raman", "Priya"}));
    // A name never runs across a line break.
    EXPECT_EQ(personalNames("Olivia\nMartinez said"), (Names{"Olivia", "Martinez"}));
}

TEST(PersonalNames, ReadsOnlyTheFirst200000Units) {
    // Each "é" is one UTF-16 unit in two UTF-8 bytes: the cut counts units, not bytes.
    std::string filler;
    for (int i = 0; i < 99995; ++i)
        filler += "é ";
    filler.pop_back(); // 199,989 units
    std::string text = filler + " Eleanor" + std::string(40, ' ') + " Beatrice";
    ASSERT_LE(utf16::count(filler + " Eleanor"), 200000u);
    EXPECT_EQ(personalNames(text), Names{"Eleanor"});
}

} // namespace
