// The H.264 encoder core: its bit writer, the standard's tables checked by
// their own properties, the transform and quantisation, CAVLC read back by
// the standard's parsing process, the structure of the stream it writes,
// and what it does with bad input.
#include "BitWriter.h"
#include "Cavlc.h"
#include "CavlcTables.h"
#include "H264Encoder.h"
#include "Intra4x4.h"
#include "Transform.h"
#include "TestPattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace h264;

namespace
{

// Reads what BitWriter writes, as a decoder would.
class BitReader
{
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}

    uint32_t ReadBit()
    {
        if (m_nPos >= m_bytes.size() * 8)
        {
            m_bOverrun = true;
            return 0;
        }
        const uint32_t uBit = m_bytes[m_nPos / 8] >> (7 - m_nPos % 8) & 1;
        ++m_nPos;
        return uBit;
    }
    uint32_t ReadBits(int nCount)
    {
        uint32_t uValue = 0;
        for (int i = 0; i < nCount; ++i)
            uValue = uValue << 1 | ReadBit();
        return uValue;
    }
    uint32_t ReadUe()
    {
        int nZeros = 0;
        while (ReadBit() == 0 && !m_bOverrun && nZeros < 32)
            ++nZeros;
        return static_cast<uint32_t>((uint64_t{1} << nZeros) - 1 + ReadBits(nZeros));
    }
    int32_t ReadSe()
    {
        const uint32_t k = ReadUe();
        return (k & 1) != 0 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
    size_t Position() const { return m_nPos; }
    bool Overrun() const { return m_bOverrun; }

private:
    const std::vector<uint8_t>& m_bytes;
    size_t m_nPos = 0;
    bool m_bOverrun = false;
};

// What a writer holds so far as '0' and '1'.
std::string BitString(BitWriter writer)
{
    const size_t nBits = writer.BitCount();
    writer.WriteTrailingBits();
    std::string bits;
    for (size_t i = 0; i < nBits; ++i)
        bits += (writer.Bytes()[i / 8] >> (7 - i % 8) & 1) != 0 ? '1' : '0';
    return bits;
}

// ---------------------------------------------------------------------------
// Bit writer and Exp-Golomb codes

TEST(H264BitWriter, WritesBitsMostSignificantFirst)
{
    BitWriter writer;
    writer.WriteBits(0x5, 3);
    writer.WriteBits(0x1F, 5);
    writer.WriteBits(0xABCD, 16);
    writer.WriteBits(0xFFFFFFFFu, 32);
    ASSERT_EQ(writer.BitCount(), 56u);
    const std::vector<uint8_t> expected = {0xBF, 0xAB, 0xCD, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(writer.Bytes(), expected);
    EXPECT_TRUE(writer.IsByteAligned());
}

TEST(H264BitWriter, UnsignedExpGolombCodesAreTheStandardsBitStrings)
{
    // Table 9-2: codeNum and its bit string.
    const struct
    {
        uint32_t uCodeNum;
        const char* pszBits;
    } kCases[] = {{0, "1"},       {1, "010"},     {2, "011"},       {3, "00100"},      {4, "00101"},
                  {5, "00110"},   {6, "00111"},   {7, "0001000"},   {14, "0001111"},   {15, "000010000"},
                  {254, "000000011111111"}, {255, "00000000100000000"}};
    for (const auto& c : kCases)
    {
        BitWriter writer;
        writer.WriteUe(c.uCodeNum);
        EXPECT_EQ(BitString(writer), c.pszBits) << c.uCodeNum;
        EXPECT_EQ(static_cast<size_t>(UeBitCount(c.uCodeNum)), writer.BitCount()) << c.uCodeNum;
    }
}

TEST(H264BitWriter, SignedExpGolombMapsAsTheStandardDoes)
{
    // Table 9-3: codeNum 1, 2, 3, 4 stand for 1, -1, 2, -2.
    const struct
    {
        int32_t nValue;
        uint32_t uCodeNum;
    } kCases[] = {{0, 0}, {1, 1}, {-1, 2}, {2, 3}, {-2, 4}, {3, 5}, {-30, 60}, {1000, 1999}};
    for (const auto& c : kCases)
    {
        BitWriter signedWriter, unsignedWriter;
        signedWriter.WriteSe(c.nValue);
        unsignedWriter.WriteUe(c.uCodeNum);
        EXPECT_EQ(BitString(signedWriter), BitString(unsignedWriter))
            << c.nValue;
        EXPECT_EQ(static_cast<size_t>(SeBitCount(c.nValue)), signedWriter.BitCount()) << c.nValue;
    }
}

TEST(H264BitWriter, ExpGolombReadsBackOverTheWholeRange)
{
    const uint32_t kValues[] = {0, 1, 2, 100, 65535, 65536, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu};
    const int32_t kSigned[] = {0, -1, 1, -65536, 65536, 2147483647, -2147483647};
    BitWriter writer;
    for (uint32_t u : kValues)
        writer.WriteUe(u);
    for (int32_t n : kSigned)
        writer.WriteSe(n);
    writer.WriteTrailingBits();
    BitReader reader(writer.Bytes());
    for (uint32_t u : kValues)
        EXPECT_EQ(reader.ReadUe(), u);
    for (int32_t n : kSigned)
        EXPECT_EQ(reader.ReadSe(), n);
    EXPECT_FALSE(reader.Overrun());
    EXPECT_EQ(UeBitCount(0xFFFFFFFFu), 65);
}

TEST(H264BitWriter, TrailingBitsEndTheByteWithAOneAndZeros)
{
    const struct
    {
        int nBitsBefore;
        std::vector<uint8_t> expected;
    } kCases[] = {{0, {0x80}}, {1, {0x40}}, {7, {0x01}}, {8, {0x00, 0x80}}};
    for (const auto& c : kCases)
    {
        BitWriter writer;
        writer.WriteBits(0, c.nBitsBefore);
        writer.WriteTrailingBits();
        EXPECT_EQ(writer.Bytes(), c.expected) << c.nBitsBefore;
    }
}

TEST(H264BitWriter, RewindDropsWhatCameAfter)
{
    // Rewinding to any point and writing on must equal writing that
    // directly, whether the point is inside a flushed byte or not.
    for (size_t nKeep : {0u, 3u, 8u, 13u, 16u, 21u, 29u})
    {
        BitWriter direct, rewound;
        direct.WriteBits(0xB5A3F1, 24);
        direct.WriteBits(0x6, 5);
        direct.Rewind(nKeep);
        rewound.WriteBits(0xB5A3F1, 24);
        rewound.WriteBits(0x6, 5);
        rewound.WriteBits(0x3FF, 10);
        rewound.Rewind(nKeep);
        ASSERT_EQ(rewound.BitCount(), nKeep);
        direct.WriteBits(0x2A, 7);
        rewound.WriteBits(0x2A, 7);
        EXPECT_EQ(BitString(rewound), BitString(direct)) << nKeep;
    }
}

TEST(H264BitWriter, NalUnitsEscapeEveryStartCodePrefix)
{
    const struct
    {
        std::vector<uint8_t> rbsp;
        std::vector<uint8_t> payload;
    } kCases[] = {
        {{0x00, 0x00, 0x00}, {0x00, 0x00, 0x03, 0x00}},
        {{0x00, 0x00, 0x01}, {0x00, 0x00, 0x03, 0x01}},
        {{0x00, 0x00, 0x02}, {0x00, 0x00, 0x03, 0x02}},
        {{0x00, 0x00, 0x03}, {0x00, 0x00, 0x03, 0x03}},
        {{0x00, 0x00, 0x04}, {0x00, 0x00, 0x04}},
        {{0x00, 0x00}, {0x00, 0x00}},
        {{0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00}},
        {{0x01, 0x00, 0x01, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x01, 0x00, 0x00, 0x03, 0x01}},
    };
    for (const auto& c : kCases)
    {
        const std::vector<uint8_t> nal = MakeNalUnit(NalType::Slice, 2, c.rbsp);
        ASSERT_FALSE(nal.empty());
        EXPECT_EQ(nal[0], 0x41); // nal_ref_idc 2, type 1
        EXPECT_EQ(std::vector<uint8_t>(nal.begin() + 1, nal.end()), c.payload);
    }
    std::vector<uint8_t> stream;
    AppendAnnexB({0x67, 0x42}, stream);
    EXPECT_EQ(stream, (std::vector<uint8_t>{0, 0, 0, 1, 0x67, 0x42}));
}

// ---------------------------------------------------------------------------
// The standard's tables, each by its own properties

struct CodeSet
{
    std::vector<Vlc> codes;

    void Add(Vlc vlc)
    {
        if (vlc.nLength > 0)
            codes.push_back(vlc);
    }
    // No code word starts another one: a decoder can read them apart.
    bool IsPrefixFree() const
    {
        for (size_t i = 0; i < codes.size(); ++i)
        {
            for (size_t j = 0; j < codes.size(); ++j)
            {
                if (i == j || codes[i].nLength > codes[j].nLength)
                    continue;
                if ((codes[j].uCode >> (codes[j].nLength - codes[i].nLength)) == codes[i].uCode)
                    return false;
            }
        }
        return true;
    }
    // Kraft's sum in units of 2^-16: 65536 for a code with no word left over.
    uint32_t KraftSum() const
    {
        uint32_t uSum = 0;
        for (const Vlc& vlc : codes)
            uSum += 1u << (16 - vlc.nLength);
        return uSum;
    }
};

TEST(H264Tables, CoeffTokenTablesArePrefixCodesWithAnEntryForEveryToken)
{
    // The one word each table leaves unused is all zeros, so that no code
    // word can make a start code: 15 bits, 13, 10 and 6 twice.
    const uint32_t kUnused[kCoeffTokenTables] = {2, 8, 64, 2048};
    for (int t = 0; t < kCoeffTokenTables; ++t)
    {
        CodeSet set;
        for (int tc = 0; tc <= kMaxTotalCoeff; ++tc)
        {
            for (int t1 = 0; t1 <= kMaxTrailingOnes; ++t1)
            {
                const Vlc vlc = CoeffTokenVlc(t, tc, t1);
                EXPECT_EQ(vlc.nLength > 0, t1 <= tc) << t << " " << tc << " " << t1;
                EXPECT_LE(vlc.nLength, 16);
                set.Add(vlc);
            }
        }
        EXPECT_EQ(set.codes.size(), 62u) << t;
        EXPECT_TRUE(set.IsPrefixFree()) << t;
        EXPECT_EQ(set.KraftSum(), 65536u - kUnused[t]) << t;
    }
}

TEST(H264Tables, CoeffTokenLengthsAreTheStandardsForTheFirstTokens)
{
    // TotalCoeff 0 and the single trailing one, in the four columns.
    const int kLengthNoCoeff[kCoeffTokenTables] = {1, 2, 4, 6};
    const int kLengthOneTrailingOne[kCoeffTokenTables] = {2, 2, 4, 6};
    for (int t = 0; t < kCoeffTokenTables; ++t)
    {
        EXPECT_EQ(CoeffTokenVlc(t, 0, 0).nLength, kLengthNoCoeff[t]) << t;
        EXPECT_EQ(CoeffTokenVlc(t, 1, 1).nLength, kLengthOneTrailingOne[t]) << t;
    }
    EXPECT_EQ(CoeffTokenVlc(0, 16, 0).nLength, 16);
    EXPECT_EQ(CoeffTokenVlc(2, 16, 3).nLength, 10);
}

TEST(H264Tables, CoeffTokenFromNcEightOnIsASixBitFixedLengthCode)
{
    for (int tc = 1; tc <= kMaxTotalCoeff; ++tc)
    {
        for (int t1 = 0; t1 <= std::min(tc, kMaxTrailingOnes); ++t1)
        {
            const Vlc vlc = CoeffTokenVlc(3, tc, t1);
            EXPECT_EQ(vlc.nLength, 6);
            EXPECT_EQ(vlc.uCode, (tc - 1) << 2 | t1) << tc << " " << t1;
        }
    }
    EXPECT_EQ(CoeffTokenVlc(3, 0, 0).uCode, 3);
}

TEST(H264Tables, CoeffTokenTableChoiceFollowsNc)
{
    const struct
    {
        int nC;
        int nTable;
    } kCases[] = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {7, 2}, {8, 3}, {16, 3}};
    for (const auto& c : kCases)
        EXPECT_EQ(CoeffTokenTableFor(c.nC), c.nTable) << c.nC;
}

TEST(H264Tables, ChromaDcCoeffTokenIsACompletePrefixCode)
{
    CodeSet set;
    for (int tc = 0; tc <= kMaxChromaDcCoeff; ++tc)
    {
        for (int t1 = 0; t1 <= kMaxTrailingOnes; ++t1)
        {
            const Vlc vlc = ChromaDcCoeffTokenVlc(tc, t1);
            EXPECT_EQ(vlc.nLength > 0, t1 <= tc) << tc << " " << t1;
            set.Add(vlc);
        }
    }
    EXPECT_EQ(set.codes.size(), 14u);
    EXPECT_TRUE(set.IsPrefixFree());
    EXPECT_EQ(set.KraftSum(), 65536u);
    EXPECT_EQ(ChromaDcCoeffTokenVlc(1, 1).nLength, 1);
}

TEST(H264Tables, TotalZerosTablesArePrefixCodesForEveryCount)
{
    for (int tc = 1; tc < kMaxTotalCoeff; ++tc)
    {
        CodeSet set;
        for (int tz = 0; tz <= 16 - tc; ++tz)
        {
            const Vlc vlc = TotalZerosVlc(tc, tz);
            EXPECT_GT(vlc.nLength, 0) << tc << " " << tz;
            EXPECT_LE(vlc.nLength, 9);
            set.Add(vlc);
        }
        EXPECT_EQ(TotalZerosVlc(tc, 17 - tc).nLength, 0);
        EXPECT_TRUE(set.IsPrefixFree()) << tc;
        // Only a single coefficient leaves a word over: nine zeros.
        EXPECT_EQ(set.KraftSum(), tc == 1 ? 65536u - 128u : 65536u) << tc;
    }
    // The lengths for one coefficient, as listed.
    const int kLengths[16] = {1, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 9};
    for (int tz = 0; tz < 16; ++tz)
        EXPECT_EQ(TotalZerosVlc(1, tz).nLength, kLengths[tz]) << tz;
}

TEST(H264Tables, ChromaDcTotalZerosAndRunBeforeAreCompletePrefixCodes)
{
    for (int tc = 1; tc < kMaxChromaDcCoeff; ++tc)
    {
        CodeSet set;
        for (int tz = 0; tz <= kMaxChromaDcCoeff - tc; ++tz)
            set.Add(ChromaDcTotalZerosVlc(tc, tz));
        EXPECT_EQ(set.codes.size(), static_cast<size_t>(kMaxChromaDcCoeff - tc + 1));
        EXPECT_TRUE(set.IsPrefixFree()) << tc;
        EXPECT_EQ(set.KraftSum(), 65536u) << tc;
    }
    // zerosLeft 1 to 6 have a table each; 14 stands for all above 6.
    for (int zerosLeft : {1, 2, 3, 4, 5, 6, 14})
    {
        CodeSet set;
        for (int run = 0; run <= zerosLeft; ++run)
            set.Add(RunBeforeVlc(zerosLeft, run));
        EXPECT_EQ(set.codes.size(), static_cast<size_t>(zerosLeft + 1)) << zerosLeft;
        EXPECT_TRUE(set.IsPrefixFree()) << zerosLeft;
        // Above six zeros left, eleven zeros stay unused.
        EXPECT_EQ(set.KraftSum(), zerosLeft == 14 ? 65536u - 32u : 65536u) << zerosLeft;
    }
    // Any count above six uses the same table, up to its own count.
    EXPECT_EQ(RunBeforeVlc(14, 3).uCode, RunBeforeVlc(7, 3).uCode);
    EXPECT_EQ(RunBeforeVlc(7, 8).nLength, 0);
    EXPECT_EQ(RunBeforeVlc(14, 14).nLength, 11);
}

TEST(H264Tables, CodedBlockPatternMappingsArePermutations)
{
    const struct
    {
        const char* pszName;
        int (*ofCodeNum)(int);
        int (*codeNum)(int);
    } kMappings[] = {{"inter", InterCbpOfCodeNum, InterCbpCodeNum}, {"intra", IntraCbpOfCodeNum, IntraCbpCodeNum}};
    for (const auto& mapping : kMappings)
    {
        std::set<int> seen;
        for (int codeNum = 0; codeNum < 48; ++codeNum)
        {
            const int cbp = mapping.ofCodeNum(codeNum);
            ASSERT_GE(cbp, 0) << mapping.pszName;
            ASSERT_LT(cbp, 48) << mapping.pszName;
            EXPECT_TRUE(seen.insert(cbp).second) << mapping.pszName << " " << codeNum;
            EXPECT_EQ(mapping.codeNum(cbp), codeNum) << mapping.pszName;
        }
        EXPECT_EQ(mapping.codeNum(48), -1);
    }
    // Inter blocks are most often not coded at all, intra ones all coded.
    EXPECT_EQ(InterCbpCodeNum(0), 0);
    EXPECT_EQ(InterCbpCodeNum(47), 12);
    EXPECT_EQ(IntraCbpCodeNum(47), 0);
    EXPECT_EQ(IntraCbpCodeNum(0), 3);
}

TEST(H264Tables, ZigZagWalksTheAntiDiagonalsAlternately)
{
    std::set<int> seen(kZigZag4x4, kZigZag4x4 + 16);
    EXPECT_EQ(seen.size(), 16u);
    for (int k = 1; k < 16; ++k)
    {
        const int r0 = kZigZag4x4[k - 1] / 4, c0 = kZigZag4x4[k - 1] % 4;
        const int r1 = kZigZag4x4[k] / 4, c1 = kZigZag4x4[k] % 4;
        const int d0 = r0 + c0, d1 = r1 + c1;
        ASSERT_TRUE(d1 == d0 || d1 == d0 + 1) << k;
        if (d1 == d0)
        {
            // Odd anti-diagonals run down to the left, even ones up to the right.
            EXPECT_EQ(r1 - r0, d0 % 2 == 1 ? 1 : -1) << k;
            EXPECT_EQ(c1 - c0, d0 % 2 == 1 ? -1 : 1) << k;
        }
    }
    EXPECT_EQ(kZigZag4x4[1], 1); // the first step goes right
}

TEST(H264Tables, QuantAndDequantScalesInvertEachOther)
{
    // Per class, forward times inverse makes 2^17 times the norm correction
    // of the transform: 1, 16/25 and 4/5.
    const double kCorrection[3] = {1.0, 16.0 / 25.0, 4.0 / 5.0};
    for (int m = 0; m < 6; ++m)
    {
        for (int c = 0; c < 3; ++c)
        {
            const double dProduct = static_cast<double>(kQuantScale[m][c]) * kDequantScale[m][c];
            EXPECT_NEAR(dProduct / (131072.0 * kCorrection[c]), 1.0, 0.0005) << m << " " << c;
        }
    }
}

TEST(H264Tables, DequantScalesGrowBySixthRootsOfTwo)
{
    for (int m = 0; m < 6; ++m)
    {
        for (int c = 0; c < 3; ++c)
        {
            const double dExpected = kDequantScale[0][c] * std::pow(2.0, m / 6.0);
            EXPECT_NEAR(kDequantScale[m][c] / dExpected, 1.0, 0.05) << m << " " << c;
        }
        EXPECT_LT(kDequantScale[m][0], kDequantScale[m][2]);
        EXPECT_LT(kDequantScale[m][2], kDequantScale[m][1]);
    }
}

TEST(H264Tables, ChromaQpFollowsLumaUpTo29ThenLags)
{
    for (int q = 0; q < 30; ++q)
        EXPECT_EQ(ChromaQp(q), q);
    for (int q = 30; q <= 51; ++q)
    {
        EXPECT_LT(ChromaQp(q), q);
        EXPECT_GE(ChromaQp(q) - ChromaQp(q - 1), 0);
        EXPECT_LE(ChromaQp(q) - ChromaQp(q - 1), 1);
    }
    EXPECT_EQ(ChromaQp(51), 39);
}

// ---------------------------------------------------------------------------
// Transform and quantisation

double QuantiserStep(int nQp)
{
    return 0.625 * std::pow(2.0, nQp / 6.0);
}

// A residual block through the encoder's path and the decoder's back.
std::vector<int32_t> RoundTrip(const int32_t residual[16], int nQp)
{
    int32_t coeffs[16];
    std::copy(residual, residual + 16, coeffs);
    ForwardTransform4x4(coeffs);
    int32_t levels[16];
    QuantiseBlock(coeffs, nQp, true, false, levels);
    int32_t scaled[16];
    DequantiseBlock(levels, nQp, false, 0, scaled);
    InverseTransform4x4(scaled);
    std::vector<int32_t> out(16);
    for (int i = 0; i < 16; ++i)
        out[i] = (scaled[i] + 32) >> 6;
    return out;
}

TEST(H264Transform, ResidualRoundTripErrorStaysWithinTheQuantiserStep)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-255, 255);
    for (int nQp : {0, 6, 12, 20, 26, 32, 40, 51})
    {
        double dSquares = 0;
        int nMaxError = 0;
        for (int n = 0; n < 200; ++n)
        {
            int32_t residual[16];
            for (int32_t& r : residual)
                r = sample(random);
            const std::vector<int32_t> out = RoundTrip(residual, nQp);
            for (int i = 0; i < 16; ++i)
            {
                const int e = out[i] - residual[i];
                dSquares += e * e;
                nMaxError = std::max(nMaxError, std::abs(e));
            }
        }
        const double dRms = std::sqrt(dSquares / (200 * 16));
        EXPECT_LE(dRms, std::max(0.7, 0.5 * QuantiserStep(nQp))) << nQp;
        if (nQp == 0)
        {
            EXPECT_LE(nMaxError, 1);
        }
    }
}

TEST(H264Transform, InverseTransformOfSingleCoefficientsIsTheStandardsBasis)
{
    // A DC of 64 is 1 everywhere; a first horizontal frequency of 128
    // gives the columns 2, 1, -1, -2 (the odd basis halves its inner taps).
    int32_t dc[16] = {64};
    InverseTransform4x4(dc);
    for (int32_t v : dc)
        EXPECT_EQ((v + 32) >> 6, 1);
    int32_t horizontal[16] = {0, 128};
    InverseTransform4x4(horizontal);
    const int kColumns[4] = {2, 1, -1, -2};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ((horizontal[i] + 32) >> 6, kColumns[i % 4]) << i;
    int32_t vertical[16] = {0, 0, 0, 0, 128};
    InverseTransform4x4(vertical);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ((vertical[i] + 32) >> 6, kColumns[i / 4]) << i;
}

TEST(H264Transform, FlatBlocksComeBackThroughTheDcTransforms)
{
    // A flat macroblock residual goes entirely through the luma DC
    // Hadamard path, a flat chroma block through the 2x2 one.
    for (int nQp : {12, 20, 30, 40})
    {
        for (int nValue : {-255, -37, -1, 1, 5, 90, 255})
        {
            int32_t dc[16];
            for (int32_t& d : dc)
                d = 16 * nValue; // each block's forward DC
            Hadamard4x4(dc);
            int32_t levels[16];
            for (int k = 0; k < 16; ++k)
                levels[k] = QuantiseDc(dc[k] / 2, nQp, true);
            Hadamard4x4(levels);
            int32_t block[16] = {DequantiseLumaDc(levels[5], nQp)};
            InverseTransform4x4(block);
            EXPECT_NEAR((block[7] + 32) >> 6, nValue, 0.5 + QuantiserStep(nQp) / 16) << nQp << " " << nValue;

            int32_t chroma[4] = {16 * nValue, 16 * nValue, 16 * nValue, 16 * nValue};
            Hadamard2x2(chroma);
            for (int32_t& c : chroma)
                c = QuantiseDc(c, nQp, true);
            Hadamard2x2(chroma);
            int32_t chromaBlock[16] = {DequantiseChromaDc(chroma[2], nQp)};
            InverseTransform4x4(chromaBlock);
            EXPECT_NEAR((chromaBlock[0] + 32) >> 6, nValue, 0.5 + QuantiserStep(nQp) / 4) << nQp << " " << nValue;
        }
    }
}

TEST(H264Transform, InterRoundingDropsWhatIntraRoundingKeeps)
{
    // A coefficient at 0.7 of a step: intra adds a third and keeps it as 1,
    // inter adds a sixth and drops it.
    const int nQp = 24;
    const int32_t nCoeff = static_cast<int32_t>((1 << (15 + nQp / 6)) * 0.7 / kQuantScale[0][0]);
    EXPECT_EQ(Quantise(nCoeff, nQp, 0, true), 1);
    EXPECT_EQ(Quantise(nCoeff, nQp, 0, false), 0);
    EXPECT_EQ(Quantise(-nCoeff, nQp, 0, true), -1);
}

TEST(H264Transform, LevelsStayWithinWhatCavlcCarries)
{
    EXPECT_EQ(Quantise(1 << 30, 0, 0, true), 2063);
    EXPECT_EQ(Quantise(-(1 << 30), 0, 0, true), -2063);
    EXPECT_EQ(QuantiseDc(1 << 30, 0, true), 2063);
}

// ---------------------------------------------------------------------------
// Intra_4x4 prediction

Edges4x4 RampEdges()
{
    Edges4x4 edges;
    edges.bTop = edges.bLeft = true;
    const uint8_t top[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    const uint8_t left[4] = {15, 25, 35, 45};
    std::copy(top, top + 8, edges.top);
    std::copy(left, left + 4, edges.left);
    edges.topLeft = 5;
    return edges;
}

TEST(H264Intra4x4, PredictionsFollowTheStandardsEquations)
{
    // Worked by hand from the equations of 8.3.1.2.1 to 8.3.1.2.9 for the
    // samples above (10 to 80), left (15 to 45) and above left (5).
    const struct
    {
        Intra4x4Mode mode;
        int x, y, nExpected;
    } kCases[] = {
        {Intra4x4Mode::Vertical, 2, 3, 30},          {Intra4x4Mode::Horizontal, 3, 2, 35},
        {Intra4x4Mode::Dc, 1, 1, 28},                {Intra4x4Mode::DiagonalDownLeft, 0, 0, 20},
        {Intra4x4Mode::DiagonalDownLeft, 3, 3, 78},  {Intra4x4Mode::DiagonalDownLeft, 2, 1, 50},
        {Intra4x4Mode::DiagonalDownRight, 0, 0, 9},  {Intra4x4Mode::DiagonalDownRight, 1, 0, 11},
        {Intra4x4Mode::DiagonalDownRight, 0, 1, 15}, {Intra4x4Mode::VerticalRight, 0, 0, 8},
        {Intra4x4Mode::VerticalRight, 0, 1, 9},      {Intra4x4Mode::VerticalRight, 0, 2, 15},
        {Intra4x4Mode::VerticalRight, 1, 1, 11},     {Intra4x4Mode::HorizontalDown, 0, 0, 10},
        {Intra4x4Mode::HorizontalDown, 1, 0, 9},     {Intra4x4Mode::HorizontalDown, 2, 0, 11},
        {Intra4x4Mode::VerticalLeft, 0, 0, 15},      {Intra4x4Mode::VerticalLeft, 0, 1, 20},
        {Intra4x4Mode::VerticalLeft, 3, 3, 60},      {Intra4x4Mode::HorizontalUp, 0, 0, 20},
        {Intra4x4Mode::HorizontalUp, 1, 0, 25},      {Intra4x4Mode::HorizontalUp, 3, 1, 43},
        {Intra4x4Mode::HorizontalUp, 2, 2, 45},
    };
    const Edges4x4 edges = RampEdges();
    for (const auto& c : kCases)
    {
        uint8_t pred[16];
        ASSERT_TRUE(PredictIntra4x4(edges, c.mode, pred)) << static_cast<int>(c.mode);
        EXPECT_EQ(pred[c.y * 4 + c.x], c.nExpected) << static_cast<int>(c.mode) << " at " << c.x << "," << c.y;
    }
}

TEST(H264Intra4x4, ModesNeedTheSamplesTheyReadFrom)
{
    // Which modes work with samples above only, left only, or neither.
    const bool kWithTopOnly[kIntra4x4Modes] = {true, false, true, true, false, false, false, true, false};
    const bool kWithLeftOnly[kIntra4x4Modes] = {false, true, true, false, false, false, false, false, true};
    Edges4x4 topOnly = RampEdges(), leftOnly = RampEdges(), neither;
    topOnly.bLeft = false;
    leftOnly.bTop = false;
    for (int m = 0; m < kIntra4x4Modes; ++m)
    {
        uint8_t pred[16];
        EXPECT_EQ(PredictIntra4x4(topOnly, static_cast<Intra4x4Mode>(m), pred), kWithTopOnly[m]) << m;
        EXPECT_EQ(PredictIntra4x4(leftOnly, static_cast<Intra4x4Mode>(m), pred), kWithLeftOnly[m]) << m;
        EXPECT_EQ(PredictIntra4x4(neither, static_cast<Intra4x4Mode>(m), pred), m == 2) << m;
    }
    uint8_t pred[16];
    ASSERT_TRUE(PredictIntra4x4(neither, Intra4x4Mode::Dc, pred));
    EXPECT_EQ(pred[0], 128);
}

TEST(H264Intra4x4, MissingSamplesAboveRightRepeatTheLastOneAbove)
{
    Plane plane(8, 8, 4);
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
            plane.Row(y)[x] = static_cast<uint8_t>(10 * x + y);
    }
    const Edges4x4 without = GatherEdges4x4(plane, 0, 4, true, false, false);
    const Edges4x4 with = GatherEdges4x4(plane, 0, 4, true, false, true);
    for (int i = 0; i < 8; ++i)
    {
        EXPECT_EQ(without.top[i], i < 4 ? 10 * i + 3 : 33) << i;
        EXPECT_EQ(with.top[i], 10 * i + 3) << i;
    }
}

// ---------------------------------------------------------------------------
// CAVLC, read back by the standard's parsing process (clause 9.2)

Vlc ReadTableCode(BitReader& reader, const std::function<bool(Vlc)>& matches)
{
    Vlc read = {0, 0};
    while (read.nLength < 16 && !reader.Overrun())
    {
        read.uCode = static_cast<uint16_t>(read.uCode << 1 | reader.ReadBit());
        ++read.nLength;
        if (matches(read))
            return read;
    }
    return {0, 0};
}

bool Same(Vlc a, Vlc b)
{
    return a.nLength == b.nLength && a.uCode == b.uCode;
}

std::vector<int32_t> ReadResidualBlock(BitReader& reader, int nC, int nMaxCoeff)
{
    std::vector<int32_t> coeffLevel(static_cast<size_t>(nMaxCoeff), 0);
    int nTotal = -1, nTrailing = -1;
    ReadTableCode(reader, [&](Vlc read) {
        for (int tc = 0; tc <= (nC < 0 ? kMaxChromaDcCoeff : kMaxTotalCoeff); ++tc)
        {
            for (int t1 = 0; t1 <= kMaxTrailingOnes; ++t1)
            {
                const Vlc vlc = nC < 0 ? ChromaDcCoeffTokenVlc(tc, t1) : CoeffTokenVlc(CoeffTokenTableFor(nC), tc, t1);
                if (vlc.nLength > 0 && Same(vlc, read))
                {
                    nTotal = tc;
                    nTrailing = t1;
                    return true;
                }
            }
        }
        return false;
    });
    if (nTotal <= 0)
        return coeffLevel;
    std::vector<int32_t> level(static_cast<size_t>(nTotal));
    int nSuffixLength = nTotal > 10 && nTrailing < 3 ? 1 : 0;
    for (int i = 0; i < nTotal; ++i)
    {
        if (i < nTrailing)
        {
            level[i] = reader.ReadBit() != 0 ? -1 : 1;
            continue;
        }
        int nPrefix = 0;
        while (reader.ReadBit() == 0 && !reader.Overrun())
            ++nPrefix;
        const int nSuffixSize = nPrefix == 14 && nSuffixLength == 0 ? 4 : nPrefix >= 15 ? nPrefix - 3 : nSuffixLength;
        int32_t nLevelCode = (std::min(15, nPrefix) << nSuffixLength) + static_cast<int32_t>(reader.ReadBits(nSuffixSize));
        if (nPrefix >= 15 && nSuffixLength == 0)
            nLevelCode += 15;
        if (nPrefix >= 16)
            nLevelCode += (1 << (nPrefix - 3)) - 4096;
        if (i == nTrailing && nTrailing < 3)
            nLevelCode += 2;
        level[i] = nLevelCode % 2 == 0 ? (nLevelCode + 2) >> 1 : (-nLevelCode - 1) >> 1;
        if (nSuffixLength == 0)
            nSuffixLength = 1;
        if (std::abs(level[i]) > (3 << (nSuffixLength - 1)) && nSuffixLength < 6)
            ++nSuffixLength;
    }
    int nZerosLeft = 0;
    if (nTotal < nMaxCoeff)
    {
        ReadTableCode(reader, [&](Vlc read) {
            for (int tz = 0; tz <= nMaxCoeff - nTotal; ++tz)
            {
                const Vlc vlc = nC < 0 ? ChromaDcTotalZerosVlc(nTotal, tz) : TotalZerosVlc(nTotal, tz);
                if (vlc.nLength > 0 && Same(vlc, read))
                {
                    nZerosLeft = tz;
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<int> run(static_cast<size_t>(nTotal), 0);
    for (int i = 0; i < nTotal - 1; ++i)
    {
        if (nZerosLeft > 0)
        {
            ReadTableCode(reader, [&](Vlc read) {
                for (int r = 0; r <= std::min(nZerosLeft, 14); ++r)
                {
                    if (Same(RunBeforeVlc(nZerosLeft, r), read))
                    {
                        run[i] = r;
                        return true;
                    }
                }
                return false;
            });
        }
        nZerosLeft -= run[i];
    }
    run[nTotal - 1] = nZerosLeft;
    int nCoeffNum = -1;
    for (int i = nTotal - 1; i >= 0; --i)
    {
        nCoeffNum += run[i] + 1;
        if (nCoeffNum < nMaxCoeff)
            coeffLevel[nCoeffNum] = level[i];
    }
    return coeffLevel;
}

struct CavlcCase
{
    const char* pszName;
    int nCount;
    int nMaxMagnitude;
    int nDensityPercent;
};

void PrintTo(const CavlcCase& c, std::ostream* pStream)
{
    *pStream << c.pszName;
}

class H264Cavlc : public ::testing::TestWithParam<CavlcCase>
{
};

TEST_P(H264Cavlc, BlocksReadBackExactly)
{
    const CavlcCase& c = GetParam();
    std::mt19937 random(static_cast<unsigned>(c.nCount * 1000 + c.nMaxMagnitude + c.nDensityPercent));
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> magnitude(1, c.nMaxMagnitude);
    const int kNcs[] = {0, 1, 2, 3, 4, 7, 8, 17};
    for (int n = 0; n < 300; ++n)
    {
        std::vector<int32_t> levels(static_cast<size_t>(c.nCount), 0);
        int nExpectedTotal = 0;
        for (int32_t& l : levels)
        {
            if (percent(random) < c.nDensityPercent)
            {
                l = magnitude(random) * (percent(random) < 50 ? -1 : 1);
                ++nExpectedTotal;
            }
        }
        const int nC = c.nCount == 4 ? kChromaDcNc : kNcs[n % 8];
        BitWriter writer;
        const int nTotal = WriteResidualBlock(writer, levels.data(), c.nCount, nC);
        writer.WriteBits(0x5, 3); // what follows must stay where it was
        writer.WriteTrailingBits();
        EXPECT_EQ(nTotal, nExpectedTotal);
        BitReader reader(writer.Bytes());
        EXPECT_EQ(ReadResidualBlock(reader, nC, c.nCount), levels) << c.pszName << " block " << n;
        EXPECT_EQ(reader.ReadBits(3), 0x5u) << c.pszName << " block " << n;
        EXPECT_FALSE(reader.Overrun());
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, H264Cavlc,
                         ::testing::Values(CavlcCase{"sparse ones", 16, 1, 20}, CavlcCase{"dense ones", 16, 1, 90},
                                           CavlcCase{"small", 16, 3, 50}, CavlcCase{"full", 16, 40, 100},
                                           CavlcCase{"large", 16, 2063, 60}, CavlcCase{"ac small", 15, 4, 40},
                                           CavlcCase{"ac large", 15, 2063, 80}, CavlcCase{"chroma dc", 4, 30, 60},
                                           CavlcCase{"chroma dc large", 4, 2063, 100}),
                         [](const ::testing::TestParamInfo<CavlcCase>& info) {
                             std::string name = info.param.pszName;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST(H264CavlcNc, NcAveragesTheAvailableNeighbours)
{
    EXPECT_EQ(PredictNc(-1, -1), 0);
    EXPECT_EQ(PredictNc(5, -1), 5);
    EXPECT_EQ(PredictNc(-1, 6), 6);
    EXPECT_EQ(PredictNc(2, 3), 3); // rounds up
    EXPECT_EQ(PredictNc(16, 0), 8);
}

// ---------------------------------------------------------------------------
// The encoder: the stream's structure and bad input

struct NalUnit
{
    int nType;
    int nRefIdc;
    std::vector<uint8_t> rbsp; // emulation prevention removed
};

// Splits an Annex B access unit at its start codes.
std::vector<NalUnit> SplitNalUnits(const std::vector<uint8_t>& bytes)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= bytes.size(); ++i)
    {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1)
            starts.push_back(i + 3);
    }
    std::vector<NalUnit> units;
    for (size_t n = 0; n < starts.size(); ++n)
    {
        size_t nEnd = n + 1 < starts.size() ? starts[n + 1] - 3 : bytes.size();
        while (nEnd > starts[n] && bytes[nEnd - 1] == 0)
            --nEnd; // the leading zero of a four-byte start code
        if (nEnd <= starts[n])
            continue;
        NalUnit unit;
        unit.nType = bytes[starts[n]] & 0x1F;
        unit.nRefIdc = bytes[starts[n]] >> 5 & 3;
        int nZeros = 0;
        for (size_t i = starts[n] + 1; i < nEnd; ++i)
        {
            if (nZeros == 2 && bytes[i] == 3)
            {
                nZeros = 0;
                continue;
            }
            unit.rbsp.push_back(bytes[i]);
            nZeros = bytes[i] == 0 ? nZeros + 1 : 0;
        }
        units.push_back(unit);
    }
    return units;
}

std::vector<int> Types(const std::vector<NalUnit>& units)
{
    std::vector<int> types;
    for (const NalUnit& unit : units)
        types.push_back(unit.nType);
    return types;
}

struct SliceStart
{
    uint32_t uFirstMb;
    uint32_t uSliceType;
    uint32_t uFrameNum;
    uint32_t uIdrPicId;
};

SliceStart ReadSliceStart(const NalUnit& unit)
{
    BitReader reader(unit.rbsp);
    SliceStart start = {};
    start.uFirstMb = reader.ReadUe();
    start.uSliceType = reader.ReadUe();
    reader.ReadUe(); // pic_parameter_set_id
    start.uFrameNum = reader.ReadBits(4);
    if (unit.nType == 5)
        start.uIdrPicId = reader.ReadUe();
    return start;
}

// The generator's pictures, drawn as the "Video Generator" draws them.
class PatternSource
{
public:
    PatternSource(int nWidth, int nHeight) : m_nWidth(nWidth), m_nHeight(nHeight), m_bits(Size()) {}

    BgrxImage Frame(int64_t llFrame)
    {
        DrawTestPattern(m_bits.data(), m_nWidth, m_nHeight, llFrame, 25);
        return BgrxImage{m_bits.data(), m_bits.size(), static_cast<ptrdiff_t>(m_nWidth) * 4, true};
    }

private:
    size_t Size() const { return static_cast<size_t>(m_nWidth) * m_nHeight * 4; }

    int m_nWidth;
    int m_nHeight;
    std::vector<uint8_t> m_bits;
};

std::unique_ptr<Encoder> MakeEncoder(int nWidth = 640, int nHeight = 360)
{
    EncoderSettings settings;
    settings.nWidth = nWidth;
    settings.nHeight = nHeight;
    std::unique_ptr<Encoder> encoder;
    EXPECT_EQ(Encoder::Create(settings, encoder), Status::Ok);
    return encoder;
}

// The RBSP of a NAL unit as the encoder exposes it (header byte first).
std::vector<uint8_t> RbspOf(const std::vector<uint8_t>& nalUnit)
{
    std::vector<uint8_t> stream;
    AppendAnnexB(nalUnit, stream);
    const std::vector<NalUnit> units = SplitNalUnits(stream);
    return units.size() == 1 ? units[0].rbsp : std::vector<uint8_t>();
}

class H264Stream : public ::testing::Test
{
protected:
    EncodedFrame EncodeFrame(int64_t llFrame, bool bForceKeyFrame = false)
    {
        EncodedFrame frame;
        EXPECT_EQ(m_encoder->Encode(m_source.Frame(llFrame), bForceKeyFrame, frame), Status::Ok);
        return frame;
    }

    std::unique_ptr<Encoder> m_encoder = MakeEncoder();
    PatternSource m_source{640, 360};
};

TEST_F(H264Stream, IdrPicturesComeWithTheParameterSetsEvery25Frames)
{
    for (int i = 0; i < 60; ++i)
    {
        const EncodedFrame frame = EncodeFrame(i);
        const std::vector<NalUnit> units = SplitNalUnits(frame.bytes);
        const bool bKey = i % 25 == 0;
        EXPECT_EQ(frame.bKeyFrame, bKey) << i;
        EXPECT_EQ(Types(units), bKey ? (std::vector<int>{7, 8, 5}) : (std::vector<int>{1})) << i;
        ASSERT_FALSE(units.empty());
        const SliceStart slice = ReadSliceStart(units.back());
        EXPECT_EQ(slice.uFirstMb, 0u);
        EXPECT_EQ(slice.uSliceType, bKey ? 2u : 0u) << i; // I or P
        EXPECT_EQ(slice.uFrameNum, static_cast<uint32_t>(i % 25 % 16)) << i;
        EXPECT_EQ(units.back().nRefIdc, 3);
    }
}

TEST_F(H264Stream, AKeyFrameOnRequestRestartsTheInterval)
{
    EXPECT_TRUE(EncodeFrame(0).bKeyFrame);
    EXPECT_FALSE(EncodeFrame(1).bKeyFrame);
    const EncodedFrame forced = EncodeFrame(2, true);
    EXPECT_TRUE(forced.bKeyFrame);
    EXPECT_EQ(Types(SplitNalUnits(forced.bytes)), (std::vector<int>{7, 8, 5}));
    for (int i = 3; i < 27; ++i)
        EXPECT_FALSE(EncodeFrame(i).bKeyFrame) << i;
    EXPECT_TRUE(EncodeFrame(27).bKeyFrame);
}

TEST_F(H264Stream, ConsecutiveIdrPicturesHaveDifferentIds)
{
    const SliceStart first = ReadSliceStart(SplitNalUnits(EncodeFrame(0).bytes).back());
    const SliceStart second = ReadSliceStart(SplitNalUnits(EncodeFrame(1, true).bytes).back());
    EXPECT_NE(first.uIdrPicId, second.uIdrPicId);
}

TEST_F(H264Stream, ParameterSetsInTheStreamAreTheOnesExposed)
{
    const std::vector<uint8_t> bytes = EncodeFrame(0).bytes;
    const std::vector<uint8_t>& sps = m_encoder->SequenceParameterSet();
    const std::vector<uint8_t>& pps = m_encoder->PictureParameterSet();
    ASSERT_GE(sps.size(), 4u);
    ASSERT_GE(pps.size(), 2u);
    EXPECT_EQ(sps[0], 0x67); // nal_ref_idc 3, type 7
    EXPECT_EQ(pps[0], 0x68);
    std::vector<uint8_t> expected;
    AppendAnnexB(sps, expected);
    AppendAnnexB(pps, expected);
    AppendAnnexB({0x65}, expected); // the IDR slice's header byte
    ASSERT_GT(bytes.size(), expected.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(expected.size())), expected);
}

TEST_F(H264Stream, SequenceParameterSetDescribesConstrainedBaseline640x360)
{
    const std::vector<uint8_t> rbsp = RbspOf(m_encoder->SequenceParameterSet());
    BitReader reader(rbsp);
    EXPECT_EQ(reader.ReadBits(8), 66u);   // profile_idc
    EXPECT_EQ(reader.ReadBits(1), 1u);    // constraint_set0_flag
    EXPECT_EQ(reader.ReadBits(1), 1u);    // constraint_set1_flag
    EXPECT_EQ(reader.ReadBits(6), 0u);
    EXPECT_EQ(reader.ReadBits(8), 30u);   // level_idc
    EXPECT_EQ(reader.ReadUe(), 0u);       // seq_parameter_set_id
    EXPECT_EQ(reader.ReadUe(), 0u);       // log2_max_frame_num_minus4
    EXPECT_EQ(reader.ReadUe(), 2u);       // pic_order_cnt_type
    EXPECT_EQ(reader.ReadUe(), 1u);       // max_num_ref_frames
    EXPECT_EQ(reader.ReadBits(1), 0u);    // gaps_in_frame_num_value_allowed_flag
    EXPECT_EQ(reader.ReadUe(), 39u);      // 40 macroblocks wide
    EXPECT_EQ(reader.ReadUe(), 22u);      // 23 high: 368 lines
    EXPECT_EQ(reader.ReadBits(1), 1u);    // frame_mbs_only_flag
    EXPECT_EQ(reader.ReadBits(1), 1u);    // direct_8x8_inference_flag
    EXPECT_EQ(reader.ReadBits(1), 1u);    // frame_cropping_flag
    EXPECT_EQ(reader.ReadUe(), 0u);
    EXPECT_EQ(reader.ReadUe(), 0u);
    EXPECT_EQ(reader.ReadUe(), 0u);
    EXPECT_EQ(reader.ReadUe(), 4u);       // 8 lines off the bottom
    EXPECT_EQ(reader.ReadBits(1), 1u);    // vui_parameters_present_flag
    EXPECT_FALSE(reader.Overrun());
}

TEST_F(H264Stream, NoStartCodeHidesInsideANalUnit)
{
    for (int i = 0; i < 30; ++i)
    {
        const EncodedFrame frame = EncodeFrame(i);
        size_t nStartCodes = 0;
        for (size_t k = 0; k + 2 < frame.bytes.size(); ++k)
        {
            if (frame.bytes[k] == 0 && frame.bytes[k + 1] == 0 && frame.bytes[k + 2] == 1)
                ++nStartCodes;
        }
        EXPECT_EQ(nStartCodes, frame.bKeyFrame ? 3u : 1u) << i;
    }
}

TEST_F(H264Stream, PFramesOfTheMovingPatternAreFarSmallerThanIdrFrames)
{
    const size_t cbIdr = EncodeFrame(0).bytes.size();
    size_t cbLargestP = 0;
    for (int i = 1; i < 25; ++i)
        cbLargestP = std::max(cbLargestP, EncodeFrame(i).bytes.size());
    EXPECT_LT(cbLargestP * 2, cbIdr);
}

TEST(H264Encoder, NoMacroblockTakesMoreThanItsBitLimit)
{
    // Noise with every channel fully on or off at the finest quantiser
    // codes larger than the samples themselves: such macroblocks must go
    // as I_PCM, so a slice holds at most 3200 bits a macroblock.
    EncoderSettings settings;
    settings.nWidth = 96;
    settings.nHeight = 64;
    settings.nQp = 12;
    std::unique_ptr<Encoder> encoder;
    ASSERT_EQ(Encoder::Create(settings, encoder), Status::Ok);
    std::vector<uint8_t> bits(96 * 64 * 4);
    std::mt19937 random(11);
    for (int i = 0; i < 3; ++i)
    {
        for (uint8_t& b : bits)
            b = (random() & 1) != 0 ? 255 : 0;
        EncodedFrame frame;
        ASSERT_EQ(encoder->Encode(BgrxImage{bits.data(), bits.size(), 96 * 4, true}, false, frame), Status::Ok);
        const std::vector<NalUnit> units = SplitNalUnits(frame.bytes);
        ASSERT_FALSE(units.empty());
        const size_t kSliceHeaderBytes = 16;
        EXPECT_LE(units.back().rbsp.size(), 24 * 3200 / 8 + kSliceHeaderBytes) << i;
    }
}

TEST(H264Encoder, SameInputGivesTheSameStream)
{
    std::unique_ptr<Encoder> a = MakeEncoder(), b = MakeEncoder();
    PatternSource source(640, 360);
    for (int i = 0; i < 5; ++i)
    {
        const BgrxImage image = source.Frame(i);
        EncodedFrame frameA, frameB;
        ASSERT_EQ(a->Encode(image, false, frameA), Status::Ok);
        ASSERT_EQ(b->Encode(image, false, frameB), Status::Ok);
        EXPECT_EQ(frameA.bytes, frameB.bytes) << i;
    }
}

TEST(H264Encoder, TopDownAndBottomUpPicturesOfTheSameImageEncodeAlike)
{
    PatternSource source(64, 48);
    const BgrxImage bottomUp = source.Frame(3);
    std::vector<uint8_t> flipped(bottomUp.cbSize);
    const size_t cbRow = 64 * 4;
    for (size_t y = 0; y < 48; ++y)
        std::copy_n(bottomUp.pBits + y * cbRow, cbRow, flipped.begin() + static_cast<ptrdiff_t>((47 - y) * cbRow));
    const BgrxImage topDown = {flipped.data(), flipped.size(), static_cast<ptrdiff_t>(cbRow), false};
    std::unique_ptr<Encoder> a = MakeEncoder(64, 48), b = MakeEncoder(64, 48);
    EncodedFrame frameA, frameB;
    ASSERT_EQ(a->Encode(bottomUp, false, frameA), Status::Ok);
    ASSERT_EQ(b->Encode(topDown, false, frameB), Status::Ok);
    EXPECT_EQ(frameA.bytes, frameB.bytes);
}

TEST(H264Encoder, SizesThatAreNotWholeMacroblocksAreCroppedAndEncode)
{
    const struct
    {
        int nWidth, nHeight;
        uint32_t uMbWidth, uMbHeight, uCropRight, uCropBottom;
    } kCases[] = {{16, 16, 1, 1, 0, 0}, {18, 20, 2, 2, 7, 6}, {640, 360, 40, 23, 0, 4}, {2048, 34, 128, 3, 0, 7}};
    for (const auto& c : kCases)
    {
        std::unique_ptr<Encoder> encoder = MakeEncoder(c.nWidth, c.nHeight);
        ASSERT_TRUE(encoder);
        PatternSource source(c.nWidth, c.nHeight);
        for (int i = 0; i < 3; ++i)
        {
            EncodedFrame frame;
            ASSERT_EQ(encoder->Encode(source.Frame(i), false, frame), Status::Ok) << c.nWidth << "x" << c.nHeight;
            EXPECT_FALSE(frame.bytes.empty());
        }
        const std::vector<uint8_t> rbsp = RbspOf(encoder->SequenceParameterSet());
        BitReader reader(rbsp);
        reader.ReadBits(24);
        for (int i = 0; i < 4; ++i)
            reader.ReadUe();
        reader.ReadBits(1);
        EXPECT_EQ(reader.ReadUe() + 1, c.uMbWidth) << c.nWidth;
        EXPECT_EQ(reader.ReadUe() + 1, c.uMbHeight) << c.nHeight;
        reader.ReadBits(2);
        const bool bCrop = reader.ReadBits(1) != 0;
        EXPECT_EQ(bCrop, c.uCropRight != 0 || c.uCropBottom != 0);
        if (bCrop)
        {
            EXPECT_EQ(reader.ReadUe(), 0u);
            EXPECT_EQ(reader.ReadUe(), c.uCropRight);
            EXPECT_EQ(reader.ReadUe(), 0u);
            EXPECT_EQ(reader.ReadUe(), c.uCropBottom);
        }
    }
}

TEST(H264Encoder, LevelIsTheLowestThatTakesTheSizeAndRate)
{
    const struct
    {
        int nWidth, nHeight, nFps;
        uint8_t uLevelIdc;
    } kCases[] = {{640, 360, 25, 30},  {176, 144, 15, 10},  {176, 144, 30, 11},   {320, 240, 25, 13},
                  {640, 360, 50, 31},  {1280, 720, 25, 31}, {1920, 1080, 25, 40}, {2048, 2048, 120, 52},
                  {2048, 16, 25, 31}};
    for (const auto& c : kCases)
    {
        EncoderSettings settings;
        settings.nWidth = c.nWidth;
        settings.nHeight = c.nHeight;
        settings.nFramesPerSecond = c.nFps;
        std::unique_ptr<Encoder> encoder;
        ASSERT_EQ(Encoder::Create(settings, encoder), Status::Ok);
        const std::vector<uint8_t> rbsp = RbspOf(encoder->SequenceParameterSet());
        ASSERT_GE(rbsp.size(), 3u);
        EXPECT_EQ(rbsp[2], c.uLevelIdc) << c.nWidth << "x" << c.nHeight << "@" << c.nFps;
    }
}

TEST(H264Encoder, SettingsOutOfRangeAreRefused)
{
    const struct
    {
        const char* pszName;
        void (*change)(EncoderSettings&);
    } kCases[] = {
        {"odd width", [](EncoderSettings& s) { s.nWidth = 641; }},
        {"odd height", [](EncoderSettings& s) { s.nHeight = 361; }},
        {"zero width", [](EncoderSettings& s) { s.nWidth = 0; }},
        {"negative height", [](EncoderSettings& s) { s.nHeight = -360; }},
        {"too small", [](EncoderSettings& s) { s.nWidth = 14; }},
        {"too large", [](EncoderSettings& s) { s.nHeight = 4096; }},
        {"no frame rate", [](EncoderSettings& s) { s.nFramesPerSecond = 0; }},
        {"quantiser too fine", [](EncoderSettings& s) { s.nQp = 11; }},
        {"quantiser too coarse", [](EncoderSettings& s) { s.nQp = 52; }},
        {"no key frame interval", [](EncoderSettings& s) { s.nKeyFrameInterval = 0; }},
    };
    for (const auto& c : kCases)
    {
        EncoderSettings settings;
        c.change(settings);
        std::unique_ptr<Encoder> encoder = MakeEncoder();
        EXPECT_EQ(Encoder::Create(settings, encoder), Status::InvalidSettings) << c.pszName;
        EXPECT_FALSE(encoder) << c.pszName;
    }
}

TEST(H264Encoder, BadPicturesFailWithAStatusAndLeaveTheStreamAsItWas)
{
    std::vector<uint8_t> bits(640 * 360 * 4, 0x80);
    const size_t cbExact = bits.size();
    const struct
    {
        const char* pszName;
        BgrxImage image;
        Status expected;
    } kCases[] = {
        {"no pixels", {nullptr, cbExact, 2560, true}, Status::NullImage},
        {"empty buffer", {bits.data(), 0, 2560, true}, Status::NullImage},
        {"one byte short", {bits.data(), cbExact - 1, 2560, true}, Status::ImageTooSmall},
        {"stride below a row", {bits.data(), cbExact, 2556, true}, Status::ImageTooSmall},
        {"zero stride", {bits.data(), cbExact, 0, true}, Status::ImageTooSmall},
        {"negative stride", {bits.data(), cbExact, -2560, true}, Status::ImageTooSmall},
        {"stride past the buffer", {bits.data(), cbExact, 2564, false}, Status::ImageTooSmall},
        {"half a picture", {bits.data(), cbExact / 2, 2560, true}, Status::ImageTooSmall},
    };
    std::unique_ptr<Encoder> encoder = MakeEncoder();
    for (const auto& c : kCases)
    {
        EncodedFrame frame;
        frame.bytes.assign(10, 0xEE);
        frame.bKeyFrame = true;
        EXPECT_EQ(encoder->Encode(c.image, false, frame), c.expected) << c.pszName;
        EXPECT_TRUE(frame.bytes.empty()) << c.pszName;
        EXPECT_FALSE(frame.bKeyFrame) << c.pszName;
        EXPECT_STRNE(StatusText(c.expected), StatusText(Status::Ok));
    }
    // Nothing was encoded: the first good picture is still the stream's start.
    EncodedFrame frame;
    ASSERT_EQ(encoder->Encode(BgrxImage{bits.data(), cbExact, 2560, true}, false, frame), Status::Ok);
    EXPECT_TRUE(frame.bKeyFrame);
    const SliceStart slice = ReadSliceStart(SplitNalUnits(frame.bytes).back());
    EXPECT_EQ(slice.uIdrPicId, 0u);
}

TEST(H264Encoder, AWiderStrideAndAnExactBufferAreAccepted)
{
    // The last row needs only its pixels, not a whole stride.
    const ptrdiff_t cbStride = 640 * 4 + 64;
    std::vector<uint8_t> bits(static_cast<size_t>(cbStride) * 359 + 640 * 4, 0x40);
    std::unique_ptr<Encoder> encoder = MakeEncoder();
    EncodedFrame frame;
    EXPECT_EQ(encoder->Encode(BgrxImage{bits.data(), bits.size(), cbStride, true}, false, frame), Status::Ok);
    EXPECT_TRUE(frame.bKeyFrame);
}

// Encodes the generator's default stream (10 s) and prints the median time
// a picture takes here; the quality check measures what the stream holds.
TEST(H264Encoder, EncodesTheDefaultStreamAndPrintsTheTimeAFrameTakes)
{
    std::unique_ptr<Encoder> encoder = MakeEncoder();
    PatternSource source(640, 360);
    std::vector<double> milliseconds, keyMilliseconds;
    size_t cbTotal = 0;
    int nKeyFrames = 0;
    EncodedFrame frame;
    for (int i = 0; i < 250; ++i)
    {
        const BgrxImage image = source.Frame(i);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(encoder->Encode(image, false, frame), Status::Ok) << i;
        const auto stop = std::chrono::steady_clock::now();
        milliseconds.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        if (frame.bKeyFrame)
            keyMilliseconds.push_back(milliseconds.back());
        cbTotal += frame.bytes.size();
        nKeyFrames += frame.bKeyFrame ? 1 : 0;
    }
    ASSERT_EQ(nKeyFrames, 10);
    std::sort(milliseconds.begin(), milliseconds.end());
    std::sort(keyMilliseconds.begin(), keyMilliseconds.end());
    std::printf("h264: 250 frames, median %.2f ms a frame, %.2f ms a key frame, %.0f kbit/s\n", milliseconds[125],
                keyMilliseconds[5], static_cast<double>(cbTotal) * 8 / 10 / 1000);
}

} // namespace
