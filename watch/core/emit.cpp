#include "watch/core/emit.h"
#include "watch/accessibility/observe.h"

#include <cmath>
#include <string>

loop::Queue* outQueue = nullptr;
loop::Queue* axQueue = nullptr;

void makeQueues() {
    if (!outQueue) outQueue = loop::makeSerialQueue("zephrin.watch.out");
    if (!axQueue) axQueue = loop::makeSerialQueue("zephrin.watch.ax");
}

long long millisecondsNow() {
    return static_cast<long long>(std::trunc(loop::now() * 1000.0));
}

void emit(json copy) {
    if (copy.is_object() && !copy.contains("t")) copy["t"] = millisecondsNow();
    std::string line;
    try {
        line = jsonline::dump(copy);
    } catch (...) {
        return;
    }
    if (line.empty()) return;
    line.push_back('\n');
    loop::async(outQueue, [line = std::move(line)] {
        loop::writeStdout(line);
        loop::flushStdout();
    });
}

void emitWith(std::string_view kind, const json& fields) {
    json record = {{"app", currentApp},
                   {"bundle", currentBundle},
                   {"window", currentWindow},
                   {"url", currentUrl}};
    record["kind"] = kind;
    if (fields.is_object())
        for (auto& [key, value] : fields.items())
            record[key] = value;
    emit(std::move(record));
}
