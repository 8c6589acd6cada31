#include "snippets/beneath_open.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace vorpaline_core::snippets {

namespace {

// Once openat2 was found wanting, it is not asked again.
std::atomic<bool> openat2_unavailable{false};

}  // namespace

BeneathOpen open_beneath(int root_fd, std::string_view path, scan::GuardedFile* file) {
#ifdef SYS_openat2
  if (openat2_unavailable.load(std::memory_order_relaxed)) return BeneathOpen::unavailable;
  open_how how{};
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  how.flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const std::string name(path);
  const long fd = ::syscall(SYS_openat2, root_fd, name.c_str(), &how, sizeof how);
  if (fd < 0) {
    if (errno == ENOSYS || errno == EPERM || errno == EINVAL || errno == E2BIG) {
      openat2_unavailable.store(true, std::memory_order_relaxed);
      return BeneathOpen::unavailable;
    }
    return BeneathOpen::refused;
  }
  file->fd.reset(static_cast<int>(fd));
  struct stat status {};
  if (::fstat(file->fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return BeneathOpen::refused;
  file->size = static_cast<std::uint64_t>(status.st_size);
  file->mtime_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return BeneathOpen::opened;
#else
  (void)root_fd, (void)path, (void)file;
  return BeneathOpen::unavailable;
#endif
}

}  // namespace vorpaline_core::snippets
