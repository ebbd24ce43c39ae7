// libFuzzer target: the simulated machine's own files, registry.reg and
// machine.ini, read from arbitrary bytes.  Whatever a reader takes it must
// write back in a form it reads again to the same file: from the second
// writing on, reading what was written and writing it again gives the same
// lines (for a registry file, blank and comment lines aside).  A file the
// strict INI reader takes, the lenient one takes too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "base/ini_file.h"
#include "base/reg_file.h"

namespace sim = kestrio::sim;

namespace {

void CheckIni(const std::string& bytes) {
  sim::IniFile strict, lenient;
  const bool strictOk = strict.Parse(bytes, true, nullptr);
  FUZZ_CHECK(lenient.Parse(bytes, false, nullptr) || !strictOk);
  for (const sim::IniFile* file : {&strict, &lenient}) {
    if (file == &strict && !strictOk) continue;
    // The first writing may drop what the reader trims (a carriage return
    // at the end of a value); from then on the file keeps its form.
    sim::IniFile again, third;
    FUZZ_CHECK(again.Parse(file->Serialize(), true, nullptr));
    const std::string written = again.Serialize();
    FUZZ_CHECK(third.Parse(written, true, nullptr));
    FUZZ_CHECK(third.Serialize() == written);
  }
}

// A registry file's lines without the blank and comment lines, which carry
// nothing (where they go differs when skipped lines join another key's, or
// follow a deleted key); a blank line that ends hex data going on with '\'
// is kept.
std::string WithoutBlankLines(const std::string& text) {
  std::string out, previous;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool carries = !line.empty() && line[0] != ';';
    if (carries || (line.empty() && !previous.empty() && previous.back() == '\\')) out += line + "\n";
    previous = line;
    from = end + 1;
  }
  return out;
}

void CheckReg(const std::string& bytes) {
  sim::RegFile strict, skipping;
  std::string error;
  std::vector<std::string> skipped;
  const bool strictOk = strict.Parse(bytes, &error);
  const bool skippingOk = skipping.Parse(bytes, &error, &skipped);
  FUZZ_CHECK(skippingOk || !strictOk);
  if (strictOk) FUZZ_CHECK(skipped.empty());
  for (const sim::RegFile* file : {&strict, &skipping}) {
    if (!(file == &strict ? strictOk : skippingOk)) continue;
    // The first writing may move a [-KEY] line above the skipped lines
    // around it; from then on the file keeps its form.
    sim::RegFile again, third;
    std::vector<std::string> skippedAgain;
    FUZZ_CHECK(again.Parse(file->Serialize(), &error, &skippedAgain));
    const std::string written = again.Serialize();
    FUZZ_CHECK(third.Parse(written, &error, &skippedAgain));
    // Where skipped and [-KEY] lines go may still change from one writing
    // to the next; the files are compared only for the strict reading.
    if (file == &strict) FUZZ_CHECK(WithoutBlankLines(third.Serialize()) == WithoutBlankLines(written));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kestrio::fuzz::kMaxWire) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckIni(bytes);
  CheckReg(bytes);
  return 0;
}
