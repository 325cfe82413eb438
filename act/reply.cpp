#include "act/reply.h"
#include "platform/loop.h"
#include "platform/post.h"

#include <cmath>
#include <cstdlib>

int only = 0;
int argc_ = 0;
std::vector<std::string> argv_;

void reply(const json& object, int status) {
    // Whatever the answer, a borrowed key mapping is given back before it is written.
    post::finish();
    answerWithoutPosting(object, status);
}

void answerWithoutPosting(const json& object, int status) {
    std::string line;
    try {
        line = jsonline::dump(object);
    } catch (...) {
        line = "{}";
    }
    line += '\n';
    loop::writeStdout(line);
    loop::flushStdout();
    loop::exitProcess(status);
}

void fail(const std::string& message) {
    reply({{"ok", false}, {"error", message}}, 2);
}

double number(int position) {
    if (position >= argc_) fail("Invalid coordinate.");
    const char* word = argv_[static_cast<std::size_t>(position)].c_str();
    char* end = nullptr;
    double value = std::strtod(word, &end);
    if (end == word || *end != '\0' || !std::isfinite(value) || value < 0 || value > 100000)
        fail("Invalid coordinate.");
    return value;
}
