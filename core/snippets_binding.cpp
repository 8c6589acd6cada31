#include "snippets_binding.hpp"

#include <string_view>

#include "arguments.hpp"
#include "binding.hpp"
#include "snippets/hit_snippets.hpp"

namespace vorpaline_core {

PyObject* hit_snippets(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  constexpr char kName[] = "hit_snippets";
  std::string_view request_json, profile_json;
  if (!check_arity(kName, nargs, 2) || !utf8_argument(kName, args[0], 1, "request_json", &request_json) ||
      !utf8_argument(kName, args[1], 2, "profile_json", &profile_json)) {
    return nullptr;
  }
  return utf8_reply([&](ReplyBuffer& reply) { snippets::write_hit_snippets(request_json, profile_json, reply); });
}

}  // namespace vorpaline_core
