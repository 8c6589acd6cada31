// vorpaline.enginecheck: the core's capabilities, asked once, and the fail-fast check.
//
// The body runs once per process, then the functions below it; each statement
// sits next to the line that a traceback entry reports for it.
#include "frame.h"

using namespace frame;

namespace {

Global json{"json"}, logging{"logging"}, logger{"logger"}, cached_capabilities{"_cached_capabilities"},
    load_capabilities{"_load_capabilities"}, require_capability{"require_capability"}, dunder_name{"__name__"};
Name getLogger{"getLogger"}, loads{"loads"}, handshake{"handshake"}, get{"get"}, capabilities{"capabilities"},
    vorpaline_core_py{"vorpaline_core_py"};

extern FunctionDef load_capabilities_def, require_capability_def;

void body(int &line)
{
    line = 8;  json.set(import_module(json));
    line = 9;  logging.set(import_module(logging));
    line = 11; logger.set(call(attr(logging.get(), getLogger), dunder_name.get()));
    line = 13; cached_capabilities.set(Py_None);
    line = 16; load_capabilities.set(make_function(load_capabilities_def));
    line = 30; require_capability.set(make_function(require_capability_def));
}

// def _load_capabilities() -> set[str], line 16
Ref load(Args, int &line)
{
    line = 18; if (cached_capabilities.get() != Py_None) {
    line = 19;     return cached_capabilities.get();
               }
    line = 20; try {
    line = 21;     Ref core = import_module(vorpaline_core_py);
    line = 23;     Ref decode = attr(json.get(), loads);
                   Ref resp = call(decode, call(attr(core, handshake)));
    line = 24;     cached_capabilities.set(take(PySet_New(call_method(resp, get, capabilities, new_list()))));
               } catch (const PyErrorSet &) {
                   // Without the core there is nothing to offer: an empty set, not an error.
                   // Anything else is reported at the statement that raised it.
                   if (!PyErr_ExceptionMatches(PyExc_ImportError))
                       throw;
    line = 25;     PyErr_Clear();
    line = 26;     cached_capabilities.set(take(PySet_New(nullptr)));
               }
    line = 27; return cached_capabilities.get();
}

// def require_capability(name: str, context: str) -> None, line 30
Ref require(Args arg, int &line)
{
    PyObject *name = arg[0], *context = arg[1];
    line = 32; Ref caps = call(load_capabilities.get());
    line = 33; if (contains(caps, name)) {
                   return none();
               }
    line = 36; Ref available = list_of(caps);
               check(PyList_Sort(available));
    line = 35; Ref message = take(PyUnicode_FromFormat(
                   "Rust core capability '%U' required for %U but not found. Available: %S. "
                   "Rebuild the Rust extension: maturin develop --release",
                   name, context, available.get()));
    line = 34; raise(PyExc_RuntimeError, message);
}

FunctionDef load_capabilities_def{{
    .name = "_load_capabilities", .qualname = "_load_capabilities", .doc = nullptr, .line = 16, .params = {},
    .returns = "set[str]", .return_check = ReturnCheck::set, .locals = {"vorpaline_core_py", "resp"},
    .body = load}};
FunctionDef require_capability_def{{
    .name = "require_capability", .qualname = "require_capability",
    .doc = "Raise RuntimeError if the named capability is not available.", .line = 30,
    .params = {{"name", "str", ArgCheck::exact_str}, {"context", "str", ArgCheck::exact_str}}, .returns = "None",
    .return_check = ReturnCheck::any, .locals = {"caps"}, .body = require}};

}  // namespace

const ModuleInfo frame::this_module{
    .definition_name = "enginecheck",
    .qualified_name = "vorpaline.enginecheck",
    .source_path = "src/vorpaline/enginecheck",
    .init_name = "init vorpaline.enginecheck",
    .doc = "\nCapability enforcement for the Rust core extension.\n\n"
           "Reads handshake() once and caches the result. Entry points call\n"
           "require_capability() to fail fast when a needed capability is missing.\n",
    .body = body,
};

PyMODINIT_FUNC PyInit_enginecheck() { return module_init(); }
