// The AAC encoder's quality harness, built natively: encodes a test signal
// into an ADTS file (and writes the signal beside it), and measures what a
// decoder made of such a file against the signal. quality_check.sh has
// Debian's ffmpeg decode in between.
//
//   aac_quality encode <signal> <rate> <channels> <seconds> <out.aac> <source.pcm>
//   aac_quality source <signal> <rate> <channels> <seconds> <source.pcm>
//   aac_quality measure <source.pcm> <decoded.pcm> <out.aac> <rate> <channels> [checks]
//       --min-snr DB      signal-to-noise ratio at least DB on every channel
//       --level DB        each channel's level within DB of the source's
//       --tone HZ         the decoded tone within 2 Hz of HZ
//       --kbps K          the bit rate within 10 % of K kbit/s
//       --max-kbps K      the bit rate at most K kbit/s
//       --no-wrap         no sample of the opposite sign where the source is at an extreme
//
// PCM files are interleaved 16-bit little-endian samples. The figures go to
// the standard output; a check that fails makes the exit status 1.
#include "AacEncoder.h"
#include "Signals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kAdtsHeaderBytes = 7;

std::vector<uint8_t> AdtsHeader(int nSampleRate, int nChannels, size_t cbFrame)
{
    const size_t cbAll = cbFrame + kAdtsHeaderBytes;
    const int nRateIndex = nSampleRate == 48000 ? 3 : 4;
    const int nProfile = 1; // AAC-LC, the object type less one
    return {0xFF,
            0xF1, // MPEG-4, layer 0, no CRC
            static_cast<uint8_t>((nProfile << 6) | (nRateIndex << 2) | (nChannels >> 2)),
            static_cast<uint8_t>(((nChannels & 3) << 6) | static_cast<int>(cbAll >> 11)),
            static_cast<uint8_t>((cbAll >> 3) & 0xFF),
            static_cast<uint8_t>(((cbAll & 7) << 5) | 0x1F), // buffer fullness 0x7FF: variable
            0xFC};
}

std::vector<int16_t> ReadPcm(const char* pszPath)
{
    std::ifstream file(pszPath, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

void WritePcm(const char* pszPath, const std::vector<int16_t>& samples)
{
    std::ofstream file(pszPath, std::ios::binary);
    file.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
}

// The signal alone, as the generator in a graph makes it.
int Source(int argc, char** argv)
{
    if (argc != 7)
        return 2;
    const aactest::Signal signal =
        aactest::SignalNamed(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
    if (signal.samples.empty())
        return 2;
    WritePcm(argv[6], signal.samples);
    return 0;
}

int Encode(int argc, char** argv)
{
    if (argc != 8)
        return 2;
    const int nRate = std::atoi(argv[3]);
    const int nChannels = std::atoi(argv[4]);
    const aactest::Signal signal = aactest::SignalNamed(argv[2], nRate, nChannels, std::atof(argv[5]));
    if (signal.samples.empty())
    {
        std::fprintf(stderr, "no signal %s\n", argv[2]);
        return 2;
    }
    std::unique_ptr<aac::Encoder> encoder;
    aac::EncoderSettings settings;
    settings.nSampleRate = nRate;
    settings.nChannels = nChannels;
    if (aac::Encoder::Create(settings, encoder) != aac::Status::Ok)
        return 2;
    std::vector<aac::AccessUnit> units;
    // The buffers a file source hands on: 10 ms.
    const size_t cPush = static_cast<size_t>(nRate / 100);
    for (size_t i = 0; i < signal.Frames(); i += cPush)
        encoder->Encode(signal.samples.data() + i * nChannels, std::min(cPush, signal.Frames() - i), units);
    encoder->Finish(units);

    std::ofstream out(argv[6], std::ios::binary);
    size_t cbLargest = 0;
    for (const aac::AccessUnit& unit : units)
    {
        const std::vector<uint8_t> header = AdtsHeader(nRate, nChannels, unit.bytes.size());
        out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
        out.write(reinterpret_cast<const char*>(unit.bytes.data()), static_cast<std::streamsize>(unit.bytes.size()));
        cbLargest = std::max(cbLargest, unit.bytes.size());
    }
    WritePcm(argv[7], signal.samples);
    const size_t nLimit = static_cast<size_t>(aac::kMostBitsPerChannel) * nChannels;
    std::printf("%s: %zu access units, the largest %zu bits (limit %zu)\n", argv[2], units.size(), cbLargest * 8,
                nLimit);
    return cbLargest * 8 <= nLimit ? 0 : 1;
}

// The lag (in frames) of the decoded signal behind the source that matches
// them best, from 0 to 2048. A periodic signal matches as well a whole
// period either way: of lags that match within 6 dB of the best, the one
// nearest the encoder's delay of 1024 is taken. A lag that is not a whole
// period off matches tens of decibels worse.
size_t BestLag(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded, int nChannels)
{
    // A second away from the edges, where the start and end of a signal
    // would weigh on the match.
    const size_t cFrames = std::min(source.size(), decoded.size()) / nChannels;
    const size_t nStart = std::min<size_t>(cFrames / 4, 8192);
    const size_t cWindow = std::min<size_t>(cFrames > nStart + 4096 ? cFrames - nStart - 4096 : 0, 48000);
    std::vector<double> scores;
    for (size_t nLag = 0; nLag <= 2048 && nStart + nLag + cWindow <= decoded.size() / nChannels; ++nLag)
    {
        double dError = 0.0, dEnergy = 0.0;
        for (size_t i = nStart; i < nStart + cWindow; ++i)
        {
            const double s = source[i * nChannels];
            const double d = decoded[(i + nLag) * nChannels];
            dError += (s - d) * (s - d);
            dEnergy += s * s;
        }
        scores.push_back((dEnergy + 1.0) / (dError + 1.0));
    }
    if (scores.empty())
        return 0;
    const double dBest = *std::max_element(scores.begin(), scores.end());
    size_t nChosen = 0;
    for (size_t nLag = 0; nLag < scores.size(); ++nLag)
    {
        const bool bNearer = std::labs(static_cast<long>(nLag) - 1024) < std::labs(static_cast<long>(nChosen) - 1024);
        if (scores[nLag] >= dBest / 3.98 && bNearer) // 6 dB
            nChosen = nLag;
    }
    return nChosen;
}

// The frequency of the strongest sine in a channel, from the zero crossings
// of a second in the middle.
double ToneFrequency(const std::vector<int16_t>& samples, int nChannel, int nChannels, int nRate)
{
    const size_t cFrames = samples.size() / nChannels;
    const size_t nStart = cFrames / 4;
    const size_t nEnd = std::min(cFrames, nStart + static_cast<size_t>(nRate));
    size_t nFirst = 0, nLast = 0, cCrossings = 0;
    for (size_t i = nStart + 1; i < nEnd; ++i)
    {
        if (samples[(i - 1) * nChannels + nChannel] < 0 && samples[i * nChannels + nChannel] >= 0)
        {
            if (cCrossings == 0)
                nFirst = i;
            nLast = i;
            ++cCrossings;
        }
    }
    if (cCrossings < 2)
        return 0.0;
    return (cCrossings - 1) * static_cast<double>(nRate) / static_cast<double>(nLast - nFirst);
}

double Decibels(double dRatio)
{
    return 10.0 * std::log10(dRatio);
}

int Measure(int argc, char** argv)
{
    if (argc < 7)
        return 2;
    const std::vector<int16_t> source = ReadPcm(argv[2]);
    const std::vector<int16_t> decoded = ReadPcm(argv[3]);
    const int nRate = std::atoi(argv[5]);
    const int nChannels = std::atoi(argv[6]);
    std::ifstream aacFile(argv[4], std::ios::binary | std::ios::ate);
    const double dAacBytes = static_cast<double>(aacFile.tellg());

    const size_t nLag = BestLag(source, decoded, nChannels);
    const size_t cFrames = source.size() / nChannels;
    // The bits of the raw blocks (the file without its ADTS headers) over
    // the time their units stand for.
    const double dUnits = std::ceil(static_cast<double>(cFrames) / 1024.0) + 1;
    const double dSeconds = dUnits * 1024 / nRate;
    const double dKbps = (dAacBytes - dUnits * kAdtsHeaderBytes) * 8 / dSeconds / 1000.0;
    std::printf("delay %zu samples, %.1f kbit/s, %.3f s decoded of %.3f s\n", nLag, dKbps,
                static_cast<double>(decoded.size() / nChannels) / nRate, static_cast<double>(cFrames) / nRate);

    bool bOk = true;
    const auto fail = [&](const std::string& what) {
        std::printf("FAILED: %s\n", what.c_str());
        bOk = false;
    };
    if (decoded.size() / nChannels < cFrames + nLag)
        fail("the decoder gave fewer samples than the source and its delay");

    for (int c = 0; c < nChannels; ++c)
    {
        double dSignal = 0.0, dNoise = 0.0, dDecoded = 0.0;
        size_t cWrapped = 0;
        for (size_t i = 0; i < cFrames && (i + nLag) * nChannels + c < decoded.size(); ++i)
        {
            const double s = source[i * nChannels + c];
            const double d = decoded[(i + nLag) * nChannels + c];
            dSignal += s * s;
            dNoise += (s - d) * (s - d);
            dDecoded += d * d;
            if ((s >= 32767 && d < -16384) || (s <= -32768 && d > 16384))
                ++cWrapped;
        }
        const double dSnr = dNoise > 0.0 ? Decibels(dSignal / dNoise) : 999.0;
        const double dLevel = dSignal > 0.0 && dDecoded > 0.0 ? Decibels(dDecoded / dSignal) : 0.0;
        const double dSourceDb = dSignal > 0.0 ? Decibels(dSignal / cFrames / (32768.0 * 32768.0)) : -999.0;
        const double dTone = ToneFrequency(decoded, c, nChannels, nRate);
        std::printf("channel %d: SNR %.2f dB, level %+.3f dB against the source's %.2f dBFS, tone %.2f Hz, %zu "
                    "wrapped\n",
                    c, dSnr, dLevel, dSourceDb, dTone, cWrapped);
        for (int i = 7; i < argc; ++i)
        {
            const std::string option = argv[i];
            const double dValue = i + 1 < argc ? std::atof(argv[i + 1]) : 0.0;
            if (option == "--min-snr" && dSnr < dValue)
                fail("SNR under " + std::string(argv[i + 1]) + " dB on channel " + std::to_string(c));
            if (option == "--level" && std::fabs(dLevel) > dValue)
                fail("level off by more than " + std::string(argv[i + 1]) + " dB on channel " + std::to_string(c));
            if (option == "--tone" && std::fabs(dTone - dValue) > 2.0)
                fail("tone not within 2 Hz of " + std::string(argv[i + 1]) + " Hz on channel " + std::to_string(c));
            if (option == "--no-wrap" && cWrapped != 0)
                fail("wrapped samples on channel " + std::to_string(c));
        }
    }
    for (int i = 7; i < argc; ++i)
    {
        const std::string option = argv[i];
        const double dValue = i + 1 < argc ? std::atof(argv[i + 1]) : 0.0;
        if (option == "--kbps" && std::fabs(dKbps - dValue) > 0.1 * dValue)
            fail("bit rate not within 10 % of " + std::string(argv[i + 1]) + " kbit/s");
        if (option == "--max-kbps" && dKbps > dValue)
            fail("bit rate over " + std::string(argv[i + 1]) + " kbit/s");
    }
    return bOk ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    int nStatus = 2;
    if (command == "encode")
        nStatus = Encode(argc, argv);
    else if (command == "source")
        nStatus = Source(argc, argv);
    else if (command == "measure")
        nStatus = Measure(argc, argv);
    if (nStatus == 2)
        std::fprintf(stderr, "usage: see the head of AacQuality.cpp\n");
    return nStatus;
}
