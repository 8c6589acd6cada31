// vorpaline.sparse: sparse BM25-style embeddings through the native core.
//
// The body runs once per process, then the functions below it; each statement
// sits next to the line that a traceback entry reports for it.
#include "frame.h"

using namespace frame;

namespace {

Global json{"json"}, logging{"logging"}, dataclass{"dataclass"}, vorpaline_core_py{"vorpaline_core_py"},
    settings{"settings"}, logger{"logger"}, SparseResult{"SparseResult"},
    SparseEmbeddingService{"SparseEmbeddingService"}, sparse_service{"_sparse_service"},
    get_sparse_service{"get_sparse_service"}, reset_sparse_service{"reset_sparse_service"}, dunder_name{"__name__"};
Builtin property{"property"};

Name dataclasses{"dataclasses"}, vorpaline_config{"vorpaline.config"}, getLogger{"getLogger"}, dumps{"dumps"},
    loads{"loads"}, info{"info"}, get{"get"}, sparse_embed_single{"sparse_embed_single"},
    sparse_embed_batch{"sparse_embed_batch"}, embed_batch_method{"embed_batch"}, profile_json{"_profile_json"},
    profile_version_attr{"_profile_version"}, sparse_profile_version{"sparse_profile_version"},
    sparse_max_text_chars{"sparse_max_text_chars"}, code_pretokenize{"code_pretokenize"}, version{"version"},
    max_text_chars{"max_text_chars"}, min_token_len{"min_token_len"}, indices{"indices"}, values{"values"},
    truncated{"truncated"}, original_chars{"original_chars"}, used_chars{"used_chars"}, embeddings{"embeddings"},
    dunder_module{"__module__"}, dunder_qualname{"__qualname__"}, dunder_doc{"__doc__"},
    dunder_annotations{"__annotations__"}, init_name{"__init__"}, profile_version_name{"profile_version"},
    embed_single_name{"embed_single"}, embed_batch_name{"embed_batch"}, embed_batch_list_name{"embed_batch_list"};
Keywords record_fields{"indices", "values", "truncated", "original_chars", "used_chars"};
Int two{2};

Str result_doc{"Sparse embedding result with plain Python lists."};
Str list_of_int{"list[int]"}, list_of_float{"list[float]"}, bool_or_none{"bool | None"}, int_or_none{"int | None"};
Str service_doc{"\n    Sparse embeddings via Rust vorpaline-core.\n\n"
                "    Uses deterministic tokenization and log-TF weighting. The Rust backend\n"
                "    releases the GIL during computation, so it's safe to call from async\n"
                "    executor contexts.\n    "};
Str log_format{"Sparse embedding: using Rust backend (profile=%s)"};

extern FunctionDef init_def, profile_version_def, embed_single_def, embed_batch_def, embed_batch_list_def,
    get_sparse_service_def, reset_sparse_service_def;

Ref class_namespace(PyObject *qualname, PyObject *doc)
{
    Ref ns = new_dict();
    dict_set(ns, dunder_module, frame::module_name());
    dict_set(ns, dunder_qualname, qualname);
    dict_set(ns, dunder_doc, doc);
    return ns;
}

Ref make_class(PyObject *name, PyObject *ns)
{
    return call(reinterpret_cast<PyObject *>(&PyType_Type), name, empty_tuple(), ns);
}

void body(int &line)
{
    line = 8;  json.set(import_module(json));
    line = 9;  logging.set(import_module(logging));
    line = 10; dataclass.set(import_from(dataclasses, dataclass));
    line = 12; vorpaline_core_py.set(import_module(vorpaline_core_py));
    line = 14; settings.set(import_from(vorpaline_config, settings));
    line = 16; logger.set(call(attr(logging.get(), getLogger), dunder_name.get()));

    // @dataclass class SparseResult, lines 19 to 27
    line = 20; Ref ns = class_namespace(SparseResult, result_doc);
               Ref fields = new_dict();
               dict_set(fields, indices, list_of_int);
               dict_set(fields, values, list_of_float);
               dict_set(fields, truncated, bool_or_none);
               dict_set(fields, original_chars, int_or_none);
               dict_set(fields, used_chars, int_or_none);
               dict_set(ns, dunder_annotations, fields);
    line = 25; dict_set(ns, truncated, Py_None);
    line = 26; dict_set(ns, original_chars, Py_None);
    line = 27; dict_set(ns, used_chars, Py_None);
    line = 19; Ref decorator = dataclass.get();
    line = 20; Ref plain_class = make_class(SparseResult, ns);
    line = 19; Ref record_class = call(decorator, plain_class);
    line = 20; SparseResult.set(record_class);

    // class SparseEmbeddingService, lines 30 to 91
    line = 30; ns = class_namespace(SparseEmbeddingService, service_doc);
    line = 39; dict_set(ns, init_name, make_function(init_def));
    line = 51; dict_set(ns, profile_version_name, call(property.get(), make_function(profile_version_def)));
    line = 56; dict_set(ns, embed_single_name, make_function(embed_single_def));
    line = 68; dict_set(ns, embed_batch_name, make_function(embed_batch_def));
    line = 86; dict_set(ns, embed_batch_list_name, make_function(embed_batch_list_def, take(PyTuple_Pack(1, Py_None))));
    line = 30; SparseEmbeddingService.set(make_class(SparseEmbeddingService, ns));

    line = 94;  sparse_service.set(Py_None);
    line = 97;  get_sparse_service.set(make_function(get_sparse_service_def));
    line = 105; reset_sparse_service.set(make_function(reset_sparse_service_def));
}

// def __init__(self) -> None, line 39
Ref init(Args arg, int &line)
{
    PyObject *self = arg[0];
    line = 40; Ref dumps_function = attr(json.get(), dumps);
    Ref profile = new_dict();
    line = 41; Ref profile_version = attr(settings.get(), sparse_profile_version);
               dict_set(profile, version, profile_version);
    line = 42; dict_set(profile, max_text_chars, attr(settings.get(), sparse_max_text_chars));
    line = 43; dict_set(profile, code_pretokenize, attr(settings.get(), code_pretokenize));
    line = 44; dict_set(profile, min_token_len, two);
    line = 40; set_attr(self, profile_json, call(dumps_function, profile));
               // The version the profile was made with tags its vectors.
               set_attr(self, profile_version_attr, profile_version);
    line = 46; Ref log_info = attr(logger.get(), info);
    line = 48; Ref current_version = attr(settings.get(), sparse_profile_version);
    line = 46; call(log_info, log_format, current_version);
    return none();
}

// @property def profile_version(self) -> str, line 51
Ref profile_version(Args arg, int &line)
{
    PyObject *self = arg[0];
    line = 54; return attr(self, profile_version_attr);
}

// Takes the five members of one embedding reply and makes its record; the
// record's statement is on `record_line`, the members on the five lines after it.
Ref make_record(PyObject *reply, int record_line, int &line, const char *caller, Py_ssize_t position)
{
    line = record_line;     Ref record_class = SparseResult.get();
    line = record_line + 1; Ref indices_value = item(reply, indices);
    line = record_line + 2; Ref values_value = item(reply, values);
    line = record_line + 3; Ref truncated_value = call_method(reply, get, truncated);
    line = record_line + 4; Ref original_value = call_method(reply, get, original_chars);
    line = record_line + 5; Ref used_value = call_method(reply, get, used_chars);
    line = record_line;
    // A vector whose indices and values do not pair up is corrupt, whatever
    // sequences a replaced decoder gives them as.
    Py_ssize_t index_count = length_if_any(indices_value);
    Py_ssize_t value_count = index_count < 0 ? -1 : length_if_any(values_value);
    if (value_count >= 0 && index_count != value_count) {
        if (position < 0)
            raise_format(PyExc_ValueError, "%s returned %zd indices but %zd values", caller, index_count,
                         value_count);
        raise_format(PyExc_ValueError, "%s returned %zd indices but %zd values for text %zd", caller, index_count,
                     value_count, position);
    }
    return call_by_keyword(record_class, record_fields, indices_value, values_value, truncated_value,
                           original_value, used_value);
}

// def embed_single(self, text: str) -> SparseResult, line 56
Ref embed_single(Args arg, int &line)
{
    PyObject *self = arg[0], *text = arg[1];
    line = 58; Ref embed = attr(vorpaline_core_py.get(), sparse_embed_single);
               Ref reply_text = call(embed, text, attr(self, profile_json));
    line = 59; Ref reply = call(attr(json.get(), loads), reply_text);
    line = 60; return make_record(reply, 60, line, "sparse_embed_single", -1);
}

// def embed_batch(self, texts: list[str]) -> list[SparseResult], line 68
Ref embed_batch(Args arg, int &line)
{
    PyObject *self = arg[0], *texts = arg[1];
    line = 70; if (PyList_GET_SIZE(texts) == 0) {
    line = 71;     return new_list();
               }
    line = 72; Ref dumps_function = attr(json.get(), dumps);
               // The reply answers the texts serialised now, whatever the list becomes meanwhile.
               Py_ssize_t sent = PyList_GET_SIZE(texts);
               Ref payload = call(dumps_function, texts);
    line = 73; Ref embed = attr(vorpaline_core_py.get(), sparse_embed_batch);
               Ref reply_text = call(embed, payload, attr(self, profile_json));
               payload = Ref();  // a large batch's texts need not stay alive twice over
    line = 74; Ref reply = call(attr(json.get(), loads), reply_text);
               reply_text = Ref();
    line = 75; Ref results = new_list();
    line = 83; Ref records = take(PyObject_GetIter(item(reply, embeddings)));
    while (Ref embedding = Ref::steal(PyIter_Next(records))) {
        Ref record = make_record(embedding, 76, line, "sparse_embed_batch", PyList_GET_SIZE(results.get()));
        line = 75; check(PyList_Append(results, record));
        line = 83;
    }
    if (PyErr_Occurred())
        raise_pending();
    line = 75;
    // Callers pair texts with vectors by position: a reply of another length would misalign them.
    if (PyList_GET_SIZE(results.get()) != sent)
        raise_format(PyExc_ValueError, "sparse_embed_batch returned %zd embeddings for %zd texts",
                     PyList_GET_SIZE(results.get()), sent);
    return results;
}

// def embed_batch_list(self, texts: list[str], batch_size: int | None = None) -> list[SparseResult], line 86
Ref embed_batch_list(Args arg, int &line)
{
    PyObject *self = arg[0], *texts = arg[1];
    line = 90; return call_method(self, embed_batch_method, texts);
}

// def get_sparse_service() -> SparseEmbeddingService, line 97
Ref get_service(Args, int &line)
{
    line = 100; if (sparse_service.get() == Py_None) {
    line = 101;     sparse_service.set(call(SparseEmbeddingService.get()));
                }
    line = 102; return sparse_service.get();
}

// def reset_sparse_service() -> None, line 105
Ref reset_service(Args, int &line)
{
    line = 108; sparse_service.set(Py_None);
    return none();
}

FunctionDef init_def{{
    .name = "__init__", .qualname = "SparseEmbeddingService.__init__", .doc = nullptr, .line = 39,
    .params = {{"self"}}, .returns = "None", .return_check = ReturnCheck::any, .locals = {}, .body = init}};
FunctionDef profile_version_def{{
    .name = "profile_version", .qualname = "SparseEmbeddingService.profile_version",
    .doc = "Return the profile version string for cache tagging.", .line = 51, .params = {{"self"}},
    .returns = "str", .return_check = ReturnCheck::str, .locals = {}, .body = profile_version}};
FunctionDef embed_single_def{{
    .name = "embed_single", .qualname = "SparseEmbeddingService.embed_single",
    .doc = "Embed a single text into a sparse vector.", .line = 56,
    .params = {{"self"}, {"text", "str", ArgCheck::exact_str}}, .returns = "SparseResult",
    .return_check = ReturnCheck::any, .locals = {"resp_json", "resp"}, .body = embed_single}};
FunctionDef embed_batch_def{{
    .name = "embed_batch", .qualname = "SparseEmbeddingService.embed_batch",
    .doc = "Embed a batch of texts into sparse vectors.", .line = 68,
    .params = {{"self"}, {"texts", "list[str]", ArgCheck::exact_list}}, .returns = "list[SparseResult]",
    .return_check = ReturnCheck::list, .locals = {"payload", "resp_json", "resp"}, .body = embed_batch}};
FunctionDef embed_batch_list_def{{
    .name = "embed_batch_list", .qualname = "SparseEmbeddingService.embed_batch_list",
    .doc = "Embed a batch of texts and return as a list (batch_size ignored).", .line = 86,
    .params = {{"self"}, {"texts", "list[str]", ArgCheck::exact_list},
               {"batch_size", "int | None", ArgCheck::int_or_none, 87}},
    .returns = "list[SparseResult]", .return_check = ReturnCheck::list, .locals = {}, .body = embed_batch_list}};
FunctionDef get_sparse_service_def{{
    .name = "get_sparse_service", .qualname = "get_sparse_service",
    .doc = "Get or create the sparse embedding service singleton.", .line = 97, .params = {},
    .returns = "SparseEmbeddingService", .return_check = ReturnCheck::any, .locals = {}, .body = get_service}};
FunctionDef reset_sparse_service_def{{
    .name = "reset_sparse_service", .qualname = "reset_sparse_service",
    .doc = "Reset the sparse service singleton (for testing).", .line = 105, .params = {}, .returns = "None",
    .return_check = ReturnCheck::any, .locals = {}, .body = reset_service}};

}  // namespace

const ModuleInfo frame::this_module{
    .definition_name = "sparse",
    .qualified_name = "vorpaline.sparse",
    .source_path = "src/vorpaline/sparse",
    .init_name = "init vorpaline.sparse",
    .doc = "\nSparse embedding service using Rust vorpaline-core for BM25-style sparse vectors.\n\n"
           "This module provides deterministic, bounded-latency sparse embeddings with\n"
           "code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.\n",
    .body = body,
};

PyMODINIT_FUNC PyInit_sparse() { return module_init(); }
