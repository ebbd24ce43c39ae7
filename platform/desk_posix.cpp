// The desk's command line, files and threads on Linux.  Map: command line
// (Arguments), files (ReadWholeFile, RemoveFile, ReplaceWholeFile, SameFile,
// AbsolutePath), threads (RunOnThreads), in the order of desk.h.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/desk.h"

namespace kestrio::platform::desk {

// ---- Command line --------------------------------------------------------

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

// ---- Files ---------------------------------------------------------------

FileRead ReadWholeFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& error) {
  bytes.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    error = std::string("cannot be read: ") + std::strerror(code);
    return code == ENOENT ? FileRead::Missing : FileRead::Failed;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = "cannot be read: it is a folder";
    return FileRead::Failed;
  }
  char block[1 << 16];
  ssize_t n = 0;
  while (bytes.size() <= limit && ((n = ::read(fd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0) bytes.append(block, static_cast<std::size_t>(n));
  const int code = errno;
  ::close(fd);
  if (n < 0) error = std::string("cannot be read: ") + std::strerror(code);
  else if (bytes.size() > limit) error = "larger than " + std::to_string(limit >> 20) + " MiB";
  return n >= 0 && bytes.size() <= limit ? FileRead::Read : FileRead::Failed;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = temp + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const int savedErrno = errno;
  const bool whole = written == bytes.size();
  // The data reaches the disk before the name points at it.
  const bool synced = whole && ::fsync(fd) == 0;
  const int syncErrno = errno;
  ::close(fd);
  if (!whole || !synced) {
    error = temp + ": cannot be written: " + std::strerror(whole ? syncErrno : savedErrno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": cannot be replaced: " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::vector<char> folder(PATH_MAX);
  if (!::getcwd(folder.data(), folder.size())) return path;
  std::string absolute = folder.data();
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  std::string_view rest = path;
  while (rest.substr(0, 2) == "./") rest.remove_prefix(2);
  return absolute + std::string(rest);
}

// ---- Threads -------------------------------------------------------------

namespace {

extern "C" void* RunBody(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return nullptr;
}

}  // namespace

unsigned RunOnThreads(unsigned count, std::size_t stackBytes, const std::function<void()>& body) {
  pthread_attr_t attributes;
  const bool haveAttributes = ::pthread_attr_init(&attributes) == 0;
  if (haveAttributes) ::pthread_attr_setstacksize(&attributes, std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN));
  std::vector<pthread_t> made;
  made.reserve(count > 0 ? count - 1 : 0);
  for (unsigned k = 1; k < count; ++k) {
    pthread_t thread;
    if (::pthread_create(&thread, haveAttributes ? &attributes : nullptr, RunBody,
                         const_cast<std::function<void()>*>(&body)) != 0)
      break;  // EAGAIN: out of threads or memory; the ones made carry the work
    made.push_back(thread);
  }
  if (haveAttributes) ::pthread_attr_destroy(&attributes);
  body();
  for (const pthread_t thread : made) ::pthread_join(thread, nullptr);
  return static_cast<unsigned>(made.size()) + 1;
}

}  // namespace kestrio::platform::desk
