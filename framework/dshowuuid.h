// DirectShow interfaces that mingw-w64's control.h declares without an
// interface id for __uuidof. The Windows SDK's headers need none of this.
#pragma once

#include <dshow.h>

#if defined(__MINGW32__) && defined(__CRT_UUID_DECL)
__CRT_UUID_DECL(IMediaEvent, 0x56a868b6, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
__CRT_UUID_DECL(IMediaEventEx, 0x56a868c0, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
#endif
