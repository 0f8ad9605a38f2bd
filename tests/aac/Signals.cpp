#include "Signals.h"

#include "TestPattern.h"

#include <cmath>
#include <random>

namespace aactest
{
namespace
{

constexpr double kPi = 3.14159265358979323846;

Signal Blank(const char* pszName, int nSampleRate, int nChannels, double dSeconds)
{
    Signal signal;
    signal.name = pszName;
    signal.nSampleRate = nSampleRate;
    signal.nChannels = nChannels;
    signal.samples.assign(static_cast<size_t>(dSeconds * nSampleRate) * static_cast<size_t>(nChannels), 0);
    return signal;
}

int16_t Clamp(double dValue)
{
    return static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, dValue))));
}

// The same value on every channel of each frame.
template <class F>
void FillMono(Signal& signal, F valueAt)
{
    const size_t cFrames = signal.Frames();
    for (size_t i = 0; i < cFrames; ++i)
    {
        const int16_t nValue = valueAt(i);
        for (int c = 0; c < signal.nChannels; ++c)
            signal.samples[i * signal.nChannels + c] = nValue;
    }
}

} // namespace

Signal GeneratorTone(int nSampleRate, int nChannels, double dSeconds)
{
    Signal signal = Blank("tone", nSampleRate, nChannels, dSeconds);
    WriteTone(signal.samples.data(), static_cast<uint16_t>(nChannels), static_cast<uint32_t>(nSampleRate), 0,
              static_cast<int32_t>(signal.Frames()));
    return signal;
}

Signal WhiteNoise(int nSampleRate, int nChannels, double dSeconds, uint32_t uSeed)
{
    Signal signal = Blank("noise", nSampleRate, nChannels, dSeconds);
    std::mt19937 random(uSeed);
    std::normal_distribution<double> normal(0.0, 10000.0);
    for (int16_t& nSample : signal.samples)
        nSample = Clamp(normal(random));
    return signal;
}

Signal Sweep(int nSampleRate, int nChannels, double dSeconds)
{
    Signal signal = Blank("sweep", nSampleRate, nChannels, dSeconds);
    const double dRatio = std::log(15000.0 / 20.0);
    FillMono(signal, [&](size_t i) {
        // Phase of f(t) = 20 * e^(k t): 2 pi 20 (e^(k t) - 1) / k.
        const double t = static_cast<double>(i) / nSampleRate;
        const double k = dRatio / dSeconds;
        return Clamp(16384.0 * std::sin(2 * kPi * 20.0 * (std::exp(k * t) - 1.0) / k));
    });
    return signal;
}

Signal Silence(int nSampleRate, int nChannels, double dSeconds)
{
    return Blank("silence", nSampleRate, nChannels, dSeconds);
}

Signal FullScaleSquare(int nSampleRate, int nChannels, double dSeconds)
{
    Signal signal = Blank("square", nSampleRate, nChannels, dSeconds);
    FillMono(signal, [&](size_t i) {
        return static_cast<int16_t>((i * 1000 / static_cast<size_t>(nSampleRate)) % 2 == 0 ? 32767 : -32768);
    });
    return signal;
}

Signal ToneBursts(int nSampleRate, int nChannels, double dSeconds)
{
    Signal signal = Blank("bursts", nSampleRate, nChannels, dSeconds);
    FillMono(signal, [&](size_t i) {
        const bool bOn = (i * 2 / static_cast<size_t>(nSampleRate)) % 2 == 0;
        return bOn ? Clamp(12000.0 * std::sin(2 * kPi * 2000.0 * static_cast<double>(i) / nSampleRate))
                   : static_cast<int16_t>(0);
    });
    return signal;
}

Signal Clicks(int nSampleRate, int nChannels, double dSeconds)
{
    Signal signal = Blank("clicks", nSampleRate, nChannels, dSeconds);
    FillMono(signal, [](size_t i) {
        if (i % 1000 != 0)
            return static_cast<int16_t>(0);
        return static_cast<int16_t>((i / 1000) % 2 == 0 ? 32767 : -32768);
    });
    return signal;
}

Signal ExtremeNoise(int nSampleRate, int nChannels, double dSeconds, uint32_t uSeed)
{
    Signal signal = Blank("extremes", nSampleRate, nChannels, dSeconds);
    std::mt19937 random(uSeed);
    for (int16_t& nSample : signal.samples)
        nSample = (random() & 1) != 0 ? 32767 : -32768;
    return signal;
}

Signal SignalNamed(const std::string& name, int nSampleRate, int nChannels, double dSeconds)
{
    if (name == "tone")
        return GeneratorTone(nSampleRate, nChannels, dSeconds);
    if (name == "noise")
        return WhiteNoise(nSampleRate, nChannels, dSeconds);
    if (name == "sweep")
        return Sweep(nSampleRate, nChannels, dSeconds);
    if (name == "silence")
        return Silence(nSampleRate, nChannels, dSeconds);
    if (name == "square")
        return FullScaleSquare(nSampleRate, nChannels, dSeconds);
    if (name == "bursts")
        return ToneBursts(nSampleRate, nChannels, dSeconds);
    if (name == "clicks")
        return Clicks(nSampleRate, nChannels, dSeconds);
    if (name == "extremes")
        return ExtremeNoise(nSampleRate, nChannels, dSeconds);
    Signal none;
    none.name = name;
    none.nChannels = nChannels;
    return none;
}

} // namespace aactest
