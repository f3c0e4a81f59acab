#include "claude_files/skim.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace claude_files {
namespace {

constexpr size_t BLOCK = 64;

// Bit i set where p[i] == c, for the BLOCK bytes from p.
uint64_t bitsEqual(const char* p, char c) {
#if defined(__SSE2__)
  __m128i want = _mm_set1_epi8(c);
  uint64_t bits = 0;
  for (size_t i = 0; i < BLOCK / 16; ++i) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    bits |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, want)))} << (16 * i);
  }
  return bits;
#else
  uint64_t bits = 0;
  for (size_t i = 0; i < BLOCK; ++i) {
    bits |= uint64_t{p[i] == c} << i;
  }
  return bits;
#endif
}

// The bytes of a block that a backslash escapes: those right after a run of backslashes of odd
// length. `carry` says such a run ended the previous block, and is set when one ends this block.
// Without a branch per backslash: a tool's output has one every few dozen bytes.
uint64_t escapedBits(uint64_t backslashes, bool* carry) {
  constexpr uint64_t EVEN = 0x5555555555555555ULL;
  uint64_t starts = backslashes & ~(backslashes << 1);
  // A run going on from the previous block starts at 0 but counts as begun at an odd place.
  uint64_t evenPlaces = EVEN ^ uint64_t { *carry };
  uint64_t evenStarts = starts & evenPlaces, oddStarts = starts & ~evenPlaces;
  // Adding a run's first bit to it carries to the byte just past its end.
  uint64_t evenEnds = (backslashes + evenStarts) & ~backslashes;
  uint64_t oddSums = 0;
  bool oddRunOut = __builtin_add_overflow(backslashes, oddStarts, &oddSums);
  uint64_t oddEnds = (oddSums | uint64_t{*carry}) & ~backslashes;
  *carry = oddRunOut;
  return (evenEnds & ~EVEN) | (oddEnds & EVEN);
}

}  // namespace

bool withoutLongStrings(std::string_view line, size_t longest, std::string* out) {
  out->clear();
  const char* begin = line.data();
  const char* copied = begin;  // bytes before this are in `out`
  const char* open = nullptr;  // the quote that opened the string we are in
  bool carry = false;
  char tail[BLOCK];
  for (size_t at = 0; at < line.size(); at += BLOCK) {
    const char* block = begin + at;
    if (line.size() - at < BLOCK) {  // never read past the line
      std::memset(tail, 0, BLOCK);
      std::memcpy(tail, block, line.size() - at);
      block = tail;
    }
    uint64_t quotes = bitsEqual(block, '"') & ~escapedBits(bitsEqual(block, '\\'), &carry);
    for (; quotes != 0; quotes &= quotes - 1) {
      const char* quote = begin + at + static_cast<size_t>(std::countr_zero(quotes));
      if (open == nullptr) {
        open = quote;
        continue;
      }
      if (static_cast<size_t>(quote - open) > longest) {
        out->append(copied, open + 1);
        copied = quote;
      }
      open = nullptr;
    }
  }
  if (open != nullptr) {
    return false;
  }
  out->append(copied, begin + line.size());
  out->append(simdjson::SIMDJSON_PADDING, ' ');
  return true;
}

}  // namespace claude_files
