#include "platform/loop.h"
#include "watch/core/process.h"

int main(int argc, char** argv) {
    int status = startWatch(argc, argv);
    if (status >= 0) return status;
    loop::run();
}
