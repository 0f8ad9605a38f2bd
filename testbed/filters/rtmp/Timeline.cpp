#include "Timeline.h"

namespace rtmp
{

uint32_t Timeline::Map(int64_t) { return 0; }
void Timeline::Restart() {}
void Timeline::Reset() {}

} // namespace rtmp
