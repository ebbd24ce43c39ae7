// Whether standard output is a terminal a person watches (then a tool may
// rewrite one progress line) or a file or pipe (then it writes plain lines),
// and Ctrl-C for a tool that must finish what it has started.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace kestrio::cli {

bool StdoutIsTerminal();

// Writes UTF-8 `text` to `stream` (stdout or stderr) and flushes it.  A
// Windows console is given UTF-16, so that names beyond ASCII show as they
// are whatever its code page; a file or a pipe gets the UTF-8 bytes.
void WriteText(std::FILE* stream, std::string_view text);

// Whether a table may be redrawn in place with escape sequences: a terminal
// on Linux; never on Windows, whose Windows 7 console has none (the tool
// writes plain lines there).
bool StdoutRedrawsInPlace();

// Each Ctrl-C (SIGINT; the console's Ctrl-C or Ctrl-Break) adds one to
// `*presses` instead of ending the program.  What a press does is the
// command's: its poll loop looks, tells what the machines do from then on,
// and stops, waits or ends (EndInterrupted).
void CatchInterrupt(std::atomic<int>* presses);

// Writes `line` and a newline to standard error and ends the program at
// once with status 130, as a shell reports a Ctrl-C, while other threads
// still wait on their machines.
[[noreturn]] void EndInterrupted(const std::string& line);
// Ends the process with `status` now: no static destructor runs while other
// threads still use what they would destroy (_exit; on Windows ExitProcess,
// which Windows 7's CRT import list keeps to).
[[noreturn]] void ExitAtOnce(int status);

// A thread whose system calls Ctrl-C does not cut short: on Linux the signal
// is blocked in it (and in the threads it starts), so a socket wait with a
// time-out is not ended early by it.  When the system makes no thread, the
// body runs on the calling thread and the thread returned is not joinable.
std::thread StartShieldedThread(std::function<void()> body);

// Runs `work` on a thread of its own (StartShieldedThread) and calls
// `meanwhile` on this one every `pause` until `work` has returned; the
// commands' one way of working while they show progress (change, fleet
// change, discover).  What `work` hands to `meanwhile` goes through state
// both may touch (atomics, a lock); what `work` leaves is the caller's once
// RunWatched returns.  When the system made no thread, `work` has run on
// this one already and nothing is joined.
void RunWatched(const std::function<void()>& work, const std::function<void()>& meanwhile,
                std::chrono::milliseconds pause);

}  // namespace kestrio::cli
