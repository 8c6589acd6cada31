#include "known_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "input_error.hpp"
#include "unique_fd.hpp"

namespace vorpaline_core::scan {

namespace {

// The second adds a flag for files with a trigram document; the stamps this reads are the same.
constexpr char kMagic[8] = {'V', 'R', 'P', 'F', 'I', 'L', 'E', '2'};
constexpr char kEarlierMagic[8] = {'V', 'R', 'P', 'F', 'I', 'L', 'E', 'S'};
constexpr std::uint64_t kHeaderSize = 48;  // the magic, then five u64

std::uint64_t stamps_end(std::uint64_t count) { return kHeaderSize + 8 * (count + 1) + 17 * count; }

bool read_exactly(int fd, char* out, std::uint64_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    at += static_cast<std::uint64_t>(got);
    size -= static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

KnownFiles::KnownFiles(const std::string& path) : file_(path) {
  const auto damaged = [&](const char* what) {
    return InputError("scan configuration: \"known_files\" " + file_ + " is damaged (" + what + ")");
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
    throw InputError("scan configuration: \"known_files\" " + file_ + " cannot be read: " + std::strerror(errno));
  }
  const std::uint64_t file_size = static_cast<std::uint64_t>(status.st_size);
  char header[kHeaderSize];
  if (file_size < kHeaderSize || !read_exactly(fd.get(), header, kHeaderSize, 0) ||
      (std::memcmp(header, kMagic, sizeof kMagic) != 0 && std::memcmp(header, kEarlierMagic, sizeof kMagic) != 0)) {
    throw damaged("its header");
  }
  bytes_.assign(header, kHeaderSize);
  count_ = read_u64(8);
  const std::uint64_t files_offset = read_u64(16);
  if (count_ > file_size || stamps_end(count_) > files_offset || files_offset > file_size) {
    throw damaged("its sections do not fit");
  }
  bytes_.resize(files_offset);
  if (!read_exactly(fd.get(), bytes_.data() + kHeaderSize, files_offset - kHeaderSize, kHeaderSize)) {
    throw damaged("it ends early");
  }
  flags_at_ = kHeaderSize + 8 * (count_ + 1) + 16 * count_;
  paths_at_ = stamps_end(count_);
  paths_end_ = files_offset;
  std::uint64_t previous = 0;
  for (std::uint64_t n = 0; n <= count_; ++n) {
    const std::uint64_t offset = read_u64(kHeaderSize + 8 * n);
    if (offset < previous || paths_at_ + offset > paths_end_ || (n == 0 && offset != 0)) {
      throw damaged("its paths do not fit");
    }
    previous = offset;
  }
}

std::uint64_t KnownFiles::read_u64(std::uint64_t at) const {
  std::uint64_t value;
  std::memcpy(&value, bytes_.data() + at, sizeof value);
  return value;  // little-endian, as the machines the wheels are built for
}

std::string_view KnownFiles::path(std::uint64_t n) const {
  const std::uint64_t begin = read_u64(kHeaderSize + 8 * n);
  const std::uint64_t end = read_u64(kHeaderSize + 8 * (n + 1));
  return std::string_view(bytes_).substr(paths_at_ + begin, end - begin);
}

std::int64_t KnownFiles::size(std::uint64_t n) const {
  return static_cast<std::int64_t>(read_u64(kHeaderSize + 8 * (count_ + 1) + 8 * n));
}

std::int64_t KnownFiles::mtime_ns(std::uint64_t n) const {
  return static_cast<std::int64_t>(read_u64(kHeaderSize + 8 * (count_ + 1) + 8 * count_ + 8 * n));
}

}  // namespace vorpaline_core::scan
