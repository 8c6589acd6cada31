// Classifying whole 64-byte blocks of text, with the widest SIMD the CPU has.
#pragma once

#include <cstddef>

#include "byte_classes.hpp"

namespace vorpaline_core {

// Writes the masks of `blocks` blocks of 64 bytes from `text` to `masks`, and
// the bytes, A-Z lower-cased, to `lowered`. Every member of every mask is
// written.
using ClassifyBlocks = void (*)(const char* text, std::size_t blocks, BlockMasks* masks, char* lowered);

// AVX-512BW, AVX2 or SSE2 (or plain C++ off x86), as the CPU running the
// process supports, chosen once: the wheel runs on any x86-64.
ClassifyBlocks classify_blocks_for_this_cpu();

}  // namespace vorpaline_core
