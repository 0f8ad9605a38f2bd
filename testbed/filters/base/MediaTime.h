// Arithmetic on media times (REFERENCE_TIME, 100 ns units) that cannot
// overflow: times come from other filters and applications, and any of them
// may be at either end of the range.
#pragma once

#include <windows.h>

#include <strmif.h>

#include <climits>

// a + b; false, with nothing written, when the sum does not fit.
inline bool CheckedAdd(REFERENCE_TIME a, REFERENCE_TIME b, REFERENCE_TIME& sum)
{
    if ((b > 0 && a > LLONG_MAX - b) || (b < 0 && a < LLONG_MIN - b))
        return false;
    sum = a + b;
    return true;
}

// a + b, held at the end of the range it would pass.
inline REFERENCE_TIME SaturatedAdd(REFERENCE_TIME a, REFERENCE_TIME b)
{
    REFERENCE_TIME sum = 0;
    if (CheckedAdd(a, b, sum))
        return sum;
    return b > 0 ? LLONG_MAX : LLONG_MIN;
}

// a - b, held at the end of the range it would pass.
inline REFERENCE_TIME SaturatedSubtract(REFERENCE_TIME a, REFERENCE_TIME b)
{
    if (b == LLONG_MIN)
        return a >= 0 ? LLONG_MAX : a - LLONG_MIN;
    return SaturatedAdd(a, -b);
}

// Whole milliseconds that cover rtLeft (rounded up), at most dwMax: 0 when
// rtLeft is not positive. Never INFINITE unless dwMax is.
inline DWORD MillisecondsFor(REFERENCE_TIME rtLeft, DWORD dwMax)
{
    constexpr REFERENCE_TIME kUnitsPerMillisecond = 10000;
    if (rtLeft <= 0)
        return 0;
    const REFERENCE_TIME llMs = rtLeft / kUnitsPerMillisecond + (rtLeft % kUnitsPerMillisecond != 0 ? 1 : 0);
    return llMs < static_cast<REFERENCE_TIME>(dwMax) ? static_cast<DWORD>(llMs) : dwMax;
}
