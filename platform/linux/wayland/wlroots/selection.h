#pragma once
// What a clipboard offer's types say: whether it has text, and whether it may be read at all.
#include <string>
#include <vector>

namespace selection {

struct Kinds {
    std::vector<std::string> types; // as the pasteboard seam names them
    std::string textType;           // the type to read the text as; "" when none
    bool concealed = false;         // not to be read (a password manager's mark, or doubt)
};

// tooMany: the offer listed more types than were kept, so a mark may be among those left out.
Kinds classify(const std::vector<std::string>& mimes, bool tooMany);

} // namespace selection
