#include <io.h>

#include <cstdio>

#include "tools/terminal.h"

namespace kestrio::tools {

bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

}  // namespace kestrio::tools
