#include "HuffmanBooks.h"

namespace aac
{
namespace
{

using namespace huffman_data;

// Index 0 is the zero book, which has no code words.
const SpectrumBook kBooks[kLastSpectrumBook + 1] = {
    {0, false, 0, nullptr, 0},
    {4, true, 1, kSpectrumCodes1, 81},
    {4, true, 1, kSpectrumCodes2, 81},
    {4, false, 2, kSpectrumCodes3, 81},
    {4, false, 2, kSpectrumCodes4, 81},
    {2, true, 4, kSpectrumCodes5, 81},
    {2, true, 4, kSpectrumCodes6, 81},
    {2, false, 7, kSpectrumCodes7, 64},
    {2, false, 7, kSpectrumCodes8, 64},
    {2, false, 12, kSpectrumCodes9, 169},
    {2, false, 12, kSpectrumCodes10, 169},
    {2, false, kEscapeMarker, kSpectrumCodes11, 289},
};

} // namespace

const SpectrumBook& SpectrumBookOf(int nBook)
{
    return kBooks[nBook];
}

const HuffmanCode& ScaleFactorCodeOf(int nDifference)
{
    return kScaleFactorCodes[nDifference + kLargestScaleFactorStep];
}

} // namespace aac
