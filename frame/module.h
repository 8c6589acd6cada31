// Module definition, the create and exec steps, and the per-process records.
#pragma once

#include "ref.h"

namespace frame {

// What differs between the modules built on this frame. Each module defines
// exactly one, named `this_module`.
struct ModuleInfo {
    const char *definition_name;  // "sparse"
    const char *qualified_name;   // "vorpaline.sparse"
    const char *source_path;      // "src/vorpaline/sparse", the file of traceback entries
    const char *init_name;        // "init vorpaline.sparse", the function of module-level entries
    const char *doc;
    // Runs the module body; `line` follows the statement being run, so that a
    // failure is reported at it.
    void (*body)(int &line);
};

extern const ModuleInfo this_module;

// The entry point's whole work: the module definition for multi-phase initialisation.
PyObject *module_init();

}  // namespace frame

namespace frame {

// The module's qualified name as a str (made at exec), the `__module__` of its functions.
PyObject *module_name() noexcept;

}  // namespace frame
