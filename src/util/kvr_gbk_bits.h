// Bit tricks on GBK text and on kept bytes that the response and POST
// checks share.
#pragma once

#include <cstdint>

// Of up to 64 bytes with lead bits `lead` (valid below `valid`), the ones
// that are second bytes, given whether the first is (carry); and whether
// the byte after them is.
//
// In a run of lead bytes, starts and second bytes alternate from the run's
// first byte; the byte after a run is a second byte when the run is odd.
// The parity of where each run begins is found by adding the run's first
// bit to the run, which clears it and sets the bit after it.
inline uint64_t kvrGbkSecondBytes(uint64_t lead, uint64_t valid, uint64_t top, uint64_t *carry) {
  constexpr uint64_t kEven = 0x5555555555555555ull, kOdd = ~kEven;
  const uint64_t runStarts = lead & ~(lead << 1);
  // A run that begins with a second byte has its starts odd. Without
  // branches: in Chinese text whether the first byte is a second byte is as
  // good as random, and a mispredicted branch here would cost more than the
  // rest of the function.
  const uint64_t carried = *carry & 1, odd0 = carried & lead;
  const uint64_t evenStarts = runStarts & kEven & ~odd0, oddStarts = (runStarts & kOdd) | odd0;
  const uint64_t evenCarries = lead + evenStarts, oddCarries = lead + oddStarts;
  const uint64_t evenRuns = lead & ~evenCarries, oddRuns = lead & ~oddCarries;
  const uint64_t evenEnds = evenCarries & ~lead, oddEnds = oddCarries & ~lead;
  const uint64_t second =
      (((evenRuns | evenEnds) & kOdd) | ((oddRuns | oddEnds) & kEven) | carried) & valid;
  *carry = static_cast<uint64_t>((lead & top) != 0) & static_cast<uint64_t>((second & top) == 0);
  return second;
}

// For each set of eight kept bytes, where they come from: packs them with
// one byte shuffle.
struct KvrPackTable {
  alignas(8) unsigned char from[256][8];
  constexpr KvrPackTable() : from() {
    for (int m = 0; m < 256; ++m) {
      int k = 0;
      for (int j = 0; j < 8; ++j)
        if (m >> j & 1) from[m][k++] = static_cast<unsigned char>(j);
      for (; k < 8; ++k) from[m][k] = 0x80;
    }
  }
};
inline constexpr KvrPackTable kKvrPack;
