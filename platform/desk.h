// What kestrio-dnc, the client on the engineer's desk, needs from the
// operating system besides sockets (net.h, which also resolves names): its
// command line in UTF-8, its own files (not a simulated machine's) read and
// replaced whole by UTF-8 names, and many worker threads with small stacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::platform::desk {

// ---- Command line --------------------------------------------------------

// The program's arguments in UTF-8, its own name first.  On Windows they are
// taken from the UTF-16 command line: argv holds them in the ANSI code page,
// which cannot carry every name (C:\Berichte\März is one it can, a Polish
// or Czech folder often is not).  Elsewhere argv as it is.
std::vector<std::string> Arguments(int argc, char** argv);

// ---- Files ---------------------------------------------------------------

enum class FileRead { Read, Missing, Failed };

// Reads the whole file at `path` (UTF-8) into `bytes`, at most `limit` bytes.
// Missing when there is no such file (then `error` says so too); Failed with
// `error` set to the reason ("is a folder", the system's text, "larger than
// 256 MiB").
FileRead ReadWholeFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& error);

// Deletes the file at `path` (UTF-8); false when it could not.
bool RemoveFile(const std::string& path);

// Replaces the file at `path` (UTF-8) with `bytes`: written to PATH.tmp in
// the same folder, flushed to the disk, then renamed over the old file, so
// that a reader, a crash or a power cut finds the old content or the new,
// never a part.  False with `error` set; the old file is then untouched.
bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string& error);

// Whether two paths name one existing file.
bool SameFile(const std::string& a, const std::string& b);

// `path` (UTF-8) taken against the working folder, so that a record that
// keeps it can be read from any other folder; `path` as it is when it is
// already absolute or the working folder cannot be known.  The file need
// not exist; links are not followed.
std::string AbsolutePath(const std::string& path);

// ---- Threads -------------------------------------------------------------

// The stack each worker reserves.  A 32-bit Windows process reserves 2 MiB
// per thread unless told otherwise: a thousand of them would not fit its
// 2 GiB of address space.
constexpr std::size_t kWorkerStack = 256 * 1024;

// Runs `body` on `count` threads at once: the calling thread and count - 1
// new ones with `stackBytes` of stack each, and returns when all have
// returned.  A thread that cannot be made is no error: the body runs on
// those that were.  Returns how many ran it (at least 1, the caller).
unsigned RunOnThreads(unsigned count, std::size_t stackBytes, const std::function<void()>& body);

}  // namespace kestrio::platform::desk
