#pragma once
// One run of act: reads the command line, performs the action, answers, ends the process.
[[noreturn]] void runAct(int argc, char** argv);
