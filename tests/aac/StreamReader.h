// The tests' own reader of the encoder's raw data blocks: the syntax of
// single channel and channel pair elements with long blocks, fill and end
// elements, and the Huffman-coded scale factors and spectra. Anything it
// does not expect is a failure with a reason, never a guess.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace aactest
{

struct ChannelStream
{
    int nGlobalGain = 0;
    std::vector<int> books;         // a band each, up to max_sfb
    std::vector<int> scaleFactors;  // a band each; those of zero bands repeat the one before
    std::vector<int> quantised;     // 1024 lines
};

struct RawDataBlock
{
    int cChannels = 0;
    int cBands = 0;                 // max_sfb
    int nMidSideMode = 0;           // ms_mask_present
    std::vector<bool> midSide;      // a band each
    ChannelStream channels[2];
    int cFillElements = 0;
    int cFillBytes = 0;
};

// Reads one access unit; false with the reason in error.
bool ReadRawDataBlock(const std::vector<uint8_t>& bytes, const int* pBandOffsets, RawDataBlock& block,
                      std::string& error);

// The value of a code word of a book (0 for the scale factor book, its index
// being the difference + 60; 1 to 11 for the spectra), read one bit at a
// time from bits; -1 when no code word matches.
class BitReader
{
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
    bool Read(int nCount, uint32_t& uValue);
    size_t Position() const { return m_nBit; }
    size_t Size() const { return m_bytes.size() * 8; }

private:
    const std::vector<uint8_t>& m_bytes;
    size_t m_nBit = 0;
};

bool ReadCodeIndex(BitReader& reader, int nBook, int& nIndex);

} // namespace aactest
