#include "Flv.h"

#include "ByteOrder.h"

namespace rtmp
{

namespace
{

enum : uint8_t
{
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
};

// FLV's first byte of a video tag: frame type (1 key, 2 inter) and codec 7 (AVC).
constexpr uint8_t kAvcKey = 0x17;
constexpr uint8_t kAvcInter = 0x27;
// Of an audio tag: AAC (10), 44 kHz, 16-bit, stereo: what FLV asks of every AAC tag.
constexpr uint8_t kAacTag = 0xAF;

struct Nal
{
    const uint8_t* p;
    size_t cb;
};

// The next start code (00 00 01) at or after pos, or cb.
size_t FindStartCode(const uint8_t* pb, size_t cb, size_t pos)
{
    for (size_t i = pos; i + 3 <= cb; ++i)
        if (pb[i] == 0 && pb[i + 1] == 0 && pb[i + 2] == 1)
            return i;
    return cb;
}

// Every NAL unit of an Annex B stream; zero bytes before a start code
// (the first byte of a 4-byte one included) belong to no NAL unit.
template <typename Visit>
void ForEachNal(const uint8_t* pb, size_t cb, Visit visit)
{
    if (!pb)
        return;
    size_t start = FindStartCode(pb, cb, 0);
    while (start < cb)
    {
        const size_t begin = start + 3;
        const size_t next = FindStartCode(pb, cb, begin);
        size_t end = next;
        while (end > begin && pb[end - 1] == 0)
            --end;
        if (end > begin)
            visit(Nal{pb + begin, end - begin});
        start = next;
    }
}

uint8_t NalType(const Nal& nal)
{
    return nal.p[0] & 0x1F;
}

void PutAvcTagHeader(Bytes& body, uint8_t first, uint8_t packetType)
{
    body.push_back(first);
    body.push_back(packetType);
    PutBE(body, 0, 3); // composition time: no B pictures
}

} // namespace

bool FindParameterSets(const uint8_t* annexB, size_t cb, Bytes& sps, Bytes& pps)
{
    bool bSps = false;
    bool bPps = false;
    ForEachNal(annexB, cb, [&](const Nal& nal) {
        if (NalType(nal) == kNalSps && !bSps)
        {
            sps.assign(nal.p, nal.p + nal.cb);
            bSps = true;
        }
        else if (NalType(nal) == kNalPps && !bPps)
        {
            pps.assign(nal.p, nal.p + nal.cb);
            bPps = true;
        }
    });
    return bSps && bPps;
}

Bytes AvcSequenceHeader(const Bytes& sps, const Bytes& pps)
{
    // The SPS holds its NAL header, profile, constraint flags and level at least.
    if (sps.size() < 4 || (sps[0] & 0x1F) != kNalSps || sps.size() > 0xFFFF || pps.empty() ||
        pps.size() > 0xFFFF)
        return {};
    Bytes body;
    PutAvcTagHeader(body, kAvcKey, 0);
    body.push_back(1);       // configurationVersion
    body.push_back(sps[1]);  // AVCProfileIndication
    body.push_back(sps[2]);  // profile_compatibility
    body.push_back(sps[3]);  // AVCLevelIndication
    body.push_back(0xFC | 3);  // reserved bits, lengthSizeMinusOne
    body.push_back(0xE0 | 1);  // reserved bits, numOfSequenceParameterSets
    PutBE(body, sps.size(), 2);
    body.insert(body.end(), sps.begin(), sps.end());
    body.push_back(1);       // numOfPictureParameterSets
    PutBE(body, pps.size(), 2);
    body.insert(body.end(), pps.begin(), pps.end());
    return body;
}

bool AvcVideoBody(const uint8_t* annexB, size_t cb, bool bKey, Bytes& body)
{
    body.clear();
    PutAvcTagHeader(body, bKey ? kAvcKey : kAvcInter, 1);
    const size_t cbHeader = body.size();
    ForEachNal(annexB, cb, [&](const Nal& nal) {
        const uint8_t type = NalType(nal);
        if (type == kNalSps || type == kNalPps || type == kNalAud)
            return;
        PutBE(body, nal.cb, 4);
        body.insert(body.end(), nal.p, nal.p + nal.cb);
    });
    return body.size() > cbHeader;
}

Bytes AacSequenceHeader(const uint8_t* asc, size_t cb)
{
    Bytes body{kAacTag, 0};
    if (asc)
        body.insert(body.end(), asc, asc + cb);
    return body;
}

Bytes AacAudioBody(const uint8_t* raw, size_t cb)
{
    Bytes body{kAacTag, 1};
    if (raw)
        body.insert(body.end(), raw, raw + cb);
    return body;
}

} // namespace rtmp
