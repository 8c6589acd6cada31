#include "guarded_open.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "file_reading.hpp"

namespace vorpaline_core::scan {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_DIRECTORY;
// O_NONBLOCK: opening a FIFO must not wait for a writer. Reading a regular
// file ignores the flag.
constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;

GuardedOpen refused(int error, std::string reason) {
  GuardedOpen result;
  result.error = error;
  result.reason = std::move(reason);
  return result;
}

// Opening a folder with O_DIRECTORY | O_NOFOLLOW fails with ENOTDIR for a
// link as for a file: a look at the name tells which it was.
GuardedOpen refused_folder(int parent_fd, const std::string& name, int error) {
  if (error == ENOTDIR || error == ELOOP) {
    struct stat status {};
    if (::fstatat(parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
      return refused(ELOOP, "a folder on its path became a symbolic link");
    }
    if (error == ENOTDIR) return refused(ENOTDIR, "a folder on its path is no longer a folder");
  }
  return refused(error, reason_for(error));
}

GuardedOpen open_last(int folder_fd, const std::string& name) {
  GuardedOpen result;
  result.file.fd.reset(::openat(folder_fd, name.c_str(), kFileFlags));
  if (!result.file.fd.valid()) {
    const int error = errno;
    // ENXIO: a socket, or a device with nothing behind it.
    return refused(error, error == ENXIO ? "not a regular file" : reason_for(error));
  }
  struct stat status {};
  if (::fstat(result.file.fd.get(), &status) != 0) {
    const int error = errno;
    return refused(error, reason_for(error));
  }
  if (!S_ISREG(status.st_mode)) return refused(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, "not a regular file");
  result.file.size = static_cast<std::uint64_t>(status.st_size);
  result.file.mtime_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return result;
}

}  // namespace

const char* malformed_path_reason(std::string_view path) {
  if (path.empty()) return "empty path";
  if (path.front() == '/') return "absolute path";
  if (path.find('\0') != std::string_view::npos) return "path with a NUL byte";
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view component = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
    if (component.empty()) return "path with an empty component";
    if (component == "." || component == "..") return "path with a '.' or '..' component";
    if (slash == std::string_view::npos) return nullptr;
    start = slash + 1;
  }
}

RepositoryRoot::RepositoryRoot(std::string_view root) {
  if (root.find('\0') != std::string_view::npos) {
    error_ = EINVAL;
    return;
  }
  fd_.reset(::open(std::string(root).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
  if (!fd_.valid()) error_ = errno;
}

GuardedOpen RepositoryRoot::open(std::string_view path) const {
  if (const char* problem = malformed_path_reason(path)) return refused(EINVAL, problem);
  if (!fd_.valid()) return refused(error_, "cannot open the repository root: " + reason_for(error_));
  UniqueFd folder;  // the folder reached so far, once below the root
  int folder_fd = fd_.get();
  std::string name;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      name.assign(path.substr(start));
      return open_last(folder_fd, name);
    }
    name.assign(path.substr(start, slash - start));
    UniqueFd next(::openat(folder_fd, name.c_str(), kFolderFlags));
    if (!next.valid()) return refused_folder(folder_fd, name, errno);
    folder = std::move(next);
    folder_fd = folder.get();
    start = slash + 1;
  }
}

}  // namespace vorpaline_core::scan
