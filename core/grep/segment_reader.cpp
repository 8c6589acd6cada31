#include "segment_reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "scan/unique_fd.hpp"

namespace vorpaline_core::grep {

namespace {

constexpr std::uint32_t kKeyMask = kBitmapList - 1;

}  // namespace

void GrepSegmentReader::damaged(const std::string& what) const {
  throw std::system_error(EIO, std::generic_category(), "grep segment " + path_ + " is damaged: " + what);
}

GrepSegmentReader::GrepSegmentReader(const std::string& path) : path_(path) {
  const scan::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size < sizeof(GrepHeader)) damaged("it is too short");
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0);
  if (mapped == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "cannot map " + path);
  bytes_ = {static_cast<const unsigned char*>(mapped), size};
  try {
    check_layout();
  } catch (...) {
    ::munmap(mapped, size);
    throw;
  }
}

GrepSegmentReader::~GrepSegmentReader() { ::munmap(const_cast<unsigned char*>(bytes_.data()), bytes_.size()); }

void GrepSegmentReader::check_layout() {
  GrepHeader head;
  std::memcpy(&head, bytes_.data(), sizeof head);
  if (std::memcmp(head.magic, kGrepMagic, sizeof head.magic) != 0) damaged("it is not a grep segment");
  if (head.format != kGrepFormat) damaged("its format is " + std::to_string(head.format));
  const std::uint64_t stated = head.header_checksum;
  head.header_checksum = 0;
  if (XXH3_64bits(&head, sizeof head) != stated) damaged("its header checksum does not match");
  // Each section's size within the file, added without overflow: every count is far below 2^32.
  const std::uint64_t size = bytes_.size();
  const std::uint64_t table = std::uint64_t{head.doc_count} * sizeof(GrepFileEntry);
  const std::uint64_t dictionary = std::uint64_t{head.key_count} * sizeof(GrepKeyEntry);
  const std::uint64_t fixed = sizeof(GrepHeader) + table + dictionary;
  if (fixed > size || head.paths_size > size - fixed || head.postings_size > size - fixed - head.paths_size ||
      fixed + head.paths_size + head.postings_size != size) {
    damaged("its size does not match its header");
  }
  const unsigned char* at = bytes_.data() + sizeof(GrepHeader);
  files_ = {reinterpret_cast<const GrepFileEntry*>(at), head.doc_count};
  at += table;
  paths_ = {reinterpret_cast<const char*>(at), head.paths_size};
  at += head.paths_size;
  postings_ = {at, head.postings_size};
  at += head.postings_size;
  dictionary_ = {reinterpret_cast<const GrepKeyEntry*>(at), head.key_count};

  XXH3_state_t hash;
  XXH3_64bits_reset(&hash);
  XXH3_64bits_update(&hash, files_.data(), table);
  XXH3_64bits_update(&hash, paths_.data(), paths_.size());
  XXH3_64bits_update(&hash, dictionary_.data(), dictionary);
  if (XXH3_64bits_digest(&hash) != head.tables_checksum) damaged("its tables' checksum does not match");

  for (const GrepFileEntry& entry : files_) {
    if (entry.path_offset > paths_.size() || entry.path_size > paths_.size() - entry.path_offset) {
      damaged("a path lies outside its section");
    }
  }
  const std::size_t bitmap_size = (std::size_t{head.doc_count} + 7) / 8;
  for (std::size_t i = 0; i < dictionary_.size(); ++i) {
    const GrepKeyEntry& entry = dictionary_[i];
    if (i > 0 && (entry.key & kKeyMask) <= (dictionary_[i - 1].key & kKeyMask)) damaged("its keys are out of order");
    const std::uint64_t end = i + 1 < dictionary_.size() ? dictionary_[i + 1].offset : postings_.size();
    if (entry.offset > end || end > postings_.size() || entry.docs == 0 || entry.docs > head.doc_count) {
      damaged("a posting list lies outside its section");
    }
    if ((entry.key & kBitmapList) != 0 && end - entry.offset < bitmap_size) damaged("a bitmap list is short");
  }
}

std::string_view GrepSegmentReader::doc_path(std::uint32_t doc) const {
  const GrepFileEntry& entry = files_[doc];
  return {paths_.data() + entry.path_offset, entry.path_size};
}

const GrepKeyEntry* GrepSegmentReader::find(std::uint32_t key) const {
  const auto found = std::lower_bound(dictionary_.begin(), dictionary_.end(), key,
                                      [](const GrepKeyEntry& entry, std::uint32_t k) { return (entry.key & kKeyMask) < k; });
  if (found == dictionary_.end() || (found->key & kKeyMask) != key) return nullptr;
  return &*found;
}

std::span<const unsigned char> GrepSegmentReader::list_of(const GrepKeyEntry& entry) const {
  const std::size_t index = static_cast<std::size_t>(&entry - dictionary_.data());
  const std::uint64_t end = index + 1 < dictionary_.size() ? dictionary_[index + 1].offset : postings_.size();
  return postings_.subspan(entry.offset, end - entry.offset);
}

template <class Visit>
void GrepSegmentReader::visit_docs(const GrepKeyEntry& entry, Visit&& visit) const {
  const std::span<const unsigned char> list = list_of(entry);
  const std::uint32_t count = doc_count();
  if ((entry.key & kBitmapList) != 0) {
    for (std::uint32_t doc = 0; doc < count; ++doc) {
      if ((list[doc >> 3] >> (doc & 7)) & 1) visit(doc);
    }
    return;
  }
  std::size_t at = 0;
  std::uint64_t doc = 0;
  for (std::uint32_t n = 0; n < entry.docs; ++n) {
    std::uint64_t gap = 0;
    for (int shift = 0;; shift += 7) {
      if (at >= list.size() || shift > 35) damaged("a posting list is cut short");
      const unsigned char byte = list[at++];
      gap |= std::uint64_t{byte & 0x7Fu} << shift;
      if (byte < 0x80) break;
    }
    if (n > 0 && gap == 0) damaged("a posting list is out of order");
    doc = n == 0 ? gap : doc + gap;
    if (doc >= count) damaged("a posting list names a doc it does not have");
    visit(static_cast<std::uint32_t>(doc));
  }
}

void GrepSegmentReader::mark_docs(const GrepKeyEntry& entry, std::vector<std::uint64_t>& bits) const {
  if ((entry.key & kBitmapList) != 0) {
    const std::span<const unsigned char> list = list_of(entry);
    const std::size_t bytes = (std::size_t{doc_count()} + 7) / 8;
    for (std::size_t i = 0; i < bytes; ++i) bits[i / 8] |= std::uint64_t{list[i]} << (8 * (i % 8));
    return;
  }
  visit_docs(entry, [&bits](std::uint32_t doc) { bits[doc >> 6] |= std::uint64_t{1} << (doc & 63); });
}

void GrepSegmentReader::docs_of(const GrepKeyEntry& entry, std::vector<std::uint32_t>& docs) const {
  docs.clear();
  visit_docs(entry, [&docs](std::uint32_t doc) { docs.push_back(doc); });
}

void GrepSegmentReader::check_postings() const {
  if (XXH3_64bits(postings_.data(), postings_.size()) != header().postings_checksum) {
    damaged("its postings' checksum does not match");
  }
}

}  // namespace vorpaline_core::grep
