#pragma once
// Signal handling. The installed handler only records the signal (and, for a crash, the return
// addresses of the crashing stack) and wakes a dedicated signal thread; that thread logs, runs
// the application's shutdown and ends the process with the signal number as its status.

#include <cstddef>
#include <string>

namespace rtfwk_sdl2
{
// Installs QuitSignalHandler for SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGFPE, SIGSEGV and
// SIGTERM and starts the signal thread. Safe to repeat.
void RegisterSignalHandlers();
// The installed handler: async-signal-safe. A crash signal does not return to the faulting code.
void QuitSignalHandler(int SigValue);
// The first signal recorded, or 0.
int ReceivedSignal();
// True once a recorded signal is being turned into a shutdown: the process ends with its number.
bool SignalShutdownInProgress();
// The crash addresses captured by the handler (count 0 when none).
size_t CapturedCrashFrames(void** out, size_t max);
// True for the signals that end the application gracefully (1, 2, 3, 15).
bool IsTerminationSignal(int SigValue);
// Ends the process with code after flushing standard output and error.
[[noreturn]] void ExitProcess(int code);

namespace signals_detail
{
// The symbolised form of one return address: "function at file:line" from addr2line, run
// without a shell on the module-relative address; empty when it cannot be resolved.
std::string Symbolise(void* address, const std::string& fallbackModule);
// The module path of a backtrace_symbols line: the text before the first "(" or "[".
std::string ModuleOfSymbolLine(const std::string& line);
} // namespace signals_detail
} // namespace rtfwk_sdl2
