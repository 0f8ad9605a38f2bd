// FLV tag bodies as RTMP carries them (message types 8, audio, and 9, video):
// H.264 in AVC form (length-prefixed NAL units) and AAC, each with the
// sequence header a decoder needs before the first frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtmp
{

using Bytes = std::vector<uint8_t>;

// SPS and PPS (NAL units without start codes) found in an Annex B access
// unit; false if either is missing.
bool FindParameterSets(const uint8_t* annexB, size_t cb, Bytes& sps, Bytes& pps);

// Video tag body "AVC sequence header": 0x17, AVCPacketType 0, composition
// time 0, AVCDecoderConfigurationRecord (version 1, profile/compat/level from
// the SPS, lengthSizeMinusOne 3, one SPS, one PPS). Empty on a bad SPS.
Bytes AvcSequenceHeader(const Bytes& sps, const Bytes& pps);

// Video tag body of one access unit: 0x17 (key) or 0x27, AVCPacketType 1,
// composition time 0, then every NAL unit of the Annex B access unit as
// 4-byte big-endian length + NAL, leaving out SPS, PPS and access unit
// delimiters. False when the access unit holds no other NAL unit.
bool AvcVideoBody(const uint8_t* annexB, size_t cb, bool bKey, Bytes& body);

// Audio tag bodies: 0xAF (AAC, 44 kHz flag, 16-bit, stereo, as FLV requires
// for AAC), AACPacketType 0 + AudioSpecificConfig, or AACPacketType 1 + one
// raw AAC frame.
Bytes AacSequenceHeader(const uint8_t* asc, size_t cb);
Bytes AacAudioBody(const uint8_t* raw, size_t cb);

} // namespace rtmp
