#include <unistd.h>

#include "tools/terminal.h"

namespace kestrio::tools {

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace kestrio::tools
