// The standard streams, the null device, and the process's limit on open files.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavorin {

#ifdef _WIN32
inline constexpr char kNullDevice[] = "NUL";
#else
inline constexpr char kNullDevice[] = "/dev/null";
#endif

// Raises the soft limit on open descriptors to the hard limit, since every client of the
// relay costs one. Does nothing where there is no such limit.
void RaiseOpenFileLimit();

// Opens each of the standard descriptors 0, 1 and 2 that is closed on the null device, so that
// no socket or file made later takes its number (and is then closed by whatever handles that
// stream), and has a write to a stream whose reader has gone fail instead of ending the
// process. Call before anything else is opened.
void PrepareStandardStreams();

// Makes the file at `path` the process's standard output, created or emptied (or, with
// `append`, added to), after flushing what was written before. Never waits: a named pipe that
// nobody reads fails at once. Returns nothing when done, else why not; standard output then
// goes to the null device.
std::optional<std::string> RedirectStandardOutput(const std::string& path, bool append = false);

// Writes `text` to standard output as far as it goes without waiting (a pipe nobody empties
// takes nothing, a full disk takes what it can); returns the bytes written. While standard
// output is the null device in place of a file that RedirectStandardOutput could not open, it
// takes nothing: what was meant for that file is kept by the caller, not thrown away.
size_t WriteStandardOutputNow(std::string_view text);

// Whether a line written to standard error now would go out without waiting: false while it
// is a pipe that nobody empties.
bool StandardErrorReady();

// Writes `line` and a line end to standard error, once StandardErrorReady() has said yes.
void WriteStandardErrorLine(std::string_view line);

// Gives the lines written so far up to `limit` to reach standard error, where another thread
// writes them; returns at once where they went out as they were written.
void FlushStandardError(std::chrono::milliseconds limit);

}  // namespace tavorin
