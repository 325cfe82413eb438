#include "act/act.h"

int main(int argc, char** argv) {
    runAct(argc, argv);
}
