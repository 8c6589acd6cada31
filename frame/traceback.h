// Traceback entries for exceptions that leave module code.
#pragma once

#include "ref.h"

namespace frame {

// Adds an entry naming `function` (a module-qualified name, or the module's
// init name) at `line` to the pending exception's traceback, as a Python frame
// would. The exception itself is left as it is. `function` must be a string
// that lives as long as the process: entries are cached by its address.
void add_traceback(const char *function, int line);

}  // namespace frame
