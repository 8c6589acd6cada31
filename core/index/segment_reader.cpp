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
    const std::uint64_t records_end = head.documents_offset + std::uint64_t{head.doc_count} * sizeof(DocumentRecord);
    if (head.terms_offset != sizeof(SegmentHeader) || terms_end > head.postings_offset ||
        head.postings_offset > head.documents_offset || records_end > head.metadata_offset ||
        head.metadata_offset > head.symbols_offset || head.symbols_offset > body_end ||
        head.documents_offset % 8 != 0 || head.symbols_offset % 8 != 0) {
      damaged("its sections do not fit");
    }
    terms_ = {reinterpret_cast<const TermEntry*>(bytes_.data() + head.terms_offset), head.term_count};
    postings_ = bytes_.subspan(head.postings_offset, head.documents_offset - head.postings_offset);
    records_ = {reinterpret_cast<const DocumentRecord*>(bytes_.data() + head.documents_offset), head.doc_count};
    metadata_ = stored_strings(head.metadata_offset, head.symbols_offset, "metadata");
    symbols_ = stored_strings(head.symbols_offset, body_end, "symbols");

    std::uint64_t totals[kFieldCount] = {};
    for (const DocumentRecord& record : records_) {
      for (std::size_t field = 0; field < kFieldCount; ++field) totals[field] += record.lengths[field];
    }
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      if (totals[field] != head.total_lengths[field]) damaged("its document lengths do not add up");
    }
    for (std::size_t i = 0; i < terms_.size(); ++i) {
      const TermEntry& entry = terms_[i];
      const bool ordered = i == 0 || (terms_[i - 1].term < entry.term &&
                                      terms_[i - 1].postings_offset < entry.postings_offset);
      if (!ordered || entry.postings_offset >= postings_.size() || entry.df == 0 || entry.df > head.doc_count) {
        damaged("its term table is out of order");
      }
    }
  } catch (...) {
    ::munmap(const_cast<unsigned char*>(bytes_.data()), bytes_.size());
    throw;
  }
}

SegmentReader::~SegmentReader() { ::munmap(const_cast<unsigned char*>(bytes_.data()), bytes_.size()); }

// (doc_count + 1) offsets from `begin`, then their blob up to `end` (its
// alignment padding included: the offsets say where each string ends).
SegmentReader::StoredStrings SegmentReader::stored_strings(std::uint64_t begin, std::uint64_t end,
                                                           const char* what) const {
  const std::uint64_t offsets_end = begin + (std::uint64_t{doc_count()} + 1) * sizeof(std::uint64_t);
  if (offsets_end > end) damaged(std::string("its document ") + what + " do not fit");
  StoredStrings strings{{reinterpret_cast<const std::uint64_t*>(bytes_.data() + begin), std::size_t{doc_count()} + 1},
                        {reinterpret_cast<const char*>(bytes_.data() + offsets_end), end - offsets_end}};
  for (std::size_t i = 0; i < strings.offsets.size(); ++i) {
    if (strings.offsets[i] > strings.blob.size() || (i > 0 && strings.offsets[i] < strings.offsets[i - 1])) {
      damaged(std::string("its document ") + what + " are out of order");
    }
  }
  return strings;
}

const TermEntry* SegmentReader::find(std::uint32_t term) const {
  const auto found = std::lower_bound(terms_.begin(), terms_.end(), term,
                                      [](const TermEntry& entry, std::uint32_t wanted) { return entry.term < wanted; });
  return found != terms_.end() && found->term == term ? &*found : nullptr;
}

}  // namespace vorpaline_core::index
