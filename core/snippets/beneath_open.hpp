// Opening a file below a root folder in one system call where the kernel
// offers openat2: RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS gives what
// scan/guarded_open.hpp's walk a component at a time gives (no symbolic link
// followed below the root, nothing outside it), and the file is accepted
// only when fstat says it is a regular file. Where openat2 is missing or
// refused (an old kernel, a seccomp filter), the caller walks instead.
#pragma once

#include <optional>
#include <string_view>

#include "scan/guarded_open.hpp"

namespace vorpaline_core::snippets {

enum class BeneathOpen { opened, refused, unavailable };

// `path` is well-formed (scan::malformed_path_reason says nothing of it).
BeneathOpen open_beneath(int root_fd, std::string_view path, scan::GuardedFile* file);

}  // namespace vorpaline_core::snippets
