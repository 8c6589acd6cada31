#include "file_reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "unique_fd.hpp"

namespace vorpaline_core::scan {

int read_file_at(int directory_fd, const char* name, bool follow_links, std::string* contents,
                 struct stat* status_out) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW);
  const UniqueFd file(::openat(directory_fd, name, flags));
  if (file.get() < 0) return errno;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return errno;
  if (S_ISDIR(status.st_mode)) return EISDIR;
  if (!S_ISREG(status.st_mode)) return EINVAL;  // a FIFO or device is no ignore file
  if (status_out != nullptr) *status_out = status;
  contents->clear();
  contents->reserve(static_cast<std::size_t>(status.st_size));
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    contents->append(buffer, static_cast<std::size_t>(got));
  }
}

std::string reason_for(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return "permission denied";
    case ENOENT: return "vanished during the scan";
    case ENOTDIR: return "no longer a directory";
    case ELOOP: return "became a symbolic link during the scan";
    case EMFILE:
    case ENFILE: return "too many open files";
    case ENAMETOOLONG: return "path too long";
    case EIO: return "input/output error";
    default: break;
  }
  char buffer[128];
  std::string text = ::strerror_r(error, buffer, sizeof buffer);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace vorpaline_core::scan
