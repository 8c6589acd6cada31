// vorpaline.skiprules: the scan configuration built from the ignore settings.
//
// The body runs once per process, then the function below it; each statement
// sits next to the line that a traceback entry reports for it.
#include "frame.h"

using namespace frame;

namespace {

Global Path{"Path"}, settings{"settings"}, build_scan_config{"build_scan_config"};
Name pathlib{"pathlib"}, vorpaline_config{"vorpaline.config"}, vorpaline_enginecheck{"vorpaline.enginecheck"},
    require_capability{"require_capability"}, builtin_ignore_replace{"builtin_ignore_replace"},
    builtin_ignore_patterns{"builtin_ignore_patterns"}, extra_ignore_patterns{"extra_ignore_patterns"},
    ignore_mode{"ignore_mode"}, repo_root{"repo_root"}, builtin_patterns{"builtin_patterns"},
    extra_patterns{"extra_patterns"}, use_gitignore{"use_gitignore"}, use_vorpalineignore{"use_vorpalineignore"},
    replace_builtin_patterns{"replace_builtin_patterns"};
Str capability{"ignore_builtin_replace"}, capability_context{"builtin_ignore_replace=True"},
    git_mode{"git+vorpaline"};

extern FunctionDef build_scan_config_def;

void body(int &line)
{
    line = 9;  Path.set(import_from(pathlib, Path));
    line = 11; settings.set(import_from(vorpaline_config, settings));
    line = 14; build_scan_config.set(make_function(build_scan_config_def));
}

// def build_scan_config(repo_path: Path) -> dict[str, object], line 14
Ref build(Args arg, int &line)
{
    PyObject *repo_path = arg[0];
    line = 27; if (truth(attr(settings.get(), builtin_ignore_replace))) {
    line = 28;     Ref check_capability = import_from(vorpaline_enginecheck, require_capability);
    line = 30;     call(check_capability, capability, capability_context);
               }
    line = 32; Ref config = new_dict(7);
    line = 33; dict_set(config, repo_root, to_str(repo_path));
    line = 34; dict_set(config, builtin_patterns, list_of(attr(settings.get(), builtin_ignore_patterns)));
    line = 35; dict_set(config, extra_patterns, list_of(attr(settings.get(), extra_ignore_patterns)));
    line = 36; dict_set(config, ignore_mode, attr(settings.get(), ignore_mode));
    line = 37; dict_set(config, use_gitignore,
                        take(PyObject_RichCompare(attr(settings.get(), ignore_mode), git_mode, Py_EQ)));
    line = 38; dict_set(config, use_vorpalineignore, Py_True);
    line = 39; dict_set(config, replace_builtin_patterns, attr(settings.get(), builtin_ignore_replace));
    line = 32; return config;
}

FunctionDef build_scan_config_def{{
    .name = "build_scan_config", .qualname = "build_scan_config",
    .doc = "Build a scan config dict for the Rust ignore matcher.\n"
           "\n"
           "    Args:\n"
           "        repo_path: Absolute path to the repository root.\n"
           "\n"
           "    Returns:\n"
           "        Dict ready for JSON serialization and passing to Rust scan APIs.\n"
           "\n"
           "    Raises:\n"
           "        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust\n"
           "            extension lacks the ``IgnoreBuiltinReplace`` capability.\n"
           "    ",
    .line = 14, .params = {{"repo_path", "Path"}}, .returns = "dict[str, object]",
    .return_check = ReturnCheck::dict, .locals = {"require_capability"}, .body = build}};

}  // namespace

const ModuleInfo frame::this_module{
    .definition_name = "skiprules",
    .qualified_name = "vorpaline.skiprules",
    .source_path = "src/vorpaline/skiprules",
    .init_name = "init vorpaline.skiprules",
    .doc = "\nUnified scan configuration builder for the ignore matcher.\n\n"
           "Provides a single helper that all Python consumers (pipeline, watcher,\n"
           "relationships) use to construct ScanConfigV2 payloads for the Rust\n"
           "ignore-matcher-based scanner.\n",
    .body = body,
};

PyMODINIT_FUNC PyInit_skiprules() { return module_init(); }
