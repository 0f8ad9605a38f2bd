// The variable-length codes of CAVLC, as ITU-T H.264 lists them (tables
// 9-4, 9-5, 9-7, 9-8, 9-9 and 9-10), and the scans and quantisation
// scales the residual uses (clause 8.5).
#pragma once

#include <cstdint>

namespace h264
{

// A code word: its bits right-aligned in uCode, nLength bits long; a
// length of 0 marks a combination the syntax cannot produce.
struct Vlc
{
    uint16_t uCode;
    uint8_t nLength;
};

// Reads a code word written as in the standard's tables, "0000 0111".
constexpr Vlc ParseVlc(const char* pszBits)
{
    Vlc vlc = {0, 0};
    for (const char* p = pszBits; *p != '\0'; ++p)
    {
        if (*p == ' ')
            continue;
        vlc.uCode = static_cast<uint16_t>(vlc.uCode << 1 | (*p == '1' ? 1 : 0));
        ++vlc.nLength;
    }
    return vlc;
}

constexpr int kCoeffTokenTables = 4; // 0<=nC<2, 2<=nC<4, 4<=nC<8, 8<=nC
constexpr int kMaxTotalCoeff = 16;
constexpr int kMaxTrailingOnes = 3;
constexpr int kMaxChromaDcCoeff = 4;

// coeff_token for luma and chroma AC blocks: [table][TotalCoeff][TrailingOnes].
Vlc CoeffTokenVlc(int nTable, int nTotalCoeff, int nTrailingOnes);
// coeff_token of a 2x2 chroma DC block (nC = -1): [TotalCoeff][TrailingOnes].
Vlc ChromaDcCoeffTokenVlc(int nTotalCoeff, int nTrailingOnes);
// total_zeros of a 4x4 block, TotalCoeff 1 to 15, total_zeros 0 to 16 - TotalCoeff.
Vlc TotalZerosVlc(int nTotalCoeff, int nTotalZeros);
// total_zeros of a 2x2 chroma DC block, TotalCoeff 1 to 3.
Vlc ChromaDcTotalZerosVlc(int nTotalCoeff, int nTotalZeros);
// run_before for zerosLeft 1 to 6 and above 6 (pass any larger value).
Vlc RunBeforeVlc(int nZerosLeft, int nRunBefore);
// Which table coeff_token uses for nC >= 0.
int CoeffTokenTableFor(int nC);

// coded_block_pattern (4:2:0) as its codeNum of me(v), for an inter and an
// Intra_4x4 macroblock.
int InterCbpCodeNum(int nCodedBlockPattern);
int IntraCbpCodeNum(int nCodedBlockPattern);
// The inverses, for tests: cbp of codeNum 0 to 47.
int InterCbpOfCodeNum(int nCodeNum);
int IntraCbpOfCodeNum(int nCodeNum);

// Zig-zag scan of a 4x4 frame block: scan index to raster index (row * 4 + column).
extern const uint8_t kZigZag4x4[16];

// Dequantisation scales v (normAdjust4x4 with flat weights, divided by 16):
// [qP % 6][class]; class 0 for positions with both indices even, 1 for
// both odd, 2 for the rest.
extern const uint8_t kDequantScale[6][3];
// The encoder's forward scales, chosen so that kQuantScale * kDequantScale
// makes 2^17 times the transform's norm correction for each class.
extern const uint16_t kQuantScale[6][3];
// QPc of qPI 30 to 51 (below 30 QPc equals qPI).
int ChromaQp(int nQpi);

} // namespace h264
