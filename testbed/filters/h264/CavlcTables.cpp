#include "CavlcTables.h"

#include <cstddef>

namespace h264
{
namespace
{

// coeff_token code words, one row per TotalCoeff, TrailingOnes 0 to 3 in
// each row, in the four columns of nC 0..1, 2..3, 4..7 and 8 and above.
constexpr const char* kCoeffTokenBits[kCoeffTokenTables][kMaxTotalCoeff + 1][kMaxTrailingOnes + 1] = {
    {
        {"1", "", "", ""},
        {"0001 01", "01", "", ""},
        {"0000 0111", "0001 00", "001", ""},
        {"0000 0011 1", "0000 0110", "0000 101", "0001 1"},
        {"0000 0001 11", "0000 0011 0", "0000 0101", "0000 11"},
        {"0000 0000 111", "0000 0001 10", "0000 0010 1", "0000 100"},
        {"0000 0000 0111 1", "0000 0000 110", "0000 0001 01", "0000 0100"},
        {"0000 0000 0101 1", "0000 0000 0111 0", "0000 0000 101", "0000 0010 0"},
        {"0000 0000 0100 0", "0000 0000 0101 0", "0000 0000 0110 1", "0000 0001 00"},
        {"0000 0000 0011 11", "0000 0000 0011 10", "0000 0000 0100 1", "0000 0000 100"},
        {"0000 0000 0010 11", "0000 0000 0010 10", "0000 0000 0011 01", "0000 0000 0110 0"},
        {"0000 0000 0001 111", "0000 0000 0001 110", "0000 0000 0010 01", "0000 0000 0011 00"},
        {"0000 0000 0001 011", "0000 0000 0001 010", "0000 0000 0001 101", "0000 0000 0010 00"},
        {"0000 0000 0000 1111", "0000 0000 0000 001", "0000 0000 0001 001", "0000 0000 0001 100"},
        {"0000 0000 0000 1011", "0000 0000 0000 1110", "0000 0000 0000 1101", "0000 0000 0001 000"},
        {"0000 0000 0000 0111", "0000 0000 0000 1010", "0000 0000 0000 1001", "0000 0000 0000 1100"},
        {"0000 0000 0000 0100", "0000 0000 0000 0110", "0000 0000 0000 0101", "0000 0000 0000 1000"},
    },
    {
        {"11", "", "", ""},
        {"0010 11", "10", "", ""},
        {"0001 11", "0011 1", "011", ""},
        {"0000 111", "0010 10", "0010 01", "0101"},
        {"0000 0111", "0001 10", "0001 01", "0100"},
        {"0000 0100", "0000 110", "0000 101", "0011 0"},
        {"0000 0011 1", "0000 0110", "0000 0101", "0010 00"},
        {"0000 0001 111", "0000 0011 0", "0000 0010 1", "0001 00"},
        {"0000 0001 011", "0000 0001 110", "0000 0001 101", "0000 100"},
        {"0000 0000 1111", "0000 0001 010", "0000 0001 001", "0000 0010 0"},
        {"0000 0000 1011", "0000 0000 1110", "0000 0000 1101", "0000 0001 100"},
        {"0000 0000 1000", "0000 0000 1010", "0000 0000 1001", "0000 0001 000"},
        {"0000 0000 0111 1", "0000 0000 0111 0", "0000 0000 0110 1", "0000 0000 1100"},
        {"0000 0000 0101 1", "0000 0000 0101 0", "0000 0000 0100 1", "0000 0000 0110 0"},
        {"0000 0000 0011 1", "0000 0000 0010 11", "0000 0000 0011 0", "0000 0000 0100 0"},
        {"0000 0000 0010 01", "0000 0000 0010 00", "0000 0000 0010 10", "0000 0000 0000 1"},
        {"0000 0000 0001 11", "0000 0000 0001 10", "0000 0000 0001 01", "0000 0000 0001 00"},
    },
    {
        {"1111", "", "", ""},
        {"0011 11", "1110", "", ""},
        {"0010 11", "0111 1", "1101", ""},
        {"0010 00", "0110 0", "0111 0", "1100"},
        {"0001 111", "0101 0", "0101 1", "1011"},
        {"0001 011", "0100 0", "0100 1", "1010"},
        {"0001 001", "0011 10", "0011 01", "1001"},
        {"0001 000", "0010 10", "0010 01", "1000"},
        {"0000 1111", "0001 110", "0001 101", "0110 1"},
        {"0000 1011", "0000 1110", "0001 010", "0011 00"},
        {"0000 0111 1", "0000 1010", "0000 1101", "0001 100"},
        {"0000 0101 1", "0000 0111 0", "0000 1001", "0000 1100"},
        {"0000 0100 0", "0000 0101 0", "0000 0110 1", "0000 1000"},
        {"0000 0011 01", "0000 0011 1", "0000 0100 1", "0000 0110 0"},
        {"0000 0010 01", "0000 0011 00", "0000 0010 11", "0000 0010 10"},
        {"0000 0001 01", "0000 0010 00", "0000 0001 11", "0000 0001 10"},
        {"0000 0000 01", "0000 0001 00", "0000 0000 11", "0000 0000 10"},
    },
    {
        {"0000 11", "", "", ""},
        {"0000 00", "0000 01", "", ""},
        {"0001 00", "0001 01", "0001 10", ""},
        {"0010 00", "0010 01", "0010 10", "0010 11"},
        {"0011 00", "0011 01", "0011 10", "0011 11"},
        {"0100 00", "0100 01", "0100 10", "0100 11"},
        {"0101 00", "0101 01", "0101 10", "0101 11"},
        {"0110 00", "0110 01", "0110 10", "0110 11"},
        {"0111 00", "0111 01", "0111 10", "0111 11"},
        {"1000 00", "1000 01", "1000 10", "1000 11"},
        {"1001 00", "1001 01", "1001 10", "1001 11"},
        {"1010 00", "1010 01", "1010 10", "1010 11"},
        {"1011 00", "1011 01", "1011 10", "1011 11"},
        {"1100 00", "1100 01", "1100 10", "1100 11"},
        {"1101 00", "1101 01", "1101 10", "1101 11"},
        {"1110 00", "1110 01", "1110 10", "1110 11"},
        {"1111 00", "1111 01", "1111 10", "1111 11"},
    },
};

constexpr const char* kChromaDcCoeffTokenBits[kMaxChromaDcCoeff + 1][kMaxTrailingOnes + 1] = {
    {"01", "", "", ""},
    {"0001 11", "1", "", ""},
    {"0001 00", "0001 10", "001", ""},
    {"0000 11", "0000 011", "0000 010", "0001 01"},
    {"0000 10", "0000 0011", "0000 0010", "0000 000"},
};

// total_zeros for TotalCoeff 1 to 15 (row 0 unused), total_zeros 0 to 15.
constexpr const char* kTotalZerosBits[kMaxTotalCoeff][kMaxTotalCoeff] = {
    {},
    {"1", "011", "010", "0011", "0010", "0001 1", "0001 0", "0000 11", "0000 10", "0000 011", "0000 010",
     "0000 0011", "0000 0010", "0000 0001 1", "0000 0001 0", "0000 0000 1"},
    {"111", "110", "101", "100", "011", "0101", "0100", "0011", "0010", "0001 1", "0001 0", "0000 11",
     "0000 10", "0000 01", "0000 00"},
    {"0101", "111", "110", "101", "0100", "0011", "100", "011", "0010", "0001 1", "0001 0", "0000 01",
     "0000 1", "0000 00"},
    {"0001 1", "111", "0101", "0100", "110", "101", "100", "0011", "011", "0010", "0001 0", "0000 1", "0000 0"},
    {"0101", "0100", "0011", "111", "110", "101", "100", "011", "0010", "0000 1", "0001", "0000 0"},
    {"0000 01", "0000 1", "111", "110", "101", "100", "011", "010", "0001", "001", "0000 00"},
    {"0000 01", "0000 1", "101", "100", "011", "11", "010", "0001", "001", "0000 00"},
    {"0000 01", "0001", "0000 1", "011", "11", "10", "010", "001", "0000 00"},
    {"0000 01", "0000 00", "0001", "11", "10", "001", "01", "0000 1"},
    {"0000 1", "0000 0", "001", "11", "10", "01", "0001"},
    {"0000", "0001", "001", "010", "1", "011"},
    {"0000", "0001", "01", "1", "001"},
    {"000", "001", "1", "01"},
    {"00", "01", "1"},
    {"0", "1"},
};

constexpr const char* kChromaDcTotalZerosBits[kMaxChromaDcCoeff][kMaxChromaDcCoeff] = {
    {},
    {"1", "01", "001", "000"},
    {"1", "01", "00"},
    {"1", "0"},
};

// run_before for zerosLeft 1 to 6 and above 6 (row 0 unused), run_before 0 to 14.
constexpr const char* kRunBeforeBits[8][15] = {
    {},
    {"1", "0"},
    {"1", "01", "00"},
    {"11", "10", "01", "00"},
    {"11", "10", "01", "001", "000"},
    {"11", "10", "011", "010", "001", "000"},
    {"11", "000", "001", "011", "010", "101", "100"},
    {"111", "110", "101", "100", "011", "010", "001", "0001", "0000 1", "0000 01", "0000 001", "0000 0001",
     "0000 0000 1", "0000 0000 01", "0000 0000 001"},
};

// codeNum to coded_block_pattern of an Intra_4x4 and an inter macroblock,
// 4:2:0.
constexpr uint8_t kIntraCbpOfCodeNum[48] = {
    47, 31, 15, 0,  23, 27, 29, 30, 7,  11, 13, 14, 39, 43, 45, 46, 16, 3,  5,  10, 12, 19, 21, 26,
    28, 35, 37, 42, 44, 1,  2,  4,  8,  17, 18, 20, 24, 6,  9,  22, 25, 32, 33, 34, 36, 40, 38, 41,
};
constexpr uint8_t kInterCbpOfCodeNum[48] = {
    0,  16, 1,  2,  4,  8,  32, 3,  5,  10, 12, 15, 47, 7,  11, 13, 14, 6,  9,  31, 35, 37, 42, 44,
    33, 34, 36, 40, 39, 43, 45, 46, 17, 18, 20, 24, 19, 21, 26, 28, 23, 27, 29, 30, 22, 25, 38, 41,
};

constexpr uint8_t kChromaQpAbove29[22] = {29, 30, 31, 32, 32, 33, 34, 34, 35, 35, 36,
                                          36, 37, 37, 37, 38, 38, 38, 39, 39, 39, 39};

// The tables above as code words, parsed while compiling.
template <size_t kRows, size_t kColumns>
struct VlcRows
{
    Vlc v[kRows][kColumns];
};

template <size_t kRows, size_t kColumns>
constexpr VlcRows<kRows, kColumns> ParseRows(const char* const (&bits)[kRows][kColumns])
{
    VlcRows<kRows, kColumns> rows = {};
    for (size_t r = 0; r < kRows; ++r)
    {
        for (size_t c = 0; c < kColumns; ++c)
            rows.v[r][c] = bits[r][c] == nullptr ? Vlc{0, 0} : ParseVlc(bits[r][c]);
    }
    return rows;
}

constexpr VlcRows<kMaxTotalCoeff + 1, kMaxTrailingOnes + 1> kCoeffToken[kCoeffTokenTables] = {
    ParseRows(kCoeffTokenBits[0]), ParseRows(kCoeffTokenBits[1]), ParseRows(kCoeffTokenBits[2]),
    ParseRows(kCoeffTokenBits[3])};
constexpr auto kChromaDcCoeffToken = ParseRows(kChromaDcCoeffTokenBits);
constexpr auto kTotalZeros = ParseRows(kTotalZerosBits);
constexpr auto kChromaDcTotalZeros = ParseRows(kChromaDcTotalZerosBits);
constexpr auto kRunBefore = ParseRows(kRunBeforeBits);

int CodeNumIn(const uint8_t (&table)[48], int nCodedBlockPattern)
{
    for (int i = 0; i < 48; ++i)
    {
        if (table[i] == nCodedBlockPattern)
            return i;
    }
    return -1;
}

} // namespace

const uint8_t kZigZag4x4[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};

const uint8_t kDequantScale[6][3] = {{10, 16, 13}, {11, 18, 14}, {13, 20, 16},
                                     {14, 23, 18}, {16, 25, 20}, {18, 29, 23}};

const uint16_t kQuantScale[6][3] = {{13107, 5243, 8066}, {11916, 4660, 7490}, {10082, 4194, 6554},
                                    {9362, 3647, 5825},  {8192, 3355, 5243},  {7282, 2893, 4559}};

Vlc CoeffTokenVlc(int nTable, int nTotalCoeff, int nTrailingOnes)
{
    if (nTable < 0 || nTable >= kCoeffTokenTables || nTotalCoeff < 0 || nTotalCoeff > kMaxTotalCoeff ||
        nTrailingOnes < 0 || nTrailingOnes > kMaxTrailingOnes)
        return {0, 0};
    return kCoeffToken[nTable].v[nTotalCoeff][nTrailingOnes];
}

Vlc ChromaDcCoeffTokenVlc(int nTotalCoeff, int nTrailingOnes)
{
    if (nTotalCoeff < 0 || nTotalCoeff > kMaxChromaDcCoeff || nTrailingOnes < 0 || nTrailingOnes > kMaxTrailingOnes)
        return {0, 0};
    return kChromaDcCoeffToken.v[nTotalCoeff][nTrailingOnes];
}

Vlc TotalZerosVlc(int nTotalCoeff, int nTotalZeros)
{
    if (nTotalCoeff < 1 || nTotalCoeff >= kMaxTotalCoeff || nTotalZeros < 0 || nTotalZeros > 16 - nTotalCoeff)
        return {0, 0};
    return kTotalZeros.v[nTotalCoeff][nTotalZeros];
}

Vlc ChromaDcTotalZerosVlc(int nTotalCoeff, int nTotalZeros)
{
    if (nTotalCoeff < 1 || nTotalCoeff >= kMaxChromaDcCoeff || nTotalZeros < 0 ||
        nTotalZeros > kMaxChromaDcCoeff - nTotalCoeff)
        return {0, 0};
    return kChromaDcTotalZeros.v[nTotalCoeff][nTotalZeros];
}

Vlc RunBeforeVlc(int nZerosLeft, int nRunBefore)
{
    if (nZerosLeft < 1 || nRunBefore < 0 || nRunBefore > nZerosLeft || nRunBefore > 14)
        return {0, 0};
    return kRunBefore.v[nZerosLeft > 6 ? 7 : nZerosLeft][nRunBefore];
}

int CoeffTokenTableFor(int nC)
{
    return nC < 2 ? 0 : nC < 4 ? 1 : nC < 8 ? 2 : 3;
}

int InterCbpCodeNum(int nCodedBlockPattern)
{
    return CodeNumIn(kInterCbpOfCodeNum, nCodedBlockPattern);
}

int IntraCbpCodeNum(int nCodedBlockPattern)
{
    return CodeNumIn(kIntraCbpOfCodeNum, nCodedBlockPattern);
}

int InterCbpOfCodeNum(int nCodeNum)
{
    return nCodeNum < 0 || nCodeNum >= 48 ? -1 : kInterCbpOfCodeNum[nCodeNum];
}

int IntraCbpOfCodeNum(int nCodeNum)
{
    return nCodeNum < 0 || nCodeNum >= 48 ? -1 : kIntraCbpOfCodeNum[nCodeNum];
}

int ChromaQp(int nQpi)
{
    if (nQpi < 30)
        return nQpi;
    return kChromaQpAbove29[(nQpi > 51 ? 51 : nQpi) - 30];
}

} // namespace h264
