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
#include <vector>

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
    if (head.format != kSegmentFormat && head.format != kVarintSegmentFormat) {
      damaged("its format is " + std::to_string(head.format));
    }
    SegmentFooter footer;
    std::memcpy(&footer, bytes_.data() + size - sizeof footer, sizeof footer);
    if (std::memcmp(footer.magic, kFooterMagic, sizeof footer.magic) != 0) damaged("its end is missing");

    // Every section inside the file, in order, aligned.
    const std::uint64_t body_end = size - sizeof footer;
    const std::uint64_t terms_end = head.terms_offset + std::uint64_t{head.term_count} * sizeof(TermEntry);
    const bool varint = head.format == kVarintSegmentFormat;
    const std::uint64_t checks_offset = head.documents_offset + std::uint64_t{head.doc_count} * sizeof(DocumentRecord);
    const std::uint64_t records_end = checks_offset + (varint ? 0 : std::uint64_t{head.doc_count} * sizeof(std::uint32_t));
    const std::uint64_t postings_end =
        head.format == kVarintSegmentFormat ? head.documents_offset : head.postings_offset + head.postings_size;
    if (head.terms_offset != sizeof(SegmentHeader) || terms_end > head.postings_offset ||
        head.postings_offset > head.documents_offset || postings_end < head.postings_offset ||
        postings_end > head.documents_offset || records_end > head.metadata_offset ||
        head.metadata_offset > head.symbols_offset || head.symbols_offset > body_end ||
        head.documents_offset % 8 != 0 || head.symbols_offset % 8 != 0 || head.metadata_offset % 8 != 0) {
      damaged("its sections do not fit");
    }
    terms_ = {reinterpret_cast<const TermEntry*>(bytes_.data() + head.terms_offset), head.term_count};
    postings_ = bytes_.subspan(head.postings_offset, postings_end - head.postings_offset);
    records_ = {reinterpret_cast<const DocumentRecord*>(bytes_.data() + head.documents_offset), head.doc_count};
    if (!varint) stored_checks_ = {reinterpret_cast<const std::uint32_t*>(bytes_.data() + checks_offset), head.doc_count};
    metadata_ = stored_strings(head.metadata_offset, head.symbols_offset, "metadata");
    symbols_ = stored_strings(head.symbols_offset, body_end, "symbols");
    if (varint) verify_whole_file();
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
  return {{reinterpret_cast<const std::uint64_t*>(bytes_.data() + begin), std::size_t{doc_count()} + 1},
          {reinterpret_cast<const char*>(bytes_.data() + offsets_end), end - offsets_end}};
}

const TermEntry* SegmentReader::find(std::uint32_t term) const {
  const auto found = std::lower_bound(terms_.begin(), terms_.end(), term,
                                      [](const TermEntry& entry, std::uint32_t wanted) { return entry.term < wanted; });
  return found != terms_.end() && found->term == term ? &*found : nullptr;
}

// The bytes from the entry's offset to the next entry's (the last one's: to
// the end of the postings).
std::span<const unsigned char> SegmentReader::postings_of(const TermEntry& entry) const {
  const auto i = static_cast<std::size_t>(&entry - terms_.data());
  const std::uint64_t begin = entry.postings_offset;
  const std::uint64_t end = i + 1 < terms_.size() ? terms_[i + 1].postings_offset : postings_.size();
  if (begin > end || end > postings_.size() || entry.df == 0 || entry.df > doc_count()) {
    damaged("its term table is out of order");
  }
  return postings_.subspan(begin, end - begin);
}

TermBlocks SegmentReader::term_blocks(const TermEntry& entry) const {
  const std::span<const unsigned char> list = postings_of(entry);
  TermBlocks term;
  term.df = entry.df;
  term.blocks = (entry.df + kBlockSize - 1) / kBlockSize;
  const std::size_t skips = term.blocks > 1 ? std::size_t{term.blocks} * sizeof(SkipEntry) : 0;
  if (skips > list.size()) damaged("a term's skip entries run past its postings");
  term.skips = list.first(skips);
  term.data = list.subspan(skips);
  return term;
}

void SegmentReader::decode_block(const TermBlocks& term, std::uint32_t block, DecodedBlock& out) const {
  std::uint64_t begin = 0;
  std::uint64_t end = term.data.size();
  std::uint64_t base = 0;
  if (term.blocks > 1) {
    const SkipEntry skip = term.skip(block);
    end = skip.end;
    if (block > 0) {
      const SkipEntry previous = term.skip(block - 1);
      begin = previous.end;
      base = std::uint64_t{previous.last_doc} + 1;
    }
  }
  if (begin > end || end > term.data.size() || base >= doc_count() ||
      !index::decode_block(term.data.subspan(begin, end - begin), static_cast<std::uint32_t>(base),
                           term.count(block), doc_count(), out)) {
    damaged("a posting list is not as written");
  }
  if (term.blocks == 1) return;
  const SkipEntry skip = term.skip(block);
  bool within = out.docs[out.count - 1] == skip.last_doc;
  for (std::uint32_t i = 0; i < out.count; ++i) {
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      within &= skip.max_tf[field] == 255 || out.frequencies[i].tf[field] <= skip.max_tf[field];
    }
  }
  if (!within) damaged("a posting list does not match its skip entries");
}

std::uint32_t stored_check(std::string_view metadata, std::string_view symbols) {
  return static_cast<std::uint32_t>(XXH3_64bits_withSeed(symbols.data(), symbols.size(),
                                                         XXH3_64bits(metadata.data(), metadata.size())));
}

void SegmentReader::check_stored(std::uint32_t doc) const {
  if (stored_checks_.empty()) return;
  if (stored_check(metadata(doc), symbols(doc)) != stored_checks_[doc]) damaged("a document's stored text is not as written");
}

// The checksum and the layout, as format-2 segments are checked at open.
void SegmentReader::verify_whole_file() const {
  const std::size_t body = bytes_.size() - sizeof(SegmentFooter);
  SegmentFooter footer;
  std::memcpy(&footer, bytes_.data() + body, sizeof footer);
  if (XXH3_64bits(bytes_.data(), body) != footer.checksum) damaged("its checksum does not match");
  verify_structure();
}

void SegmentReader::verify() const {
  verify_whole_file();
  for (const TermEntry& entry : terms_) {
    if (format() == kVarintSegmentFormat) {
      for_each_posting(entry, [](std::uint32_t, const FieldFrequencies&) {});
    } else {
      verify_blocks(entry);
    }
  }
}

void SegmentReader::verify_structure() const {
  std::uint64_t totals[kFieldCount] = {};
  for (const DocumentRecord& record : records_) {
    for (std::size_t field = 0; field < kFieldCount; ++field) totals[field] += record.lengths[field];
  }
  for (std::size_t field = 0; field < kFieldCount; ++field) {
    if (totals[field] != header().total_lengths[field]) damaged("its document lengths do not add up");
  }
  for (std::uint32_t doc = 0; doc < doc_count(); ++doc) {
    metadata(doc);
    symbols(doc);
    check_stored(doc);
  }
  for (std::size_t i = 1; i < terms_.size(); ++i) {
    if (terms_[i - 1].term >= terms_[i].term || terms_[i - 1].postings_offset >= terms_[i].postings_offset) {
      damaged("its term table is out of order");
    }
  }
  if (!terms_.empty() && terms_[0].postings_offset != 0) damaged("its term table is out of order");
}

// Each block decodes, the blocks fill the term's bytes, and each skip entry
// holds exactly what its documents have.
void SegmentReader::verify_blocks(const TermEntry& entry) const {
  const TermBlocks term = term_blocks(entry);
  DecodedBlock block;
  for (std::uint32_t b = 0; b < term.blocks; ++b) {
    decode_block(term, b, block);
    if (term.blocks == 1) continue;
    SkipEntry expected{};
    std::uint32_t min_length[kFieldCount] = {UINT32_MAX, UINT32_MAX, UINT32_MAX};
    for (std::uint32_t i = 0; i < block.count; ++i) {
      const DocumentRecord& record = records_[block.docs[i]];
      expected.roles |= static_cast<std::uint8_t>(record.roles & 0x3F);
      for (std::size_t field = 0; field < kFieldCount; ++field) {
        const std::uint32_t tf = block.frequencies[i].tf[field];
        if (tf == 0) continue;
        expected.max_tf[field] = static_cast<std::uint8_t>(std::max<std::uint32_t>(expected.max_tf[field], std::min(tf, 255u)));
        min_length[field] = std::min(min_length[field], record.lengths[field]);
      }
    }
    const SkipEntry stated = term.skip(b);
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      expected.min_length[field] = min_length[field] == UINT32_MAX ? 0 : length_code(min_length[field]);
    }
    if (std::memcmp(expected.max_tf, stated.max_tf, sizeof expected.max_tf) != 0 ||
        std::memcmp(expected.min_length, stated.min_length, sizeof expected.min_length) != 0 ||
        expected.roles != stated.roles) {
      damaged("a skip entry does not bound its block");
    }
  }
  if (term.blocks > 1 && term.skip(term.blocks - 1).end != term.data.size()) {
    damaged("a term's blocks do not fill its postings");
  }
}

}  // namespace vorpaline_core::index
