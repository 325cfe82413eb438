#include "watch/core/emit.h"
#include "watch/accessibility/observe.h"

#include <cmath>
#include <mutex>
#include <string>

loop::Queue* outQueue = nullptr;
loop::Queue* axQueue = nullptr;

namespace {
// Hand-overs to outQueue and the closing of the stream exclude each other, so no line can
// follow the last one whichever thread emits it.
std::mutex handOver;
bool streamClosed = false;

void emitRecord(json copy, bool last) {
    if (copy.is_object() && !copy.contains("t")) copy["t"] = millisecondsNow();
    std::string line;
    try {
        line = jsonline::dump(copy);
    } catch (...) {
        return;
    }
    if (line.empty()) return;
    line.push_back('\n');
    std::lock_guard lock(handOver);
    if (streamClosed) return;
    streamClosed = last;
    loop::async(outQueue, [line = std::move(line)] {
        loop::writeStdout(line);
        loop::flushStdout();
    });
}
} // namespace

void makeQueues() {
    if (!outQueue) outQueue = loop::makeSerialQueue("zephrin.watch.out");
    if (!axQueue) axQueue = loop::makeSerialQueue("zephrin.watch.ax");
    std::lock_guard lock(handOver);
    streamClosed = false;
}

long long millisecondsNow() {
    return static_cast<long long>(std::trunc(loop::now() * 1000.0));
}

void emit(json copy) {
    emitRecord(std::move(copy), false);
}

void emitLast(json copy) {
    emitRecord(std::move(copy), true);
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
