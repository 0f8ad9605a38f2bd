// Quantised spectral lines as Huffman code words: what a band costs in each
// book, and its bits.
#pragma once

#include "BitWriter.h"

namespace aac
{

// Bits that cCount values (a multiple of the book's dimension) take in a
// spectral book, sign bits and escapes included; kUncodable when a value
// is beyond what the book holds.
constexpr int kUncodable = 1 << 28;
int SpectrumBits(const int* pValues, int cCount, int nBook);

// Writes them; the book must hold every value (SpectrumBits < kUncodable).
void WriteSpectrum(BitWriter& writer, const int* pValues, int cCount, int nBook);

// The first book that can hold a largest absolute value (kZeroBook for 0);
// every later book holds it too.
int FirstBookFor(int nLargestMagnitude);

} // namespace aac
