// The AAC encoder core: its codebooks by their own properties, the
// transform against the standard's formulas, the spectrum's code words read
// back, and whole access units read back by the tests' own reader, for
// signals that are easy and hard to code.
#include <gtest/gtest.h>

#include "AacEncoder.h"
#include "BitWriter.h"
#include "HuffmanBooks.h"
#include "Mdct.h"
#include "ScaleFactorBands.h"
#include "Signals.h"
#include "LineCoder.h"
#include "StreamReader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>

namespace
{

constexpr double kPi = 3.14159265358979323846;

struct BookView
{
    const aac::HuffmanCode* pCodes;
    size_t cCodes;
};

BookView Book(int nBook)
{
    if (nBook == 0)
        return {aac::huffman_data::kScaleFactorCodes, 121};
    const aac::SpectrumBook& book = aac::SpectrumBookOf(nBook);
    return {book.pCodes, book.cCodes};
}

std::string Bits(const aac::HuffmanCode& code)
{
    std::string text;
    for (int i = code.nLength - 1; i >= 0; --i)
        text += ((code.uBits >> i) & 1u) != 0 ? '1' : '0';
    return text;
}

std::vector<aac::AccessUnit> EncodeAll(const aactest::Signal& signal, size_t cFramesAPush, int nBitRate = 0)
{
    std::unique_ptr<aac::Encoder> encoder;
    aac::EncoderSettings settings;
    settings.nSampleRate = signal.nSampleRate;
    settings.nChannels = signal.nChannels;
    settings.nBitRate = nBitRate;
    EXPECT_EQ(aac::Status::Ok, aac::Encoder::Create(settings, encoder));
    std::vector<aac::AccessUnit> units;
    if (!encoder)
        return units;
    for (size_t i = 0; i < signal.Frames(); i += cFramesAPush)
    {
        const size_t cFrames = std::min(cFramesAPush, signal.Frames() - i);
        encoder->Encode(signal.samples.data() + i * signal.nChannels, cFrames, units);
    }
    encoder->Finish(units);
    return units;
}

} // namespace

// ---------------------------------------------------------------------------
// The codebooks

TEST(AacBooks, EachIsACompletePrefixCodeOfTheRightSize)
{
    const size_t kSizes[] = {121, 81, 81, 81, 81, 81, 81, 64, 64, 169, 169, 289};
    for (int nBook = 0; nBook <= aac::kLastSpectrumBook; ++nBook)
    {
        SCOPED_TRACE("book " + std::to_string(nBook));
        const BookView book = Book(nBook);
        ASSERT_EQ(kSizes[nBook], book.cCodes);
        // Kraft: the code words fill the code space exactly, in units of 2^-19.
        uint64_t uSpace = 0;
        std::vector<std::string> words;
        for (size_t i = 0; i < book.cCodes; ++i)
        {
            const aac::HuffmanCode& code = book.pCodes[i];
            ASSERT_GE(code.nLength, 1);
            ASSERT_LE(code.nLength, 19);
            ASSERT_EQ(0u, code.uBits >> code.nLength) << "bits beyond the length at " << i;
            uSpace += uint64_t{1} << (19 - code.nLength);
            words.push_back(Bits(code));
        }
        EXPECT_EQ(uint64_t{1} << 19, uSpace);
        // Sorted, a word that is the prefix of another comes right before one such.
        std::sort(words.begin(), words.end());
        for (size_t i = 1; i < words.size(); ++i)
            EXPECT_NE(0u, words[i].rfind(words[i - 1], 0)) << words[i - 1] << " is a prefix of " << words[i];
    }
}

TEST(AacBooks, KnownCodeWordsAndWhatEachSpectrumBookHolds)
{
    const struct
    {
        int nBook;
        int nIndex;
        const char* pszBits;
    } kWords[] = {
        {0, 60, "0"},     {0, 59, "100"}, {0, 61, "1010"},    {1, 40, "0"},
        {5, 40, "0"},     {11, 0, "0000"}, {11, 288, "00100"},
    };
    for (const auto& w : kWords)
        EXPECT_EQ(w.pszBits, Bits(Book(w.nBook).pCodes[w.nIndex])) << "book " << w.nBook << " index " << w.nIndex;

    // The number of code words is the number of tuples the book's values make.
    for (int nBook = aac::kFirstSpectrumBook; nBook <= aac::kLastSpectrumBook; ++nBook)
    {
        const aac::SpectrumBook& book = aac::SpectrumBookOf(nBook);
        const int nBase = book.bSigned ? 2 * book.nLargest + 1 : book.nLargest + 1;
        size_t cTuples = 1;
        for (int i = 0; i < book.nDimension; ++i)
            cTuples *= static_cast<size_t>(nBase);
        EXPECT_EQ(cTuples, book.cCodes) << "book " << nBook;
    }
    EXPECT_EQ(1, aac::FirstBookFor(1));
    EXPECT_EQ(3, aac::FirstBookFor(2));
    EXPECT_EQ(5, aac::FirstBookFor(4));
    EXPECT_EQ(7, aac::FirstBookFor(7));
    EXPECT_EQ(9, aac::FirstBookFor(12));
    EXPECT_EQ(11, aac::FirstBookFor(13));
    EXPECT_EQ(aac::kZeroBook, aac::FirstBookFor(0));
}

TEST(AacBands, LongBandsCoverTheSpectrumInGrowingSteps)
{
    const int* pOffsets = aac::LongBandOffsets(48000);
    ASSERT_NE(nullptr, pOffsets);
    EXPECT_EQ(pOffsets, aac::LongBandOffsets(44100));
    EXPECT_EQ(nullptr, aac::LongBandOffsets(32000));
    EXPECT_EQ(0, pOffsets[0]);
    EXPECT_EQ(aac::kFrameLength, pOffsets[aac::kLongBands]);
    for (int b = 0; b < aac::kLongBands; ++b)
    {
        const int nWidth = pOffsets[b + 1] - pOffsets[b];
        EXPECT_EQ(0, nWidth % 4) << "band " << b;
        if (b > 0)
        {
            EXPECT_GE(nWidth, pOffsets[b] - pOffsets[b - 1]) << "band " << b;
        }
    }
}

// ---------------------------------------------------------------------------
// Bits and spectra

TEST(AacBits, WriterPacksMostSignificantFirstAndAligns)
{
    aac::BitWriter writer;
    writer.WriteBits(0x5, 3);
    writer.WriteFlag(true);
    writer.WriteBits(0xABC, 12);
    EXPECT_EQ(16u, writer.BitCount());
    writer.WriteBits(1, 1);
    writer.AlignToByte();
    EXPECT_EQ((std::vector<uint8_t>{0xBA, 0xBC, 0x80}), writer.Bytes());
}

TEST(AacSpectrum, EveryBookReadsBackWhatItWrote)
{
    std::mt19937 random(5);
    for (int nBook = aac::kFirstSpectrumBook; nBook <= aac::kLastSpectrumBook; ++nBook)
    {
        SCOPED_TRACE("book " + std::to_string(nBook));
        const aac::SpectrumBook& book = aac::SpectrumBookOf(nBook);
        const int nLargest = nBook == aac::kEscapeBook ? aac::kLargestQuantisedValue : book.nLargest;
        std::vector<int> values(64);
        for (int& nValue : values)
            nValue = static_cast<int>(random() % (2 * nLargest + 1)) - nLargest;
        if (nBook == aac::kEscapeBook) // every length of escape, and the edges
        {
            const int kEdges[] = {15, 16, 17, 31, 32, 63, 64, 255, 256, 4095, 4096, 8191, -8191, -16, -15, 0};
            std::copy(std::begin(kEdges), std::end(kEdges), values.begin());
        }
        aac::BitWriter writer;
        const int nBits = aac::SpectrumBits(values.data(), static_cast<int>(values.size()), nBook);
        ASSERT_LT(nBits, aac::kUncodable);
        aac::WriteSpectrum(writer, values.data(), static_cast<int>(values.size()), nBook);
        EXPECT_EQ(static_cast<size_t>(nBits), writer.BitCount());
        writer.AlignToByte();

        // The reader's own tuple decoding: code word, sign bits, escapes.
        aactest::BitReader reader(writer.Bytes());
        std::vector<int> read(values.size());
        for (size_t i = 0; i < values.size(); i += book.nDimension)
        {
            int nIndex = 0;
            ASSERT_TRUE(aactest::ReadCodeIndex(reader, nBook, nIndex));
            const int nBase = book.bSigned ? 2 * book.nLargest + 1 : book.nLargest + 1;
            for (int j = book.nDimension - 1; j >= 0; --j, nIndex /= nBase)
                read[i + j] = nIndex % nBase - (book.bSigned ? book.nLargest : 0);
            for (int j = 0; j < book.nDimension && !book.bSigned; ++j)
            {
                uint32_t uSign = 0;
                if (read[i + j] != 0 && reader.Read(1, uSign) && uSign != 0)
                    read[i + j] = -read[i + j];
            }
            for (int j = 0; j < book.nDimension && nBook == aac::kEscapeBook; ++j)
            {
                if (std::abs(read[i + j]) != 16)
                    continue;
                int nOnes = 0;
                uint32_t uBit = 0;
                while (reader.Read(1, uBit) && uBit != 0)
                    ++nOnes;
                uint32_t uWord = 0;
                ASSERT_TRUE(reader.Read(nOnes + 4, uWord));
                const int nMagnitude = (1 << (nOnes + 4)) + static_cast<int>(uWord);
                read[i + j] = read[i + j] < 0 ? -nMagnitude : nMagnitude;
            }
        }
        EXPECT_EQ(values, read);
    }
}

TEST(AacSpectrum, ValuesBeyondABookAreUncodableInIt)
{
    const int kTwo[4] = {0, 2, 0, 0};
    EXPECT_EQ(aac::kUncodable, aac::SpectrumBits(kTwo, 4, 1));
    EXPECT_EQ(aac::kUncodable, aac::SpectrumBits(kTwo, 4, 2));
    EXPECT_LT(aac::SpectrumBits(kTwo, 4, 3), aac::kUncodable);
    const int kThirteen[2] = {-13, 1};
    EXPECT_EQ(aac::kUncodable, aac::SpectrumBits(kThirteen, 2, 10));
    EXPECT_LT(aac::SpectrumBits(kThirteen, 2, 11), aac::kUncodable);
    const int kTooLarge[2] = {8192, 0};
    EXPECT_EQ(aac::kUncodable, aac::SpectrumBits(kTooLarge, 2, 11));
}

// ---------------------------------------------------------------------------
// The transform

TEST(AacMdct, MatchesTheStandardsSumAndItsInverseGivesTheSamplesBack)
{
    const int N = aac::kWindowLength;
    const int M = aac::kFrameLength;
    const double n0 = (N / 2 + 1) / 2.0;
    std::mt19937 random(3);
    std::normal_distribution<double> normal(0.0, 3000.0);
    std::vector<double> samples(5 * M);
    for (double& dSample : samples)
        dSample = normal(random);

    aac::Mdct mdct;
    const std::vector<double>& window = mdct.Window();
    std::vector<double> lines(M);
    mdct.Transform(samples.data(), lines.data());
    double dLargest = 0.0;
    for (int k = 0; k < M; k += 7)
    {
        double dSum = 0.0;
        for (int n = 0; n < N; ++n)
            dSum += window[n] * samples[n] * std::cos(2 * kPi / N * (n + n0) * (k + 0.5));
        dLargest = std::max(dLargest, std::fabs(2 * dSum - lines[k]));
    }
    EXPECT_LT(dLargest, 1e-6);

    // The inverse transform, windowed and overlapped, gives the middle back.
    std::vector<double> out(samples.size(), 0.0);
    for (int nBlock = 0; nBlock < 4; ++nBlock)
    {
        mdct.Transform(samples.data() + nBlock * M, lines.data());
        for (int n = 0; n < N; ++n)
        {
            double dSum = 0.0;
            for (int k = 0; k < M; ++k)
                dSum += lines[k] * std::cos(2 * kPi / N * (n + n0) * (k + 0.5));
            out[nBlock * M + n] += window[n] * 2.0 / N * dSum;
        }
    }
    double dError = 0.0;
    for (int i = M; i < 4 * M; ++i)
        dError = std::max(dError, std::fabs(out[i] - samples[i]));
    EXPECT_LT(dError, 1e-6);
}

// ---------------------------------------------------------------------------
// Whole access units

TEST(AacEncoder, RefusesWhatItCannotEncode)
{
    std::unique_ptr<aac::Encoder> encoder;
    const struct
    {
        int nRate, nChannels, nBitRate;
        aac::Status expected;
    } kCases[] = {
        {48000, 2, 0, aac::Status::Ok},
        {44100, 1, 0, aac::Status::Ok},
        {48000, 2, 128000, aac::Status::Ok},
        {32000, 2, 0, aac::Status::UnsupportedFormat},
        {48000, 3, 0, aac::Status::UnsupportedFormat},
        {48000, 0, 0, aac::Status::UnsupportedFormat},
        {48000, 2, -1, aac::Status::BadBitRate},
        {48000, 2, 1000, aac::Status::BadBitRate},
        {48000, 1, 300000, aac::Status::BadBitRate},
    };
    for (const auto& c : kCases)
    {
        aac::EncoderSettings settings;
        settings.nSampleRate = c.nRate;
        settings.nChannels = c.nChannels;
        settings.nBitRate = c.nBitRate;
        EXPECT_EQ(c.expected, aac::Encoder::Create(settings, encoder))
            << c.nRate << " Hz, " << c.nChannels << " channels, " << c.nBitRate << " bit/s";
        EXPECT_EQ(c.expected == aac::Status::Ok, encoder != nullptr);
    }
}

TEST(AacEncoder, AudioSpecificConfigNamesLowComplexityRateAndChannels)
{
    const struct
    {
        int nRate, nChannels;
        std::vector<uint8_t> config;
    } kCases[] = {
        {48000, 2, {0x11, 0x90}},
        {48000, 1, {0x11, 0x88}},
        {44100, 2, {0x12, 0x10}},
        {44100, 1, {0x12, 0x08}},
    };
    for (const auto& c : kCases)
    {
        std::unique_ptr<aac::Encoder> encoder;
        aac::EncoderSettings settings;
        settings.nSampleRate = c.nRate;
        settings.nChannels = c.nChannels;
        ASSERT_EQ(aac::Status::Ok, aac::Encoder::Create(settings, encoder));
        EXPECT_EQ(c.config, encoder->AudioSpecificConfig()) << c.nRate << " Hz, " << c.nChannels << " channels";
    }
}

// Every unit of every signal reads back with the tests' own reader: the
// syntax, the books and escapes, and the values the encoder quantised; no
// unit is over the limit, and the whole holds the rate.
TEST(AacEncoder, EverySignalReadsBackWithinTheLimitAndTheRate)
{
    const struct
    {
        const char* pszSignal;
        int nRate, nChannels;
    } kCases[] = {
        {"tone", 48000, 2},   {"noise", 48000, 2},  {"sweep", 44100, 2}, {"silence", 48000, 2},
        {"square", 48000, 2}, {"bursts", 48000, 1}, {"clicks", 44100, 1}, {"extremes", 48000, 2},
        {"noise", 44100, 1},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(std::string(c.pszSignal) + ", " + std::to_string(c.nRate) + " Hz, " +
                     std::to_string(c.nChannels) + " channels");
        const aactest::Signal signal = aactest::SignalNamed(c.pszSignal, c.nRate, c.nChannels, 3.0);
        ASSERT_FALSE(signal.samples.empty());

        std::unique_ptr<aac::Encoder> encoder;
        aac::EncoderSettings settings;
        settings.nSampleRate = c.nRate;
        settings.nChannels = c.nChannels;
        ASSERT_EQ(aac::Status::Ok, aac::Encoder::Create(settings, encoder));
        const int* pOffsets = aac::LongBandOffsets(c.nRate);
        size_t cBytes = 0;
        size_t cUnits = 0;
        for (size_t i = 0; i < signal.Frames(); i += 1024)
        {
            std::vector<aac::AccessUnit> units;
            encoder->Encode(signal.samples.data() + i * c.nChannels, std::min<size_t>(1024, signal.Frames() - i),
                            units);
            for (const aac::AccessUnit& unit : units)
            {
                ++cUnits;
                cBytes += unit.bytes.size();
                ASSERT_LE(unit.bytes.size() * 8, static_cast<size_t>(aac::kMostBitsPerChannel * c.nChannels));
                aactest::RawDataBlock block;
                std::string error;
                ASSERT_TRUE(aactest::ReadRawDataBlock(unit.bytes, pOffsets, block, error))
                    << "unit " << cUnits << ": " << error;
                ASSERT_EQ(c.nChannels, block.cChannels);
                for (int ch = 0; ch < c.nChannels; ++ch)
                {
                    const aac::ChannelCoder& coded = encoder->Channel(ch);
                    std::vector<int> expected(coded.Quantised());
                    std::fill(expected.begin() + pOffsets[block.cBands], expected.end(), 0);
                    EXPECT_EQ(expected, block.channels[ch].quantised) << "unit " << cUnits << ", channel " << ch;
                    EXPECT_EQ(coded.ScaleFactor(), block.channels[ch].nGlobalGain);
                    for (int b = 0; b < block.cBands; ++b)
                        EXPECT_EQ(coded.ScaleFactor(), block.channels[ch].scaleFactors[b]);
                }
                if (c.nChannels == 2)
                {
                    for (int b = 0; b < block.cBands; ++b)
                        EXPECT_EQ(encoder->MidSideBands()[b], block.midSide[b]) << "band " << b;
                }
            }
        }
        // Constant rate: never above the target, and below it by at most what
        // the reservoir holds.
        const double dTarget = 64000.0 * c.nChannels * 1024 / c.nRate / 8; // bytes a unit
        const double dAverage = static_cast<double>(cBytes) / static_cast<double>(cUnits);
        EXPECT_LE(dAverage, dTarget);
        EXPECT_GE(dAverage, dTarget - (aac::kMostBitsPerChannel * c.nChannels / 8.0) / static_cast<double>(cUnits));
    }
}

TEST(AacEncoder, TwoEqualChannelsGoAsMidAndSide)
{
    const aactest::Signal tone = aactest::GeneratorTone(48000, 2, 0.2);
    std::unique_ptr<aac::Encoder> encoder;
    ASSERT_EQ(aac::Status::Ok, aac::Encoder::Create(aac::EncoderSettings(), encoder));
    std::vector<aac::AccessUnit> units;
    encoder->Encode(tone.samples.data(), tone.Frames(), units);
    ASSERT_FALSE(units.empty());
    aactest::RawDataBlock block;
    std::string error;
    ASSERT_TRUE(aactest::ReadRawDataBlock(units.back().bytes, aac::LongBandOffsets(48000), block, error)) << error;
    EXPECT_EQ(2, block.nMidSideMode) << "every band as mid and side";
    const std::vector<int>& side = block.channels[1].quantised;
    EXPECT_TRUE(std::all_of(side.begin(), side.end(), [](int n) { return n == 0; })) << "nothing on the side";

    // Independent noise on the two sides mostly does not: only a band whose
    // few lines happen to agree.
    const aactest::Signal noise = aactest::WhiteNoise(48000, 2, 0.2);
    ASSERT_EQ(aac::Status::Ok, aac::Encoder::Create(aac::EncoderSettings(), encoder));
    units.clear();
    encoder->Encode(noise.samples.data(), noise.Frames(), units);
    ASSERT_TRUE(aactest::ReadRawDataBlock(units.back().bytes, aac::LongBandOffsets(48000), block, error)) << error;
    EXPECT_LE(std::count(block.midSide.begin(), block.midSide.end(), true), block.cBands / 10);
}

// However the samples come, the units are the same, and each is stamped with
// its first sample; the end brings out what is held and one unit more.
TEST(AacEncoder, BuffersOfAnySizeGiveTheSameUnitsAndTheEndBringsOutTheRest)
{
    const aactest::Signal signal = aactest::ToneBursts(48000, 2, 1.0); // 46 units and 896 frames
    const std::vector<aac::AccessUnit> whole = EncodeAll(signal, signal.Frames());
    const size_t cExpected = signal.Frames() / 1024 + 2;
    ASSERT_EQ(cExpected, whole.size()) << "held samples, padded, then one more";
    for (size_t i = 0; i < whole.size(); ++i)
        EXPECT_EQ(static_cast<int64_t>(i * 1024), whole[i].nFirstSample);
    for (size_t cPush : {1, 480, 1023, 1024, 1025, 4096})
    {
        const std::vector<aac::AccessUnit> pieces = EncodeAll(signal, cPush);
        ASSERT_EQ(whole.size(), pieces.size()) << cPush << " frames a buffer";
        for (size_t i = 0; i < whole.size(); ++i)
        {
            EXPECT_EQ(whole[i].bytes, pieces[i].bytes) << "unit " << i << ", " << cPush << " frames a buffer";
            EXPECT_EQ(whole[i].nFirstSample, pieces[i].nFirstSample);
        }
    }

    // Whole units only: the end adds just the one that brings out the last.
    aactest::Signal exact = signal;
    exact.samples.resize(2048 * 2);
    EXPECT_EQ(3u, EncodeAll(exact, 480).size());
    // Nothing in, nothing out.
    std::unique_ptr<aac::Encoder> encoder;
    ASSERT_EQ(aac::Status::Ok, aac::Encoder::Create(aac::EncoderSettings(), encoder));
    std::vector<aac::AccessUnit> units;
    encoder->Finish(units);
    EXPECT_TRUE(units.empty());
}

TEST(AacEncoder, ResetStartsAfreshAsANewEncoderWould)
{
    const aactest::Signal first = aactest::WhiteNoise(48000, 2, 0.5, 11);
    const aactest::Signal second = aactest::GeneratorTone(48000, 2, 0.5);
    std::unique_ptr<aac::Encoder> encoder;
    ASSERT_EQ(aac::Status::Ok, aac::Encoder::Create(aac::EncoderSettings(), encoder));
    std::vector<aac::AccessUnit> units;
    encoder->Encode(first.samples.data(), 1500, units); // one unit and 476 frames held
    encoder->Reset();
    units.clear();
    encoder->Encode(second.samples.data(), second.Frames(), units);
    encoder->Finish(units);
    const std::vector<aac::AccessUnit> fresh = EncodeAll(second, second.Frames());
    ASSERT_EQ(fresh.size(), units.size());
    for (size_t i = 0; i < units.size(); ++i)
    {
        EXPECT_EQ(fresh[i].bytes, units[i].bytes) << "unit " << i;
        EXPECT_EQ(fresh[i].nFirstSample, units[i].nFirstSample) << "unit " << i;
    }
}
