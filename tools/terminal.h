// Whether standard output is a terminal a person watches (then a tool may
// rewrite one progress line) or a file or pipe (then it writes plain lines).
#pragma once

namespace kestrio::tools {

bool StdoutIsTerminal();

}  // namespace kestrio::tools
