#include "Cavlc.h"

#include "CavlcTables.h"

#include <cstdlib>

namespace h264
{
namespace
{

void WriteVlc(BitWriter& writer, Vlc vlc)
{
    writer.WriteBits(vlc.uCode, vlc.nLength);
}

// One level other than a trailing one, as level_prefix and level_suffix,
// with levelCode already reduced by 2 where the syntax adds 2 back.
void WriteLevelCode(BitWriter& writer, int32_t nLevelCode, int nSuffixLength)
{
    int nPrefix;
    int nSuffixBits;
    int32_t nSuffix;
    if (nSuffixLength == 0 && nLevelCode < 14)
    {
        nPrefix = nLevelCode;
        nSuffixBits = 0;
        nSuffix = 0;
    }
    else if (nSuffixLength == 0 && nLevelCode < 30)
    {
        nPrefix = 14;
        nSuffixBits = 4;
        nSuffix = nLevelCode - 14;
    }
    else if (nSuffixLength > 0 && nLevelCode < (15 << nSuffixLength))
    {
        nPrefix = nLevelCode >> nSuffixLength;
        nSuffixBits = nSuffixLength;
        nSuffix = nLevelCode & ((1 << nSuffixLength) - 1);
    }
    else
    {
        // The escape: level_prefix 15 with a 12-bit suffix. Quantisation
        // keeps levels small enough for it.
        nPrefix = 15;
        nSuffixBits = 12;
        nSuffix = nLevelCode - (nSuffixLength == 0 ? 30 : (15 << nSuffixLength));
    }
    writer.WriteBits(0, nPrefix);
    writer.WriteBits(1, 1);
    writer.WriteBits(static_cast<uint32_t>(nSuffix), nSuffixBits);
}

} // namespace

int PredictNc(int nLeft, int nAbove)
{
    if (nLeft >= 0 && nAbove >= 0)
        return (nLeft + nAbove + 1) >> 1;
    if (nLeft >= 0)
        return nLeft;
    if (nAbove >= 0)
        return nAbove;
    return 0;
}

int WriteResidualBlock(BitWriter& writer, const int32_t* pLevels, int nCount, int nC)
{
    // The non-zero levels from the highest frequency down, with the zeros
    // that run before each.
    int32_t levels[16];
    int runs[16];
    int nTotal = 0;
    int nLast = -1;
    for (int i = nCount - 1; i >= 0; --i)
    {
        if (pLevels[i] == 0)
            continue;
        if (nTotal > 0)
            runs[nTotal - 1] = nLast - i - 1;
        levels[nTotal++] = pLevels[i];
        nLast = i;
    }
    if (nTotal > 0)
        runs[nTotal - 1] = nLast;

    int nTrailingOnes = 0;
    while (nTrailingOnes < nTotal && nTrailingOnes < 3 && std::abs(levels[nTrailingOnes]) == 1)
        ++nTrailingOnes;

    WriteVlc(writer, nC == kChromaDcNc ? ChromaDcCoeffTokenVlc(nTotal, nTrailingOnes)
                                       : CoeffTokenVlc(CoeffTokenTableFor(nC), nTotal, nTrailingOnes));
    if (nTotal == 0)
        return 0;

    for (int i = 0; i < nTrailingOnes; ++i)
        writer.WriteFlag(levels[i] < 0);

    int nSuffixLength = (nTotal > 10 && nTrailingOnes < 3) ? 1 : 0;
    for (int i = nTrailingOnes; i < nTotal; ++i)
    {
        const int32_t nLevel = levels[i];
        int32_t nLevelCode = nLevel > 0 ? 2 * nLevel - 2 : -2 * nLevel - 1;
        // After fewer than three trailing ones the next level cannot be
        // +-1, so the syntax shifts its code down by 2.
        if (i == nTrailingOnes && nTrailingOnes < 3)
            nLevelCode -= 2;
        WriteLevelCode(writer, nLevelCode, nSuffixLength);
        if (nSuffixLength == 0)
            nSuffixLength = 1;
        if (std::abs(nLevel) > (3 << (nSuffixLength - 1)) && nSuffixLength < 6)
            ++nSuffixLength;
    }

    int nZerosLeft = 0;
    for (int i = 0; i < nTotal; ++i)
        nZerosLeft += runs[i];
    if (nTotal < nCount)
    {
        WriteVlc(writer, nC == kChromaDcNc ? ChromaDcTotalZerosVlc(nTotal, nZerosLeft)
                                           : TotalZerosVlc(nTotal, nZerosLeft));
    }
    for (int i = 0; i < nTotal - 1 && nZerosLeft > 0; ++i)
    {
        WriteVlc(writer, RunBeforeVlc(nZerosLeft, runs[i]));
        nZerosLeft -= runs[i];
    }
    return nTotal;
}

} // namespace h264
