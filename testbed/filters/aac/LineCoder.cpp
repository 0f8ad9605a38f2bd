#include "LineCoder.h"

#include "HuffmanBooks.h"

#include <cstdlib>

namespace aac
{
namespace
{

// The code word's index of one tuple: its first value the most significant
// digit.
int TupleIndex(const SpectrumBook& book, const int* pValues)
{
    int nIndex = 0;
    if (book.bSigned)
    {
        const int nBase = 2 * book.nLargest + 1;
        for (int i = 0; i < book.nDimension; ++i)
            nIndex = nIndex * nBase + pValues[i] + book.nLargest;
    }
    else
    {
        const int nBase = book.nLargest + 1;
        for (int i = 0; i < book.nDimension; ++i)
        {
            const int nMagnitude = std::abs(pValues[i]);
            nIndex = nIndex * nBase + (nMagnitude < kEscapeMarker ? nMagnitude : kEscapeMarker);
        }
    }
    return nIndex;
}

// The escape of a magnitude of 16 or more: N ones, a zero and an (N + 4)-bit
// word w, for 2^(N + 4) + w.
int EscapeLength(int nMagnitude)
{
    int nWordBits = 4;
    while ((nMagnitude >> (nWordBits + 1)) != 0)
        ++nWordBits;
    return 2 * nWordBits - 3; // (N ones + a zero) + (N + 4) bits, N = nWordBits - 4
}

void WriteEscape(BitWriter& writer, int nMagnitude)
{
    int nWordBits = 4;
    while ((nMagnitude >> (nWordBits + 1)) != 0)
        ++nWordBits;
    const int nOnes = nWordBits - 4;
    writer.WriteBits((1u << nOnes) - 1, nOnes);
    writer.WriteBits(0, 1);
    writer.WriteBits(static_cast<uint32_t>(nMagnitude) - (1u << nWordBits), nWordBits);
}

bool Holds(const SpectrumBook& book, int nMagnitude)
{
    return nMagnitude <= book.nLargest || (book.nLargest == kEscapeMarker && nMagnitude <= kLargestQuantisedValue);
}

} // namespace

int SpectrumBits(const int* pValues, int cCount, int nBook)
{
    const SpectrumBook& book = SpectrumBookOf(nBook);
    int nBits = 0;
    for (int i = 0; i < cCount; i += book.nDimension)
    {
        for (int j = 0; j < book.nDimension; ++j)
        {
            const int nMagnitude = std::abs(pValues[i + j]);
            if (!Holds(book, nMagnitude))
                return kUncodable;
            if (!book.bSigned && nMagnitude != 0)
                ++nBits;
            if (nMagnitude >= kEscapeMarker && book.nLargest == kEscapeMarker)
                nBits += EscapeLength(nMagnitude);
        }
        nBits += book.pCodes[TupleIndex(book, pValues + i)].nLength;
    }
    return nBits;
}

void WriteSpectrum(BitWriter& writer, const int* pValues, int cCount, int nBook)
{
    const SpectrumBook& book = SpectrumBookOf(nBook);
    for (int i = 0; i < cCount; i += book.nDimension)
    {
        const HuffmanCode& code = book.pCodes[TupleIndex(book, pValues + i)];
        writer.WriteBits(code.uBits, code.nLength);
        if (book.bSigned)
            continue;
        for (int j = 0; j < book.nDimension; ++j)
        {
            if (pValues[i + j] != 0)
                writer.WriteFlag(pValues[i + j] < 0);
        }
        if (book.nLargest != kEscapeMarker)
            continue;
        for (int j = 0; j < book.nDimension; ++j)
        {
            const int nMagnitude = std::abs(pValues[i + j]);
            if (nMagnitude >= kEscapeMarker)
                WriteEscape(writer, nMagnitude);
        }
    }
}

int FirstBookFor(int nLargestMagnitude)
{
    if (nLargestMagnitude == 0)
        return kZeroBook;
    for (int nBook = kFirstSpectrumBook; nBook < kLastSpectrumBook; ++nBook)
    {
        if (nLargestMagnitude <= SpectrumBookOf(nBook).nLargest)
            return nBook;
    }
    return kEscapeBook;
}

} // namespace aac
