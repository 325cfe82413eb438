#include "watch/accessibility/walk.h"
#include "common/utf16.h"
#include "watch/accessibility/notices.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/keep.h"
#include "watch/input/describe.h"

#include <cstdio>

namespace {

constexpr int maxDepth = 40;
constexpr std::uint64_t maxElements = 6000;
constexpr std::size_t maxText = 400000;
constexpr double walkSeconds = 0.3;

bool isOneOf(const std::string& role, std::initializer_list<const char*> roles) {
    for (const char* r : roles)
        if (role == r) return true;
    return false;
}

bool outOfTime(const WalkBudget& budget) {
    return loop::now() > budget.deadline;
}

// The label, or the element's value when it has none (headings and columns).
std::string labelOrValue(const ax::ElementRef& element, const std::string& label) {
    return label.empty() ? str(element, "AXValue").value_or("") : label;
}

void addOutline(const ax::ElementRef& element, const std::string& role, const std::string& label,
                Outline& outline) {
    if (role == "AXHeading") {
        std::string source = labelOrValue(element, label);
        if (!source.empty()) outline.headings.push_back(clip(source, 160));
    } else if (isOneOf(role, {"AXButton", "AXLink"})) {
        if (!label.empty() && outline.buttons.size() < 80)
            outline.buttons.push_back(clip(label, 80));
    } else if (isOneOf(role, {"AXTextField", "AXTextArea", "AXComboBox", "AXPopUpButton",
                              "AXCheckBox"})) {
        if (!label.empty() && outline.fields.size() < 80) outline.fields.push_back(clip(label, 80));
    } else if (isOneOf(role, {"AXColumn", "AXColumnHeader"})) {
        std::string source = labelOrValue(element, label);
        if (!source.empty() && outline.columns.size() < 60)
            outline.columns.push_back(clip(source, 60));
    }
}

void addText(const ax::ElementRef& element, WalkText& text) {
    std::string piece;
    for (const char* name : {"AXValue", "AXTitle", "AXDescription"})
        if (auto s = str(element, name); s && !s->empty()) {
            piece = std::move(*s);
            break;
        }
    if (piece.empty()) return;
    std::string cut = clip(piece, maxText - text.units);
    text.units += utf16::count(cut) + 1;
    text.text += cut;
    text.text += '\n';
}

// Words only: whether a container's own text is already among what its children gave.
std::string words(std::string_view text) {
    std::string out;
    bool gap = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            gap = !out.empty();
            continue;
        }
        if (gap) out += ' ';
        gap = false;
        out += c;
    }
    return out;
}

bool hiddenElement(const ax::ElementRef& element) {
    auto hidden = attr(element, "AXHidden");
    const bool* yes = hidden ? std::get_if<bool>(&*hidden) : nullptr;
    return yes && *yes;
}

// A paragraph, section or page whose text isn't all in children of its own (the words between
// its links, a document's paragraphs) gives its own, ahead of its children's. Its children are
// walked first so what they carry isn't told twice.
void addOwnText(const std::string& own, std::size_t at, WalkText& text) {
    std::string mine = words(own);
    if (mine.empty() || text.units >= maxText) return;
    if (words(std::string_view(text.text).substr(at)).find(mine) != std::string::npos) return;
    std::string cut = clip(mine, maxText - text.units);
    text.units += utf16::count(cut) + 1;
    text.text.insert(at, cut + "\n");
}

// A page whose document shows nothing yet (a browser builds it as the page loads, and may tell
// nothing when it is done) is read again a few times, a little later.
constexpr int pageRereads = 10;
std::string rereadKey;
int rereadsLeft = 0;
loop::TimerRef rereadTimer;

void rereadLoadingPage(const std::string& key) {
    if (key != rereadKey) {
        rereadKey = key;
        rereadsLeft = pageRereads;
    }
    if (rereadsLeft <= 0) return;
    --rereadsLeft;
    if (rereadTimer) loop::cancel(rereadTimer);
    rereadTimer = loop::oneShot(1.0, [] {
        rereadTimer.reset();
        readWindow("later");
    });
}

void textResult(int pid, const std::string& key, const std::string& hash, const std::string& text,
                const Outline& outline, bool partial, bool pageLoading, const WindowRead& check,
                std::uint64_t epoch) {
    // Another application came to the front meanwhile: this text isn't its.
    if (pid != observedPid) return;
    // The text of the window decided at epoch only: a walk is started anew for a later one.
    if (epoch != windowEpoch || !admitted(check, epoch)) return;
    if (pageLoading) rereadLoadingPage(key);
    if (lastTextHash.find(key) == hash) return;
    lastTextHash.put(key, hash);
    double now = loop::now();
    lastContentChangeAt = now;
    emitWith("text", {{"hash", hash},
                      {"text", text},
                      {"outline",
                       {{"headings", outline.headings},
                        {"buttons", outline.buttons},
                        {"fields", outline.fields},
                        {"columns", outline.columns}}},
                      {"readable", text.empty() ? 0 : 1},
                      {"partial", partial}});
    if (text.empty())
        askFrame("no_text", 0.7);
    else if (now - lastFrameAt > 60)
        askFrame("quiet", 0.7);
}

} // namespace

std::string textHash(std::string_view text) {
    std::uint64_t h = 0x14650FB0739D0383ULL;
    for (unsigned char byte : text) {
        h ^= byte;
        h *= 0x100000001B3ULL;
    }
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

void walkText(const ax::ElementRef& element, int depth, WalkBudget& budget, WalkText& text,
              Outline& outline) {
    if (depth > maxDepth || !element || budget.count >= maxElements || text.units >= maxText ||
        outOfTime(budget))
        return;
    ++budget.count;
    // What isn't on screen (an unselected page, a widget never shown) isn't read, nor listed.
    if (depth > 0 && hiddenElement(element)) return;
    std::string role = str(element, "AXRole").value_or("");
    std::string label = labelOf(element);
    bool secure = secureField(element, label);
    addOutline(element, role, label, outline);
    // A secret field's label may be listed; its text and everything below it never are.
    if (secure) return;
    std::string own;
    if (isOneOf(role,
                {"AXStaticText", "AXTextField", "AXTextArea", "AXCell", "AXHeading", "AXLink"}))
        addText(element, text);
    else if (isOneOf(role, {"AXGroup", "AXWebArea"}))
        own = str(element, "AXValue").value_or("");
    std::size_t at = text.text.size();
    std::size_t unitsBefore = text.units;
    if (auto children = attr(element, "AXChildren"))
        if (auto* list = std::get_if<std::vector<ax::ElementRef>>(&*children))
            for (const ax::ElementRef& child : *list) {
                if (text.units >= maxText || outOfTime(budget)) break;
                walkText(child, depth + 1, budget, text, outline);
            }
    addOwnText(own, at, text);
    if (role == "AXWebArea") {
        text.page = true;
        text.pageText = text.pageText || text.units > unitsBefore;
    }
}

void walkWindow(ax::ElementRef window, ax::ElementRef app, Hosts hosts, std::uint64_t epoch,
                int pid, std::string key) {
    WalkText text;
    Outline outline;
    WalkBudget budget{loop::now() + walkSeconds, 0};
    walkText(window, 0, budget, text, outline);
    bool partial = budget.count >= maxElements || outOfTime(budget);
    std::string hash = textHash(text.text);
    window.reset();
    WindowRead check = readFrontWindow(app, hosts);
    app.reset();
    bool pageLoading = text.page && !text.pageText;
    loop::onMain(
        [key = std::move(key), hash = std::move(hash), text = std::move(text.text),
         outline = std::move(outline), partial, pageLoading, pid, check = std::move(check),
         epoch] { textResult(pid, key, hash, text, outline, partial, pageLoading, check, epoch); });
}
