#include "segment_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "trigrams.hpp"

namespace vorpaline_core::grep {

namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;

}  // namespace

GrepSegmentWriter::GrepSegmentWriter(const std::string& path, const std::vector<GrepFile>& files) : path_(path) {
  if (files.size() >= kBitmapList) throw std::length_error("too many files for one grep segment");
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path);
  doc_count_ = static_cast<std::uint32_t>(files.size());
  XXH3_64bits_reset(&tables_hash_);
  XXH3_64bits_reset(&postings_hash_);
  buffer_.reserve(kWriteBuffer);
  put(&header_, sizeof header_, nullptr);  // written again, filled in, at the end
  std::uint64_t path_offset = 0;
  for (const GrepFile& file : files) {
    const GrepFileEntry entry{file.size, file.mtime_ns, path_offset, static_cast<std::uint32_t>(file.path.size()), 0};
    put(&entry, sizeof entry, &tables_hash_);
    path_offset += file.path.size();
  }
  const std::uint64_t paths_start = offset_;
  for (const GrepFile& file : files) put(file.path.data(), file.path.size(), &tables_hash_);
  pad(&tables_hash_);
  header_.paths_size = offset_ - paths_start;
  postings_start_ = offset_;
}

GrepSegmentWriter::~GrepSegmentWriter() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
}

GrepSegmentWriter::EncodedList GrepSegmentWriter::encode_list(std::uint32_t key, std::span<const std::uint32_t> docs,
                                                              std::uint32_t doc_count, std::string& out) {
  const std::size_t start = out.size();
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    put_varint(out, i == 0 ? docs[i] : docs[i] - previous);
    previous = docs[i];
  }
  const std::size_t bitmap_size = (std::size_t{doc_count} + 7) / 8;
  std::uint32_t stored_key = key;
  if (bitmap_size < out.size() - start) {
    out.resize(start);
    out.append(bitmap_size, '\0');
    char* bitmap = out.data() + start;
    for (const std::uint32_t doc : docs) bitmap[doc >> 3] = static_cast<char>(bitmap[doc >> 3] | (1 << (doc & 7)));
    stored_key |= kBitmapList;
  }
  return {stored_key, static_cast<std::uint32_t>(docs.size()), out.size() - start};
}

void GrepSegmentWriter::add_encoded(const EncodedList& list, const char* bytes) {
  dictionary_.push_back({list.stored_key, list.docs, offset_ - postings_start_});
  put(bytes, list.size, &postings_hash_);
}

void GrepSegmentWriter::add_key(std::uint32_t key, std::span<const std::uint32_t> docs) {
  list_.clear();
  const EncodedList list = encode_list(key, docs, doc_count_, list_);
  add_encoded(list, list_.data());
}

void GrepSegmentWriter::finish() {
  pad(&postings_hash_);
  header_.postings_size = offset_ - postings_start_;
  put(dictionary_.data(), dictionary_.size() * sizeof(GrepKeyEntry), &tables_hash_);
  flush();
  std::memcpy(header_.magic, kGrepMagic, sizeof header_.magic);
  header_.format = kGrepFormat;
  header_.doc_count = doc_count_;
  header_.key_count = static_cast<std::uint32_t>(dictionary_.size());
  header_.tables_checksum = XXH3_64bits_digest(&tables_hash_);
  header_.postings_checksum = XXH3_64bits_digest(&postings_hash_);
  header_.header_checksum = 0;
  header_.header_checksum = XXH3_64bits(&header_, sizeof header_);
  // Through a byte copy: GCC's sanitizer builds take the header for its first member.
  char bytes[sizeof header_];
  std::memcpy(bytes, &header_, sizeof header_);
  if (::pwrite(fd_, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) fail("cannot write");
  if (::fsync(fd_) != 0) fail("cannot make durable");
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    ::unlink(path_.c_str());
    throw std::system_error(errno, std::generic_category(), "cannot close " + path_);
  }
}

void GrepSegmentWriter::put(const void* data, std::size_t size, XXH3_state_t* hash) {
  if (hash != nullptr) XXH3_64bits_update(hash, data, size);
  offset_ += size;
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t taken = std::min(kWriteBuffer - buffer_.size(), size);
    buffer_.append(bytes, taken);
    bytes += taken;
    size -= taken;
    if (buffer_.size() == kWriteBuffer) flush();
  }
}

void GrepSegmentWriter::pad(XXH3_state_t* hash) {
  static constexpr char kZeros[8] = {};
  put(kZeros, (8 - offset_ % 8) % 8, hash);
}

void GrepSegmentWriter::flush() {
  const char* data = buffer_.data();
  std::size_t left = buffer_.size();
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail("cannot write");
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  buffer_.clear();
}

void GrepSegmentWriter::fail(const char* what) const {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path_);
}

}  // namespace vorpaline_core::grep
