// Whole small files (ignore files, git's config and pointers), read with
// the errno of a failure kept.
#pragma once

#include <sys/stat.h>

#include <string>

namespace vorpaline_core::scan {

// Reads `name`, relative to the directory `directory_fd` (or AT_FDCWD), into
// `contents`. Returns 0 or the errno of the failure. A symbolic link is not
// followed when `follow_links` is false (ELOOP). `status`, when given, gets
// the file's status as it was opened.
int read_file_at(int directory_fd, const char* name, bool follow_links, std::string* contents,
                 struct stat* status = nullptr);

// The text of an errno, as a reason a path was skipped: "permission denied".
std::string reason_for(int error);

}  // namespace vorpaline_core::scan
