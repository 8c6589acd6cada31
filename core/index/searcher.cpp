#include "searcher.hpp"

#include <simdjson.h>

#include "embed/batch_texts.hpp"
#include "embed/embedder.hpp"
#include "input_error.hpp"
#include "padded_json.hpp"
#include "defined_names.hpp"
#include "document_text.hpp"
#include "segment_writer.hpp"

namespace vorpaline_core::index {

SegmentStats build_segment(const std::string& path, const Profile& profile, std::string_view texts_json,
                           std::string_view metadata_json) {
  const BatchTexts texts(texts_json);
  const BatchTexts metadata(metadata_json);
  if (texts.texts().size() != metadata.texts().size()) {
    throw InputError("build_segment: " + std::to_string(texts.texts().size()) + " texts but " +
                     std::to_string(metadata.texts().size()) + " metadata strings");
  }
  Embedder embedder(profile);
  SegmentWriter writer;
  std::uint32_t terms = 0;
  std::string terms_text;
  for (std::size_t i = 0; i < texts.texts().size(); ++i) {
    document_terms_text(texts.texts()[i], {}, terms_text);
    const auto counted = embedder.count_terms_unsorted(terms_text);
    terms += static_cast<std::uint32_t>(counted.size());
    writer.add(counted, metadata.texts()[i]);
  }
  writer.write(path);
  return {writer.doc_count(), terms};
}

OpenSegments::OpenSegments(std::string_view segments_json) {
  const PaddedCopy padded(segments_json);
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (parser.parse(padded).get(document) != simdjson::SUCCESS) throw InputError("segments: not valid JSON");
  simdjson::dom::array segments;
  if (document.get_array().get(segments) != simdjson::SUCCESS) throw InputError("segments: not a JSON array");
  for (simdjson::dom::element segment : segments) {
    std::string_view path;
    simdjson::dom::array deleted;
    if (segment["path"].get_string().get(path) != simdjson::SUCCESS ||
        segment["deleted"].get_array().get(deleted) != simdjson::SUCCESS) {
      throw InputError("segments: each must be {\"path\": str, \"deleted\": [doc ids]}");
    }
    auto reader = std::make_unique<SegmentReader>(std::string(path));
    std::vector<std::uint64_t> bits;
    LiveSegment live{reader.get(), {}, 0, {}};
    for (simdjson::dom::element id : deleted) {
      std::uint64_t doc = 0;
      if (id.get_uint64().get(doc) != simdjson::SUCCESS || doc >= reader->doc_count()) {
        throw InputError("segments: a deleted document id is not one of " + std::string(path));
      }
      if (bits.empty()) bits.assign((reader->doc_count() + 63) / 64, 0);
      const std::uint64_t bit = std::uint64_t{1} << (doc % 64);
      if ((bits[doc / 64] & bit) != 0) continue;
      bits[doc / 64] |= bit;
      ++live.deleted_count;
      const DocumentRecord& record = reader->record(static_cast<std::uint32_t>(doc));
      for (std::size_t field = 0; field < kFieldCount; ++field) live.deleted_lengths[field] += record.lengths[field];
    }
    readers_.push_back(std::move(reader));
    deleted_.push_back(std::move(bits));
    live_.push_back(live);
  }
  for (std::size_t i = 0; i < live_.size(); ++i) live_[i].deleted = deleted_[i];
}

SegmentStats merge_segments(const std::string& path, std::string_view segments_json) {
  const OpenSegments inputs(segments_json);
  // A damaged input must not live on in a merged segment with a checksum of its own.
  for (const LiveSegment& segment : inputs.live()) segment.reader->verify();
  SegmentWriter writer;
  std::vector<std::vector<std::uint32_t>> new_ids;
  for (const LiveSegment& segment : inputs.live()) {
    std::vector<std::uint32_t>& ids = new_ids.emplace_back(segment.reader->doc_count(), UINT32_MAX);
    for (std::uint32_t doc = 0; doc < segment.reader->doc_count(); ++doc) {
      if (segment.is_deleted(doc)) continue;
      ids[doc] = writer.add_document(segment.reader->record(doc), segment.reader->metadata(doc),
                                     segment.reader->symbols(doc));
    }
  }
  // Segment by segment, each term's documents ascending: after the writer's
  // stable sort by term, every term's new ids ascend too.
  std::uint32_t postings = 0;
  for (std::size_t s = 0; s < new_ids.size(); ++s) {
    const LiveSegment& segment = inputs.live()[s];
    for (const TermEntry& entry : segment.reader->terms()) {
      segment.reader->for_each_posting(entry, [&](std::uint32_t doc, const FieldFrequencies& frequencies) {
        if (new_ids[s][doc] == UINT32_MAX) return;
        writer.add_posting(entry.term, new_ids[s][doc], frequencies);
        ++postings;
      });
    }
  }
  writer.write(path);
  return {writer.doc_count(), postings};
}

std::uint64_t Searcher::documents() const {
  std::uint64_t count = 0;
  for (const LiveSegment& segment : segments_.live()) count += segment.reader->doc_count() - segment.deleted_count;
  return count;
}

namespace {

std::vector<std::uint32_t> query_terms(std::string_view query, const Profile& profile) {
  Embedder embedder(profile);
  std::vector<std::uint32_t> terms;
  for (const TermCount& term : embedder.count_terms(query)) terms.push_back(term.index);
  return terms;
}

Hit hit_of(std::span<const LiveSegment> live, const ScoredDoc& scored) {
  const SegmentReader& reader = *live[scored.segment].reader;
  reader.check_stored(scored.doc);
  return {scored.segment, scored.doc, scored.score, reader.metadata(scored.doc), reader.symbols(scored.doc),
          reader.record(scored.doc).roles};
}

}  // namespace

std::vector<Hit> Searcher::search(std::string_view query, const Profile& profile, std::size_t k,
                                  const Bm25Parameters& parameters) const {
  std::vector<Hit> hits;
  const std::span<const LiveSegment> live = segments_.live();
  for (const ScoredDoc& scored : search_bm25(live, query_terms(query, profile), k, parameters)) {
    hits.push_back(hit_of(live, scored));
  }
  return hits;
}

std::vector<Hit> Searcher::with_symbols(std::string_view name, const Profile& profile, Field field) const {
  std::vector<Hit> hits;
  const std::span<const LiveSegment> live = segments_.live();
  std::string lowered(name);
  for (char& c : lowered) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  const std::string words = field == kNamesField ? std::string(name) : name_words(name);
  for (const ScoredDoc& found : documents_with_all(live, query_terms(words, profile), field)) {
    const std::string_view symbols = live[found.segment].reader->symbols(found.doc);
    if (!symbols.empty() && names_symbol(symbols, lowered, field != kNamesField)) hits.push_back(hit_of(live, found));
  }
  return hits;
}

}  // namespace vorpaline_core::index
