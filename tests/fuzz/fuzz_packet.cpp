// libFuzzer target: the packet reader alone.  The input is everything a
// client sent before closing its side.  Each packet read must be exactly the
// next frame of that stream, zero-terminated, and the reader must stop with
// the result the stream calls for: 0 at its end (also inside a payload cut
// short by the close), -1 when only one byte of a length field is left, -2
// for a length of 0 or above 1024.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "dnc/transport.h"
#include "fuzz_common.h"

namespace dnc = kestrio::dnc;

namespace {

// What RecibirPaquete must return for the frame at `at`, and the frame's
// total size when it is whole.
int Expected(const std::uint8_t* data, std::size_t size, std::size_t at, std::size_t& frame) {
  const std::size_t left = size - at;
  if (left == 0) return 0;
  if (left == 1) return -1;
  const std::size_t length = static_cast<std::size_t>(data[at] << 8 | data[at + 1]);
  if (length == 0 || length > static_cast<std::size_t>(dnc::kMaxPayload)) return -2;
  if (left - 2 < length) return 0;
  frame = 2 + length;
  return static_cast<int>(length);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kestrio::fuzz::QuietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kestrio::fuzz::kMaxWire) return 0;
  kestrio::fuzz::SocketPair pair(std::string(reinterpret_cast<const char*>(data), size));
  char buffer[dnc::kMaxPayload + 1];
  std::size_t at = 0;
  for (;;) {
    std::memset(buffer, 0x5A, sizeof buffer);  // a missing terminator shows
    std::size_t frame = 0;
    const int expected = Expected(data, size, at, frame);
    const int n = dnc::RecibirPaquete(pair.server, buffer);
    FUZZ_CHECK(n == expected);
    if (n <= 0) break;
    FUZZ_CHECK(std::memcmp(buffer, data + at + 2, static_cast<std::size_t>(n)) == 0);
    FUZZ_CHECK(buffer[n] == '\0');
    at += frame;
  }
  return 0;
}
