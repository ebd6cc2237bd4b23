#pragma once

#include <signal.h>

#include <functional>
#include <string>

// What the window-less hosts share on the terminal: whole lines out, lines in, and a clean stop
// on Ctrl-C or SIGTERM.
namespace tavelin::console {

// One line on stdout (a newline added unless it ends in one), whole and flushed, from any thread.
void writeLine(const std::string& line);

// Blocks SIGINT and SIGTERM for this thread and every thread started afterwards, and ignores
// SIGPIPE: call it first in main, so that only the waiting thread below takes them.
void blockStopSignals();
// Runs `onStop` on a thread of its own when SIGINT or SIGTERM arrives.
void onStopSignal(std::function<void()> onStop);

// Calls `onLine` for every line of stdin, on a thread of its own; the end of input does not stop
// the host (one started without a terminal keeps running).
void readLines(std::function<void(std::string)> onLine);

}  // namespace tavelin::console
