#include "SilentFrame.h"

namespace aac
{
namespace
{

// Syntax element ids of a raw data block.
constexpr unsigned kIdSingleChannel = 0;
constexpr unsigned kIdChannelPair = 1;
constexpr unsigned kIdEnd = 7;

// Any gain: with no spectrum there is nothing for it to scale.
constexpr unsigned kGlobalGain = 100;

// Big-endian bits into a byte buffer whose size is known to suffice.
class CBits
{
public:
    explicit CBits(uint8_t* pb) : m_pb(pb) {}

    void Put(unsigned uValue, int cBits)
    {
        for (int i = cBits - 1; i >= 0; --i)
        {
            const size_t iByte = m_cBits / 8;
            if (m_cBits % 8 == 0)
                m_pb[iByte] = 0;
            if ((uValue >> i) & 1u)
                m_pb[iByte] |= static_cast<uint8_t>(0x80u >> (m_cBits % 8));
            ++m_cBits;
        }
    }
    // The stream ends on a byte boundary; the padding bits are zero.
    size_t Bytes() const { return (m_cBits + 7) / 8; }

private:
    uint8_t* const m_pb;
    size_t m_cBits = 0;
};

// One channel's stream: a long window with no scale factor bands
// (max_sfb 0), so no section, scale factor or spectral data follows.
void PutEmptyChannelStream(CBits& bits)
{
    bits.Put(kGlobalGain, 8);
    bits.Put(0, 1); // ics_reserved_bit
    bits.Put(0, 2); // window_sequence: ONLY_LONG_SEQUENCE
    bits.Put(0, 1); // window_shape: sine
    bits.Put(0, 6); // max_sfb
    bits.Put(0, 1); // predictor_data_present
    bits.Put(0, 1); // pulse_data_present
    bits.Put(0, 1); // tns_data_present
    bits.Put(0, 1); // gain_control_data_present
}

} // namespace

size_t WriteSilentFrame(int nChannels, uint8_t* pb, size_t cb)
{
    if ((nChannels != 1 && nChannels != 2) || pb == nullptr || cb < kMaxSilentFrameBytes)
        return 0;
    CBits bits(pb);
    bits.Put(nChannels == 1 ? kIdSingleChannel : kIdChannelPair, 3);
    bits.Put(0, 4); // element_instance_tag
    if (nChannels == 2)
    {
        bits.Put(0, 1); // common_window: each channel has its own stream info
        PutEmptyChannelStream(bits);
    }
    PutEmptyChannelStream(bits);
    bits.Put(kIdEnd, 3);
    return bits.Bytes();
}

} // namespace aac
