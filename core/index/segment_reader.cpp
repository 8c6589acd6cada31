#include "segment_reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace vorpaline_core::index {

namespace {

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void SegmentReader::damaged(const std::string& what) const {
  throw DamagedIndex("index file " + path_ + " is damaged: " + what);
}

SegmentReader::SegmentReader(const std::string& path) : path_(path) {
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size < sizeof(SegmentHeader) + sizeof(SegmentFooter)) damaged("it is too short to be a segment");
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd, 0);
  if (mapped == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "cannot map " + path);
  bytes_ = {static_cast<const unsigned char*>(mapped), size};

  try {
    const SegmentHeader& head = header();
    if (std::memcmp(head.magic, kSegmentMagic, sizeof head.magic) != 0) damaged("it is not a segment");
    if (head.format != kSegmentFormat) damaged("its format is " + std::to_string(head.format));
    SegmentFooter footer;
    std::memcpy(&footer, bytes_.data() + size - sizeof footer, sizeof footer);
    if (std::memcmp(footer.magic, kFooterMagic, sizeof footer.magic) != 0) damaged("its end is missing");
    if (XXH3_64bits(bytes_.data(), size - sizeof footer) != footer.checksum) damaged("its checksum does not match");

    // Every section inside the file, in order, aligned.
    const std::uint64_t body_end = size - sizeof footer;
    const std::uint64_t terms_end = head.terms_offset + std::uint64_t{head.term_count} * sizeof(TermEntry);
    const std::uint64_t lengths_end = head.lengths_offset + std::uint64_t{head.doc_count} * sizeof(std::uint32_t);
    const std::uint64_t offsets_end = head.metadata_offset + (std::uint64_t{head.doc_count} + 1) * sizeof(std::uint64_t);
    if (head.terms_offset != sizeof(SegmentHeader) || terms_end > head.postings_offset ||
        head.postings_offset > head.lengths_offset || lengths_end > head.metadata_offset ||
        offsets_end > body_end || head.lengths_offset % 8 != 0 || head.metadata_offset % 8 != 0) {
      damaged("its sections do not fit");
    }
    terms_ = {reinterpret_cast<const TermEntry*>(bytes_.data() + head.terms_offset), head.term_count};
    postings_ = bytes_.subspan(head.postings_offset, head.lengths_offset - head.postings_offset);
    lengths_ = {reinterpret_cast<const std::uint32_t*>(bytes_.data() + head.lengths_offset), head.doc_count};
    metadata_offsets_ = {reinterpret_cast<const std::uint64_t*>(bytes_.data() + head.metadata_offset),
                         std::size_t{head.doc_count} + 1};
    metadata_ = {reinterpret_cast<const char*>(bytes_.data() + offsets_end), body_end - offsets_end};

    std::uint64_t total = 0;
    for (const std::uint32_t length : lengths_) total += length;
    if (total != head.total_length) damaged("its document lengths do not add up");
    for (std::size_t i = 0; i < terms_.size(); ++i) {
      const TermEntry& entry = terms_[i];
      const bool ordered = i == 0 || (terms_[i - 1].term < entry.term &&
                                      terms_[i - 1].postings_offset < entry.postings_offset);
      if (!ordered || entry.postings_offset >= postings_.size() || entry.df == 0 || entry.df > head.doc_count) {
        damaged("its term table is out of order");
      }
    }
    for (std::size_t i = 0; i < metadata_offsets_.size(); ++i) {
      if (metadata_offsets_[i] > metadata_.size() || (i > 0 && metadata_offsets_[i] < metadata_offsets_[i - 1])) {
        damaged("its document metadata is out of order");
      }
    }
  } catch (...) {
    ::munmap(const_cast<unsigned char*>(bytes_.data()), bytes_.size());
    throw;
  }
}

SegmentReader::~SegmentReader() { ::munmap(const_cast<unsigned char*>(bytes_.data()), bytes_.size()); }

std::string_view SegmentReader::metadata(std::uint32_t doc) const {
  return metadata_.substr(metadata_offsets_[doc], metadata_offsets_[doc + 1] - metadata_offsets_[doc]);
}

const TermEntry* SegmentReader::find(std::uint32_t term) const {
  const auto found = std::lower_bound(terms_.begin(), terms_.end(), term,
                                      [](const TermEntry& entry, std::uint32_t wanted) { return entry.term < wanted; });
  return found != terms_.end() && found->term == term ? &*found : nullptr;
}

}  // namespace vorpaline_core::index
