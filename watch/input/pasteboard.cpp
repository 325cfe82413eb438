#include "watch/input/pasteboard.h"
#include "platform/loop.h"
#include "platform/pasteboard.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/input/describe.h"

#include <algorithm>
#include <variant>

long pasteboardCount = 0;

void rememberPasteboardCount() {
    pasteboardCount = pasteboard::changeCount();
}

json focusedDescription(const ax::ElementRef& app) {
    if (!app) return json::object();
    auto value = ax::copyAttribute(app, "AXFocusedUIElement");
    if (!value) return json::object();
    auto* element = std::get_if<ax::ElementRef>(&*value);
    if (!element || !*element) return json::object();
    return describe(*element);
}

namespace {

// How long before a copy a doubt still makes it the doubtful window's: a copy is noticed a
// little after it was made, and a window change a little after it happened.
constexpr double copyMargin = 0.25;

void privateCopy() {
    if (!paused.load()) emit({{"kind", "copy"}, {"private", true}});
}

// What is told of a copy waits for the window's decision; its types and text were taken when it
// happened, while they were this copy's.
void disclose(bool concealed, std::string text) {
    if (holdWhileUndecided([concealed, text] { disclose(concealed, text); }, privateCopy)) return;
    if (paused.load()) return;
    if (!mayDisclose()) return privateCopy();
    if (concealed) {
        emitWith("copy", {{"concealed", true}});
        return;
    }
    loop::async(axQueue, [app = observedApp, hosts = hostsNow(), epoch = windowEpoch.load(),
                          text = std::move(text)]() mutable {
        json element = focusedDescription(app);
        WindowRead check = readFrontWindow(app, hosts);
        // The window turned out private, or changed: only the fact of the copy.
        reportChecked(
            std::move(check), epoch,
            [element, text] {
                // Copied out of a password field or one whose label asks for a secret: the text
                // is that secret, so only the fact of the copy is told.
                if (element.value("secure", false)) {
                    emitWith("copy", {{"concealed", true}});
                    return;
                }
                int hasText = text.empty() ? 0 : 1;
                emitWith("copy", {{"text", text}, {"element", element}, {"has_text", hasText}});
                frameSoon("copy", 0.2);
            },
            privateCopy);
    });
}

void reportCopy() {
    if (currentPrivate && !windowUndecided) return privateCopy();
    auto types = pasteboard::types();
    auto marked = [&](const char* type) {
        return std::find(types.begin(), types.end(), type) != types.end();
    };
    if (marked("org.nspasteboard.ConcealedType") || marked("org.nspasteboard.TransientType"))
        return disclose(true, "");
    disclose(false, clip(pasteboard::plainText(), 20000));
}

} // namespace

void checkPasteboard() {
    long count = pasteboard::changeCount();
    if (count == pasteboardCount) return;
    // Absorbed whatever the state: a copy made while paused is never reported later.
    pasteboardCount = count;
    if (paused.load()) return;
    // The copy was made in the window in front then, and is seen up to half a second later.
    // When the front window was in doubt since shortly before it (another application, a
    // private or undecided window), whose copy it is can't be known: only the fact is told.
    if (doubtAt >= pasteboard::changedAt() - copyMargin) return privateCopy();
    reportCopy();
}
