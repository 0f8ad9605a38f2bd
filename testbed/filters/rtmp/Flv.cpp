#include "Flv.h"

namespace rtmp
{

bool FindParameterSets(const uint8_t*, size_t, Bytes&, Bytes&) { return false; }
Bytes AvcSequenceHeader(const Bytes&, const Bytes&) { return {}; }
bool AvcVideoBody(const uint8_t*, size_t, bool, Bytes&) { return false; }
Bytes AacSequenceHeader(const uint8_t*, size_t) { return {}; }
Bytes AacAudioBody(const uint8_t*, size_t) { return {}; }

} // namespace rtmp
