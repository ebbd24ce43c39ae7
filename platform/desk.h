// What kestrio-dnc, the client on the engineer's desk, needs from the
// operating system besides sockets (net.h, which also resolves names): its
// own files (not a simulated machine's) replaced whole, and many worker
// threads with small stacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrio::platform::desk {

// ---- Files ---------------------------------------------------------------

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
