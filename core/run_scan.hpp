// Finds the runs of word characters (and joiners) that tokens come from.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorpaline_core {

struct Run {
  std::size_t start;  // byte offsets in the text
  std::size_t end;
  unsigned kinds;  // kind_bit of every kind seen, plus kNonAsciiBit if any
};

class RunHandler {
 public:
  virtual void on_run(const Run& run) = 0;

 protected:
  ~RunHandler() = default;
};

// Hands each maximal run of characters whose kind is in `run_bits` to the
// handler, in text order. Pure-ASCII stretches are scanned 64 bytes at a time.
void scan_runs(std::string_view text, unsigned run_bits, RunHandler& handler);

}  // namespace vorpaline_core
