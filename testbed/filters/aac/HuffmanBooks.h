// The Huffman codebooks of AAC: the scale factor book and the eleven
// spectral books, with what each spectral book carries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace aac
{

// A code word, right-aligned in uBits and sent most significant bit first.
struct HuffmanCode
{
    uint32_t uBits;
    uint8_t nLength;
};

// A spectral book codes a tuple of nDimension quantised values as one code
// word. The index of a tuple takes its first value as the most significant
// digit: in a signed book each digit is value + nLargest in base
// 2 * nLargest + 1; in an unsigned book each digit is |value| in base
// nLargest + 1, and a sign bit (1: negative) follows the code word for each
// value that is not zero. In the escape book an absolute value of 16 or more
// is coded as 16, and an escape follows the sign bits.
struct SpectrumBook
{
    int nDimension;
    bool bSigned;
    int nLargest;
    const HuffmanCode* pCodes;
    size_t cCodes;
};

constexpr int kZeroBook = 0; // a band of zeros: no scale factor, no spectrum
constexpr int kFirstSpectrumBook = 1;
constexpr int kLastSpectrumBook = 11;
constexpr int kEscapeBook = 11;
constexpr int kEscapeMarker = 16;
// The largest absolute value an escape can carry: 2^13 + (2^12 - 1) would
// need an escape prefix of 9 ones; 8 is the most there is.
constexpr int kLargestQuantisedValue = 8191;
// Scale factors are coded as the difference to the one before, -60 to 60.
constexpr int kLargestScaleFactorStep = 60;

// Books kFirstSpectrumBook to kLastSpectrumBook.
const SpectrumBook& SpectrumBookOf(int nBook);
// nDifference from -60 to 60.
const HuffmanCode& ScaleFactorCodeOf(int nDifference);

namespace huffman_data
{
extern const HuffmanCode kScaleFactorCodes[121];
extern const HuffmanCode kSpectrumCodes1[81];
extern const HuffmanCode kSpectrumCodes2[81];
extern const HuffmanCode kSpectrumCodes3[81];
extern const HuffmanCode kSpectrumCodes4[81];
extern const HuffmanCode kSpectrumCodes5[81];
extern const HuffmanCode kSpectrumCodes6[81];
extern const HuffmanCode kSpectrumCodes7[64];
extern const HuffmanCode kSpectrumCodes8[64];
extern const HuffmanCode kSpectrumCodes9[169];
extern const HuffmanCode kSpectrumCodes10[169];
extern const HuffmanCode kSpectrumCodes11[289];
} // namespace huffman_data

} // namespace aac
