#include "StreamReader.h"

#include "HuffmanBooks.h"
#include "ScaleFactorBands.h"

#include <cstdlib>
#include <map>
#include <utility>

namespace aactest
{

bool BitReader::Read(int nCount, uint32_t& uValue)
{
    uValue = 0;
    for (int i = 0; i < nCount; ++i)
    {
        if (m_nBit >= m_bytes.size() * 8)
            return false;
        uValue = (uValue << 1) | ((m_bytes[m_nBit / 8] >> (7 - m_nBit % 8)) & 1u);
        ++m_nBit;
    }
    return true;
}

namespace
{

const aac::HuffmanCode* CodesOf(int nBook, size_t& cCodes)
{
    if (nBook == 0)
    {
        cCodes = 121;
        return aac::huffman_data::kScaleFactorCodes;
    }
    const aac::SpectrumBook& book = aac::SpectrumBookOf(nBook);
    cCodes = book.cCodes;
    return book.pCodes;
}

// A book's code words by length and bits.
const std::map<std::pair<int, uint32_t>, int>& DecodeMap(int nBook)
{
    static std::map<std::pair<int, uint32_t>, int> maps[12];
    auto& map = maps[nBook];
    if (map.empty())
    {
        size_t cCodes = 0;
        const aac::HuffmanCode* pCodes = CodesOf(nBook, cCodes);
        for (size_t i = 0; i < cCodes; ++i)
            map[{pCodes[i].nLength, pCodes[i].uBits}] = static_cast<int>(i);
    }
    return map;
}

} // namespace

bool ReadCodeIndex(BitReader& reader, int nBook, int& nIndex)
{
    const auto& map = DecodeMap(nBook);
    uint32_t uBits = 0;
    for (int nLength = 1; nLength <= 19; ++nLength)
    {
        uint32_t uBit = 0;
        if (!reader.Read(1, uBit))
            return false;
        uBits = (uBits << 1) | uBit;
        const auto it = map.find({nLength, uBits});
        if (it != map.end())
        {
            nIndex = it->second;
            return true;
        }
    }
    return false;
}

namespace
{

class BlockParser
{
public:
    BlockParser(const std::vector<uint8_t>& bytes, const int* pBandOffsets, RawDataBlock& block, std::string& error)
        : m_reader(bytes), m_pOffsets(pBandOffsets), m_block(block), m_error(error)
    {
    }

    bool Parse()
    {
        bool bHaveAudio = false;
        for (;;)
        {
            uint32_t uId = 0;
            if (!Bits(3, uId, "element id"))
                return false;
            if (uId == 7)
                break;
            if (uId == 6)
            {
                if (!FillElement())
                    return false;
                continue;
            }
            if ((uId != 0 && uId != 1) || bHaveAudio)
                return Fail("an element other than one channel element, fill and end: " + std::to_string(uId));
            bHaveAudio = true;
            uint32_t uTag = 0;
            if (!Bits(4, uTag, "instance tag") || (uTag != 0 && Fail("instance tag not 0")))
                return false;
            if (!(uId == 0 ? SingleChannel() : ChannelPair()))
                return false;
        }
        if (!bHaveAudio)
            return Fail("no audio element");
        // Byte alignment: only zero bits, up to the end of the unit.
        while (m_reader.Position() < m_reader.Size())
        {
            uint32_t uBit = 0;
            m_reader.Read(1, uBit);
            if (uBit != 0)
                return Fail("bits after the end element");
        }
        if (m_reader.Position() % 8 != 0)
            return Fail("unit not whole bytes");
        return true;
    }

private:
    bool Fail(const std::string& what)
    {
        m_error = what + " at bit " + std::to_string(m_reader.Position());
        return false;
    }
    bool Bits(int nCount, uint32_t& uValue, const char* pszWhat)
    {
        return m_reader.Read(nCount, uValue) || Fail(std::string("stream ends in ") + pszWhat);
    }

    bool FillElement()
    {
        uint32_t uCount = 0;
        if (!Bits(4, uCount, "fill count"))
            return false;
        if (uCount == 15)
        {
            uint32_t uEscape = 0;
            if (!Bits(8, uEscape, "fill count escape"))
                return false;
            uCount += uEscape - 1;
        }
        for (uint32_t i = 0; i < uCount; ++i)
        {
            uint32_t uByte = 0;
            if (!Bits(8, uByte, "fill bytes"))
                return false;
            if (uByte != (i == 0 ? 0x00u : 0xA5u))
                return Fail("a fill byte of " + std::to_string(uByte));
        }
        ++m_block.cFillElements;
        m_block.cFillBytes += static_cast<int>(uCount);
        return true;
    }

    bool IcsInfo()
    {
        uint32_t uReserved = 0, uSequence = 0, uShape = 0, uBands = 0, uPredictor = 0;
        if (!Bits(1, uReserved, "ics_info") || !Bits(2, uSequence, "ics_info") || !Bits(1, uShape, "ics_info") ||
            !Bits(6, uBands, "ics_info") || !Bits(1, uPredictor, "ics_info"))
            return false;
        if (uReserved != 0 || uSequence != 0 || uShape != 0 || uPredictor != 0)
            return Fail("ics_info not a long block with the sine window");
        if (uBands > static_cast<uint32_t>(aac::kLongBands))
            return Fail("max_sfb " + std::to_string(uBands));
        m_block.cBands = static_cast<int>(uBands);
        return true;
    }

    bool SingleChannel()
    {
        m_block.cChannels = 1;
        return ChannelStreamOf(m_block.channels[0], false);
    }

    bool ChannelPair()
    {
        m_block.cChannels = 2;
        uint32_t uCommon = 0;
        if (!Bits(1, uCommon, "common_window") || (uCommon != 1 && Fail("no common window")) || !IcsInfo())
            return false;
        uint32_t uMode = 0;
        if (!Bits(2, uMode, "ms_mask_present") || (uMode == 3 && Fail("ms_mask_present 3")))
            return false;
        m_block.nMidSideMode = static_cast<int>(uMode);
        m_block.midSide.assign(m_block.cBands, uMode == 2);
        if (uMode == 1)
        {
            for (int b = 0; b < m_block.cBands; ++b)
            {
                uint32_t uUsed = 0;
                if (!Bits(1, uUsed, "ms_used"))
                    return false;
                m_block.midSide[b] = uUsed != 0;
            }
        }
        return ChannelStreamOf(m_block.channels[0], true) && ChannelStreamOf(m_block.channels[1], true);
    }

    bool ChannelStreamOf(ChannelStream& channel, bool bCommonWindow)
    {
        uint32_t uGain = 0;
        if (!Bits(8, uGain, "global_gain"))
            return false;
        channel.nGlobalGain = static_cast<int>(uGain);
        if (!bCommonWindow && !IcsInfo())
            return false;
        const int cBands = m_block.cBands;
        channel.books.assign(cBands, 0);
        for (int b = 0; b < cBands;)
        {
            uint32_t uBook = 0;
            if (!Bits(4, uBook, "sect_cb"))
                return false;
            if (uBook > 11)
                return Fail("book " + std::to_string(uBook));
            int cLength = 0;
            uint32_t uIncrement = 0;
            do
            {
                if (!Bits(5, uIncrement, "sect_len"))
                    return false;
                cLength += static_cast<int>(uIncrement);
            } while (uIncrement == 31);
            if (cLength == 0 || b + cLength > cBands)
                return Fail("a section of " + std::to_string(cLength) + " bands");
            for (int i = 0; i < cLength; ++i)
                channel.books[b + i] = static_cast<int>(uBook);
            b += cLength;
        }
        channel.scaleFactors.assign(cBands, 0);
        int nScaleFactor = channel.nGlobalGain;
        for (int b = 0; b < cBands; ++b)
        {
            if (channel.books[b] != 0)
            {
                int nIndex = 0;
                if (!ReadCodeIndex(m_reader, 0, nIndex))
                    return Fail("a scale factor code word");
                nScaleFactor += nIndex - 60;
                if (nScaleFactor < 0 || nScaleFactor > 255)
                    return Fail("scale factor " + std::to_string(nScaleFactor));
            }
            channel.scaleFactors[b] = nScaleFactor;
        }
        uint32_t uTools = 0;
        if (!Bits(3, uTools, "tool flags") || (uTools != 0 && Fail("pulse, TNS or gain control present")))
            return false;
        channel.quantised.assign(1024, 0);
        for (int b = 0; b < cBands; ++b)
        {
            if (channel.books[b] == 0)
                continue;
            const aac::SpectrumBook& book = aac::SpectrumBookOf(channel.books[b]);
            for (int k = m_pOffsets[b]; k < m_pOffsets[b + 1]; k += book.nDimension)
            {
                if (!Tuple(book, channel.books[b], &channel.quantised[k]))
                    return false;
            }
        }
        return true;
    }

    bool Tuple(const aac::SpectrumBook& book, int nBook, int* pValues)
    {
        int nIndex = 0;
        if (!ReadCodeIndex(m_reader, nBook, nIndex))
            return Fail("a spectral code word of book " + std::to_string(nBook));
        const int nBase = book.bSigned ? 2 * book.nLargest + 1 : book.nLargest + 1;
        for (int i = book.nDimension - 1; i >= 0; --i)
        {
            pValues[i] = nIndex % nBase - (book.bSigned ? book.nLargest : 0);
            nIndex /= nBase;
        }
        if (book.bSigned)
            return true;
        for (int i = 0; i < book.nDimension; ++i)
        {
            uint32_t uSign = 0;
            if (pValues[i] != 0 && !Bits(1, uSign, "sign bit"))
                return false;
            if (uSign != 0)
                pValues[i] = -pValues[i];
        }
        if (nBook != 11)
            return true;
        for (int i = 0; i < book.nDimension; ++i)
        {
            if (std::abs(pValues[i]) != 16)
                continue;
            int nOnes = 0;
            for (uint32_t uBit = 1; uBit != 0; ++nOnes)
            {
                if (!Bits(1, uBit, "escape prefix"))
                    return false;
                if (uBit != 0 && nOnes == 8)
                    return Fail("an escape of more than 8 ones");
            }
            --nOnes; // the zero that ended the prefix was counted
            uint32_t uWord = 0;
            if (!Bits(nOnes + 4, uWord, "escape word"))
                return false;
            const int nMagnitude = (1 << (nOnes + 4)) + static_cast<int>(uWord);
            pValues[i] = pValues[i] < 0 ? -nMagnitude : nMagnitude;
        }
        return true;
    }

    BitReader m_reader;
    const int* m_pOffsets;
    RawDataBlock& m_block;
    std::string& m_error;
};

} // namespace

bool ReadRawDataBlock(const std::vector<uint8_t>& bytes, const int* pBandOffsets, RawDataBlock& block,
                      std::string& error)
{
    block = RawDataBlock();
    return BlockParser(bytes, pBandOffsets, block, error).Parse();
}

} // namespace aactest
