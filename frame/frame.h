// Everything a module needs to define its body, functions and classes.
//
// A module source defines `frame::this_module` (its names, docstring and body)
// and its entry point returning `frame::module_init()`. Its body and function
// bodies are written with the operations of ops.h against its constants
// (Name, Str, Global, Builtin, Keywords, FunctionDef), keeping `line` at the
// statement they run so that a failure is reported there.
#pragma once

#include "constants.h"
#include "function.h"
#include "module.h"
#include "ops.h"
#include "ref.h"
