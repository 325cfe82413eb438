#include "watch/frames/names.h"
#include "common/utf16.h"
#include "watch/frames/namedata.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unordered_map>
#include <unordered_set>

namespace {

using Words = std::unordered_set<std::string>;

constexpr std::size_t maxUnits = 200000;

std::string fold(const icu::UnicodeString& text) {
    std::string out;
    icu::UnicodeString(text).toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

std::string fold(std::string_view utf8) {
    bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
    if (!ascii) return fold(icu::UnicodeString::fromUTF8(utf8));
    std::string out(utf8);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void addLines(Words& words, const char* list) {
    std::string_view rest(list);
    while (!rest.empty()) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (!line.empty()) words.insert(fold(line));
    }
}

Words wordsOf(std::initializer_list<const char*> list) {
    Words words;
    for (const char* w : list)
        words.insert(w);
    return words;
}

struct Lists {
    Words given, family, places, common;
    // Short lists of what is written with a capital but names no person.
    Words months =
        wordsOf({"january",   "february", "march",    "april",    "may",  "june", "july", "august",
                 "september", "october",  "november", "december", "jan",  "feb",  "mar",  "apr",
                 "jun",       "jul",      "aug",      "sep",      "sept", "oct",  "nov",  "dec"});
    Words weekdays =
        wordsOf({"monday", "tuesday", "wednesday", "thursday", "friday",   "saturday", "sunday",
                 "mon",    "tue",     "tues",      "wed",      "thu",      "thur",     "thurs",
                 "fri",    "sat",     "sun",       "today",    "tomorrow", "yesterday"});
    Words titles = wordsOf({"mr",        "mrs",     "ms",    "miss",  "mx",  "dr",   "prof",
                            "professor", "sir",     "dame",  "madam", "mme", "mlle", "herr",
                            "frau",      "rev",     "capt",  "col",   "gen", "sgt",  "lt",
                            "president", "senator", "judge", "coach"});
    Words suffixes = wordsOf({"jr", "sr", "ii", "iii", "iv", "phd", "md", "esq"});
    Words greetings = wordsOf({"hi",
                               "hello",
                               "hey",
                               "dear",
                               "thanks",
                               "thank",
                               "thx",
                               "cheers",
                               "bye",
                               "congrats",
                               "congratulations",
                               "welcome",
                               "morning",
                               "afternoon",
                               "evening",
                               "night",
                               "cc",
                               "ping",
                               "ask",
                               "love"});
    Words verbs = wordsOf(
        {"said",      "says",      "wrote",     "writes",   "replied",  "replies", "asked",
         "asks",      "commented", "mentioned", "shared",   "sent",     "added",   "invited",
         "joined",    "reacted",   "liked",     "edited",   "changed",  "removed", "created",
         "assigned",  "approved",  "reviewed",  "accepted", "declined", "called",  "texted",
         "posted",    "uploaded",  "updated",   "thinks",   "thought",  "told",    "wants",
         "will",      "would",     "can",       "could",    "has",      "had",     "agreed",
         "suggested", "signed"});
    Words organisations = wordsOf({"inc",
                                   "corp",
                                   "corporation",
                                   "co",
                                   "company",
                                   "llc",
                                   "llp",
                                   "ltd",
                                   "limited",
                                   "plc",
                                   "gmbh",
                                   "ag",
                                   "sa",
                                   "bv",
                                   "nv",
                                   "group",
                                   "bank",
                                   "university",
                                   "college",
                                   "institute",
                                   "school",
                                   "hospital",
                                   "foundation",
                                   "labs",
                                   "lab",
                                   "technologies",
                                   "technology",
                                   "systems",
                                   "solutions",
                                   "partners",
                                   "associates",
                                   "capital",
                                   "holdings",
                                   "ventures",
                                   "studios",
                                   "studio",
                                   "media",
                                   "consulting",
                                   "airlines",
                                   "airways",
                                   "motors",
                                   "pharmaceuticals",
                                   "industries",
                                   "international",
                                   "global",
                                   "services",
                                   "software",
                                   "press",
                                   "publishing",
                                   "records",
                                   "entertainment",
                                   "agency",
                                   "council",
                                   "committee",
                                   "department",
                                   "ministry",
                                   "club",
                                   "church",
                                   "center",
                                   "centre",
                                   "museum",
                                   "library",
                                   "hotel",
                                   "restaurant",
                                   "cafe",
                                   "street",
                                   "st",
                                   "avenue",
                                   "ave",
                                   "road",
                                   "rd",
                                   "boulevard",
                                   "blvd",
                                   "square",
                                   "station",
                                   "airport",
                                   "bridge",
                                   "river",
                                   "hall",
                                   "building",
                                   "tower",
                                   "gallery",
                                   "theatre",
                                   "theater",
                                   "stadium",
                                   "arena",
                                   "mall"});
    Words placePrefixes =
        wordsOf({"st",    "saint", "san",   "santa", "santo", "são",   "fort",  "port",
                 "mount", "mt",    "lake",  "new",   "los",   "las",   "el",    "la",
                 "le",    "north", "south", "east",  "west",  "upper", "lower", "cape"});
    Words products =
        wordsOf({"inbox",   "outbox",   "drafts",    "settings", "preferences", "dashboard",
                 "login",   "logout",   "signup",    "username", "password",    "email",
                 "gmail",   "slack",    "zoom",      "teams",    "chrome",      "safari",
                 "firefox", "finder",   "outlook",   "excel",    "powerpoint",  "docs",
                 "sheets",  "github",   "gitlab",    "jira",     "confluence",  "figma",
                 "notion",  "trello",   "asana",     "spotify",  "whatsapp",    "telegram",
                 "discord", "linkedin", "facebook",  "twitter",  "instagram",   "youtube",
                 "google",  "apple",    "microsoft", "amazon",   "netflix",     "uber",
                 "iphone",  "ipad",     "mac",       "macbook",  "windows",     "linux",
                 "android", "alexa",    "siri",      "cortana",  "ok"});
    // Makers whose names are also given or family names: a name only with a cue or a second part.
    Words brands =
        wordsOf({"mercedes", "tesla",  "ford",   "porsche",  "ferrari", "lincoln", "dell",
                 "chanel",   "dior",   "gucci",  "disney",   "boeing",  "philips", "siemens",
                 "bosch",    "nokia",  "oracle", "adobe",    "jaguar",  "harley",  "wendy",
                 "dominos",  "mattel", "hilton", "marriott", "kia"});
    Words particles = wordsOf({"van", "von",   "de",  "der", "den", "da",  "di",  "du",
                               "del", "della", "des", "la",  "le",  "bin", "ibn", "al",
                               "el",  "ter",   "ten", "zu",  "dos", "das", "do",  "y"});
    std::size_t longestPlace = 1; // in words

    Lists() {
        addLines(given, givenNameList);
        addLines(family, familyNameList);
        addLines(places, placeNameList);
        addLines(common, commonWordList);
        for (auto& p : places)
            longestPlace =
                std::max<std::size_t>(longestPlace, 1 + std::count(p.begin(), p.end(), ' '));
        // Pronouns and single letters are words, not names, whatever the lists hold.
        for (const char* w : {"i", "a", "o", "u"})
            given.erase(w);
    }
};

const Lists& lists() {
    static const Lists instance;
    return instance;
}

enum class Part {
    given,           // a given name and nothing else
    givenAmbiguous,  // a given name that is also a word, a month or a place
    family,          // a family name and nothing else
    familyAmbiguous, // a family name that is also a word or a place
    initial,         // "J." or a lone capital inside a name
    unknown,         // capitalised, in no list and no word: a name of some kind
    common,          // a common word, which may still be a family name after a given name
    particle,        // "van", "de", between parts of a name
    other,           // never part of a person's name
};

struct Token {
    int32_t start = 0, end = 0; // UTF-16 offsets; end excludes a possessive "'s"
    std::string key;            // folded
    bool capital = false;
    bool sentenceStart = false;
    bool joinsPrevious = false; // only spaces, a hyphen or an initial's dot since the last token
    bool afterAmpersand = false;
    bool afterAt = false;
    bool beforeColon = false; // "Alex: are we still on?"
    bool shouting = false;    // in a line of capitals only: "JOHN DOE — SENIOR ACCOUNTANT"
    bool whispering = false;  // in a line without capitals: "me and dave are heading out"
    Part part = Part::other;
    bool place = false, month = false;
};

bool isHorizontalSpace(char16_t c) {
    return c == ' ' || c == '\t' || c == 0xA0 || c == 0x202F;
}

// Reads the tokens with their capitalisation and what separates them.
std::vector<Token> tokenize(const icu::UnicodeString& text) {
    std::vector<Token> tokens;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> words(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return tokens;
    words->setText(text);
    int32_t previousEnd = 0;
    bool previousInitialOrTitle = false;
    for (int32_t start = words->first(), end = words->next(); end != icu::BreakIterator::DONE;
         start = end, end = words->next()) {
        if (words->getRuleStatus() < UBRK_WORD_NONE_LIMIT) continue;
        Token t;
        t.start = start;
        t.end = end;
        // The word iterator keeps a mention's "@" with the word.
        while (t.start + 1 < end && text[t.start] == '@') {
            ++t.start;
            t.afterAt = true;
        }
        // A possessive ending is no part of the name.
        if (end - start > 2 && (text[end - 1] == 's' || text[end - 1] == 'S') &&
            (text[end - 2] == '\'' || text[end - 2] == 0x2019))
            t.end = end - 2;
        icu::UnicodeString word(text, t.start, t.end - t.start);
        UChar32 first = word.char32At(0);
        bool letters = true, lower = false;
        for (int32_t i = 0; i < word.length(); i = word.moveIndex32(i, 1)) {
            UChar32 c = word.char32At(i);
            if (u_islower(c)) lower = true;
            if (!u_isalpha(c) && c != '\'' && c != 0x2019) letters = false;
        }
        t.capital =
            letters && (u_isupper(first) || u_istitle(first)) && (lower || word.countChar32() == 1);
        t.key = fold(word);

        icu::UnicodeString gap(text, previousEnd, t.start - previousEnd);
        // One space joins; wider gaps separate the columns of a screen.
        bool oneSpace = gap.length() == 1 && isHorizontalSpace(gap[0]), breaks = tokens.empty();
        for (int32_t i = 0; i < gap.length(); ++i) {
            char16_t c = gap[i];
            if (c == '\n' || c == '\r' || c == ':' || c == '!' || c == '?' || c == 0x2026 ||
                c == 0x2022 || c == '|' || c == ';' || c == '\t')
                breaks = true;
            if (c == '.' && !(previousInitialOrTitle && i == 0)) breaks = true;
            if (c == '&' || c == '+') t.afterAmpersand = true;
        }
        if (gap.length() > 0 && gap[gap.length() - 1] == '@') t.afterAt = true;
        if (!tokens.empty() && gap.length() > 0 && gap[0] == ':') tokens.back().beforeColon = true;
        bool hyphen = gap.length() == 1 && (gap[0] == '-' || gap[0] == 0x2010);
        bool initialDot = previousInitialOrTitle && gap.length() >= 1 && gap[0] == '.' &&
                          (gap.length() == 1 || isHorizontalSpace(gap[1])) && gap.length() <= 2;
        t.joinsPrevious = !tokens.empty() && (oneSpace || hyphen || initialDot);
        t.sentenceStart = breaks && !t.joinsPrevious;

        const Lists& l = lists();
        previousInitialOrTitle = (t.capital && word.countChar32() == 1) || l.titles.count(t.key);
        previousEnd = end;
        tokens.push_back(std::move(t));
    }
    return tokens;
}

// Marks the tokens of lines written all in capitals (headings) or all in lower case (chat),
// where capitals say nothing about names.
void markLineCase(std::vector<Token>& tokens, const icu::UnicodeString& text) {
    std::size_t first = 0;
    int32_t lineStart = 0;
    while (first < tokens.size()) {
        int32_t lineEnd = text.indexOf(static_cast<char16_t>('\n'), tokens[first].start);
        if (lineEnd < 0) lineEnd = text.length();
        std::size_t last = first;
        while (last < tokens.size() && tokens[last].start < lineEnd)
            ++last;
        bool upper = false, lower = false;
        for (int32_t i = lineStart; i < lineEnd; ++i) {
            upper = upper || u_isupper(text[i]);
            lower = lower || u_islower(text[i]);
        }
        std::size_t words = 0;
        for (std::size_t i = first; i < last; ++i)
            words += tokens[i].end - tokens[i].start > 1;
        for (std::size_t i = first; i < last; ++i) {
            Token& t = tokens[i];
            t.shouting = upper && !lower && words >= 2;
            t.whispering = lower && !upper && words >= 3;
            if (!t.shouting || t.capital || t.end - t.start < 2 || lists().particles.count(t.key))
                continue;
            bool letters = true;
            for (int32_t c = t.start; c < t.end; ++c)
                letters = letters && (u_isalpha(text[c]) || text[c] == '\'' || text[c] == 0x2019);
            t.capital = letters;
        }
        first = last;
        lineStart = lineEnd + 1;
    }
}

void classify(std::vector<Token>& tokens, const icu::UnicodeString& text) {
    const Lists& l = lists();
    // Places of several words ("San Francisco", "New York") are marked before single words.
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!tokens[i].capital) continue;
        std::string joined = tokens[i].key;
        for (std::size_t j = i + 1; j < tokens.size() && j - i < l.longestPlace; ++j) {
            if (!tokens[j].joinsPrevious || !tokens[j].capital) break;
            joined += ' ' + tokens[j].key;
            if (l.places.count(joined))
                for (std::size_t k = i; k <= j; ++k)
                    tokens[k].place = true;
        }
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        Token& t = tokens[i];
        const std::string& k = t.key;
        if (!t.capital) {
            t.part = l.particles.count(k) ? Part::particle : Part::other;
            continue;
        }
        if (t.end - t.start == 1) {
            // "J." or "F" between parts of a name; "I" alone is the pronoun.
            bool dot = t.end < text.length() && text[t.end] == '.';
            t.part = dot || (k != "i" && i + 1 < tokens.size() && tokens[i + 1].joinsPrevious)
                         ? Part::initial
                         : Part::other;
            continue;
        }
        t.month = l.months.count(k) > 0;
        t.place = t.place || l.places.count(k) > 0;
        bool given = l.given.count(k) > 0, family = l.family.count(k) > 0;
        bool common = l.common.count(k) > 0 || l.brands.count(k) > 0;
        bool never = l.weekdays.count(k) || l.titles.count(k) || l.suffixes.count(k) ||
                     l.greetings.count(k) || l.organisations.count(k) || l.products.count(k) ||
                     l.placePrefixes.count(k);
        if (never)
            t.part = Part::other;
        else if (given)
            t.part = common || t.place || t.month ? Part::givenAmbiguous : Part::given;
        else if (family)
            t.part = common || t.place ? Part::familyAmbiguous : Part::family;
        else if (t.place || t.month)
            t.part = Part::other;
        else if (common)
            t.part = Part::common;
        else
            t.part = Part::unknown;
        // Headings are full of acronyms and words no list knows; there only the lists vouch.
        if (t.shouting && t.part == Part::unknown) t.part = Part::familyAmbiguous;
    }
}

bool isGivenLike(Part p) {
    return p == Part::given || p == Part::givenAmbiguous || p == Part::initial;
}
bool isNamePart(Part p) {
    return p != Part::common && p != Part::other && p != Part::particle;
}
bool isSure(Part p) {
    return p == Part::given || p == Part::family || p == Part::unknown || p == Part::initial;
}

struct Found {
    int32_t start, end;
};

// A candidate span of tokens [first, last] inside one run of capitalised words.
struct Span {
    std::size_t first, last;
    std::size_t lead; // first, or the particles before it after a title: "Ms. van der Berg"
};

// A given name as chat writes it, in lower case: only one that is no word of any other kind.
bool isChatName(const Token& t) {
    const Lists& l = lists();
    const std::string& k = t.key;
    return t.whispering && !t.capital && l.given.count(k) && !l.common.count(k) &&
           !l.places.count(k) && !l.particles.count(k) && !l.months.count(k) &&
           !l.weekdays.count(k) && !l.greetings.count(k) && !l.products.count(k) &&
           !l.brands.count(k) && !l.titles.count(k) && !l.placePrefixes.count(k) &&
           !l.organisations.count(k) && !l.verbs.count(k) && k.size() > 2;
}

} // namespace

std::vector<std::string> personalNames(std::string_view utf8) {
    std::vector<std::string> out;
    if (utf8.empty()) return out;
    std::string cut = utf16::cut(utf8, maxUnits);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(cut);
    std::vector<Token> tokens = tokenize(text);
    markLineCase(tokens, text);
    classify(tokens, text);
    const Lists& l = lists();

    std::vector<Found> found;
    std::vector<std::size_t> doubtful; // single words kept back unless a full name vouches
    Words parts;                       // words of the full names found
    Words alone;                       // single-word names found

    auto lowerAt = [&](std::size_t i) -> const std::string* {
        return i < tokens.size() && !tokens[i].capital ? &tokens[i].key : nullptr;
    };
    auto sureGiven = [&](std::size_t i) {
        return i < tokens.size() && tokens[i].capital && tokens[i].part == Part::given;
    };
    auto besideName = [&](Span s) {
        auto joiner = [&](std::size_t i) {
            const std::string* w = lowerAt(i);
            return w && (*w == "and" || *w == "or");
        };
        return (joiner(s.last + 1) && sureGiven(s.last + 2)) ||
               (s.first >= 2 && joiner(s.first - 1) && sureGiven(s.first - 2));
    };
    auto decide = [&](Span s, std::size_t runFirst, std::size_t runLast) {
        const Token& head = tokens[s.first];
        const Token* before = s.lead > 0 ? &tokens[s.lead - 1] : nullptr;
        bool titled = before && l.titles.count(before->key) && before->capital &&
                      tokens[s.lead].joinsPrevious;
        bool greeted = before && l.greetings.count(before->key) && !head.sentenceStart;
        bool mention = head.afterAt;
        std::size_t next = s.last + 1;
        bool told = false;
        if (const std::string* w = lowerAt(next)) {
            told = l.verbs.count(*w) > 0;
            if (*w == "is" || *w == "was")
                if (const std::string* w2 = lowerAt(next + 1)) told = *w2 == "typing";
        }
        bool company = head.afterAmpersand ||
                       (next < tokens.size() && tokens[next].afterAmpersand) ||
                       (next <= runLast && l.organisations.count(tokens[next].key)) ||
                       (s.first > runFirst && tokens[s.first - 1].capital &&
                        l.placePrefixes.count(tokens[s.first - 1].key));
        if (company) return;
        // A chat speaker: a known name opening a line, followed by a colon.
        bool speaker =
            head.sentenceStart && tokens[s.last].beforeColon && head.part != Part::unknown;
        bool cued = titled || greeted || mention || told || speaker;
        std::size_t count = 0;
        bool sure = false, allSure = true, place = false;
        for (std::size_t i = s.first; i <= s.last; ++i) {
            if (tokens[i].part == Part::particle) continue;
            ++count;
            sure = sure || isSure(tokens[i].part);
            allSure = allSure && isSure(tokens[i].part);
            place = place || tokens[i].place;
        }
        const Part last = tokens[s.last].part;
        bool accept = false;
        if (count >= 2) {
            // Several words of no other kind are a name the lists do not know: "Hiroshi Tanaka".
            // A heading's given name and surname may both be words too: "JOHN DOE".
            accept = last != Part::initial &&
                     ((isGivenLike(head.part) && (sure || (head.shouting && !place))) || allSure ||
                      titled || (cued && !place));
        } else {
            switch (head.part) {
            case Part::given:
                accept = true;
                break;
            case Part::givenAmbiguous:
                // A given name that is also a place is a person when spoken to, when it
                // speaks, or beside another person's name: "Sofia and Marco".
                accept = titled || speaker || (cued && !place) ||
                         ((greeted || told) && !head.month) || besideName(s) ||
                         (!head.sentenceStart && runFirst == runLast && !head.month && !head.place);
                break;
            case Part::family:
                accept = cued || (!head.sentenceStart && runFirst == runLast);
                break;
            case Part::familyAmbiguous:
            case Part::unknown:
                accept = titled || (cued && !place);
                break;
            default:
                break;
            }
        }
        if (accept) {
            found.push_back({tokens[s.lead].start, tokens[s.last].end});
            if (count >= 2)
                for (std::size_t i = s.first; i <= s.last; ++i)
                    parts.insert(tokens[i].key);
            else
                alone.insert(head.key);
        } else if (count == 1 && head.part != Part::initial) {
            doubtful.push_back(s.first);
        }
    };

    for (const Token& t : tokens)
        if (isChatName(t)) {
            found.push_back({t.start, t.end});
            alone.insert(t.key);
        }

    // Runs: capitalised words (and particles between them) joined by spaces, hyphens or dots
    // of initials; names never cross a sentence or a line.
    for (std::size_t i = 0; i < tokens.size();) {
        if (!tokens[i].capital) {
            ++i;
            continue;
        }
        // A capitalised word that opens a sentence says nothing; the run starts after it.
        if (tokens[i].sentenceStart &&
            (tokens[i].part == Part::common || tokens[i].part == Part::other) &&
            i + 1 < tokens.size() && tokens[i + 1].joinsPrevious && tokens[i + 1].capital) {
            ++i;
        }
        std::size_t runLast = i;
        for (;;) {
            std::size_t next = runLast + 1;
            while (next < tokens.size() && tokens[next].joinsPrevious &&
                   tokens[next].part == Part::particle)
                ++next;
            if (next >= tokens.size() || !tokens[next].joinsPrevious || !tokens[next].capital)
                break;
            runLast = next;
        }
        // Spans of name parts inside the run.
        for (std::size_t j = i; j <= runLast;) {
            if (!isNamePart(tokens[j].part)) {
                ++j;
                continue;
            }
            std::size_t k = j;
            for (;;) {
                std::size_t next = k + 1;
                while (next <= runLast && tokens[next].part == Part::particle)
                    ++next;
                if (next > runLast || !isNamePart(tokens[next].part)) break;
                k = next;
            }
            // A common word ending the run after a given name is a family name: "Emma Stone".
            if (k + 1 == runLast && tokens[runLast].part == Part::common &&
                (tokens[j].part == Part::given ||
                 (tokens[j].shouting && tokens[j].part == Part::givenAmbiguous)))
                ++k;
            std::size_t lead = j;
            while (lead > i + 1 && tokens[lead - 1].part == Part::particle)
                --lead;
            if (lead == j || !l.titles.count(tokens[lead - 1].key)) lead = j;
            decide({j, k, lead}, i, runLast);
            j = k + 1;
        }
        i = runLast + 1;
    }
    // A word found as a name elsewhere in the text, alone or in a full name, names the same
    // person here too; so a name is listed where it first appears, even where that alone was
    // not enough ("Tom met Priya. Later Tom called.").
    for (std::size_t i : doubtful)
        if (parts.count(tokens[i].key) || alone.count(tokens[i].key))
            found.push_back({tokens[i].start, tokens[i].end});

    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.start < b.start; });
    std::unordered_set<std::string> seen;
    for (const Found& f : found) {
        std::string name;
        icu::UnicodeString(text, f.start, f.end - f.start).toUTF8String(name);
        if (seen.insert(name).second) out.push_back(std::move(name));
    }
    return out;
}
