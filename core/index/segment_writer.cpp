#include "segment_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "segment_format.hpp"

namespace vorpaline_core::index {

namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;

std::uint32_t clamped(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

void put_varint(std::string& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Writes through a buffer, hashing every byte, and removes the file unless
// finished: a segment is on disk whole or not at all.
class SegmentFile {
 public:
  explicit SegmentFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path);
    XXH3_64bits_reset(&hash_);
    buffer_.reserve(kWriteBuffer);
  }
  SegmentFile(const SegmentFile&) = delete;
  SegmentFile& operator=(const SegmentFile&) = delete;
  ~SegmentFile() {
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(path_.c_str());
    }
  }

  std::uint64_t offset() const { return written_ + buffer_.size(); }

  void put(const void* data, std::size_t size) {
    XXH3_64bits_update(&hash_, data, size);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const std::size_t room = kWriteBuffer - buffer_.size();
      const std::size_t taken = std::min(room, size);
      buffer_.append(bytes, taken);
      bytes += taken;
      size -= taken;
      if (buffer_.size() == kWriteBuffer) flush();
    }
  }
  template <class T>
  void put_value(const T& value) {
    put(&value, sizeof value);
  }
  void align() {
    static constexpr char kZeros[8] = {};
    put(kZeros, (8 - offset() % 8) % 8);
  }

  // The checksum footer, then the bytes made durable.
  void finish() {
    SegmentFooter footer{};
    footer.checksum = XXH3_64bits_digest(&hash_);
    std::memcpy(footer.magic, kFooterMagic, sizeof footer.magic);
    buffer_.append(reinterpret_cast<const char*>(&footer), sizeof footer);
    flush();
    if (::fsync(fd_) != 0) fail("cannot make durable");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      ::unlink(path_.c_str());
      throw std::system_error(errno, std::generic_category(), "cannot close " + path_);
    }
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path_);
  }

  void flush() {
    const char* data = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
      const ssize_t done = ::write(fd_, data, left);
      if (done < 0) {
        if (errno == EINTR) continue;
        fail("cannot write");
      }
      data += done;
      left -= static_cast<std::size_t>(done);
    }
    written_ += buffer_.size();
    buffer_.clear();
  }

  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  std::uint64_t written_ = 0;
  XXH3_state_t hash_;
};

}  // namespace

std::uint32_t SegmentWriter::add(std::span<const TermCount> terms, std::string_view metadata) {
  const std::uint32_t doc = doc_count();
  std::uint64_t length = 0;
  for (const TermCount& term : terms) {
    postings_.push_back({term.index, doc, clamped(term.tf)});
    length += term.tf;
  }
  lengths_.push_back(clamped(length));
  total_length_ += length;
  metadata_ += metadata;
  metadata_offsets_.push_back(metadata_.size());
  return doc;
}

std::uint32_t SegmentWriter::add_document(std::uint32_t length, std::string_view metadata) {
  const std::uint32_t doc = doc_count();
  lengths_.push_back(length);
  total_length_ += length;
  metadata_ += metadata;
  metadata_offsets_.push_back(metadata_.size());
  return doc;
}

// Stable by term in two passes of 16 bits: the documents of each term stay
// in the order they were added, ascending.
template <class Posting>
void sort_by_term(std::vector<Posting>& postings) {
  std::vector<Posting> other(postings.size());
  std::vector<std::uint32_t> counts(1 << 16);
  for (const int shift : {0, 16}) {
    std::fill(counts.begin(), counts.end(), 0);
    for (const Posting& posting : postings) ++counts[(posting.term >> shift) & 0xFFFF];
    std::uint32_t start = 0;
    for (std::uint32_t& count : counts) start += std::exchange(count, start);
    for (const Posting& posting : postings) other[counts[(posting.term >> shift) & 0xFFFF]++] = posting;
    postings.swap(other);
  }
}

void SegmentWriter::write(const std::string& path) {
  sort_by_term(postings_);
  const std::vector<Posting>& sorted = postings_;
  std::vector<TermEntry> terms;
  std::string encoded;
  encoded.reserve(sorted.size() * 2);
  for (std::size_t i = 0; i < sorted.size();) {
    TermEntry entry{sorted[i].term, 0, encoded.size()};
    std::uint32_t previous = 0;
    while (i < sorted.size() && sorted[i].term == entry.term) {
      // Two tokens of one document may share an index: one posting, their counts added.
      const std::uint32_t doc = sorted[i].doc;
      std::uint64_t tf = 0;
      for (; i < sorted.size() && sorted[i].term == entry.term && sorted[i].doc == doc; ++i) tf += sorted[i].tf;
      put_varint(encoded, doc - previous);
      put_varint(encoded, clamped(tf));
      previous = doc;
      ++entry.df;
    }
    terms.push_back(entry);
  }

  SegmentFile file(path);
  SegmentHeader header{};
  std::memcpy(header.magic, kSegmentMagic, sizeof header.magic);
  header.format = kSegmentFormat;
  header.doc_count = doc_count();
  header.term_count = static_cast<std::uint32_t>(terms.size());
  header.total_length = total_length_;
  header.terms_offset = sizeof header;
  header.postings_offset = header.terms_offset + terms.size() * sizeof(TermEntry);
  header.lengths_offset = (header.postings_offset + encoded.size() + 7) / 8 * 8;
  header.metadata_offset = (header.lengths_offset + lengths_.size() * sizeof(std::uint32_t) + 7) / 8 * 8;
  file.put_value(header);
  file.put(terms.data(), terms.size() * sizeof(TermEntry));
  file.put(encoded.data(), encoded.size());
  file.align();
  file.put(lengths_.data(), lengths_.size() * sizeof(std::uint32_t));
  file.align();
  file.put(metadata_offsets_.data(), metadata_offsets_.size() * sizeof(std::uint64_t));
  file.put(metadata_.data(), metadata_.size());
  file.align();
  file.finish();
}

}  // namespace vorpaline_core::index
