// Wall-clock and CPU time, as the benchmarks measure them.
#pragma once

#include <windows.h>

class CStopwatch
{
public:
    CStopwatch()
    {
        ::QueryPerformanceFrequency(&m_frequency);
        ::QueryPerformanceCounter(&m_start);
    }
    double Milliseconds() const
    {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(m_frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_frequency;
    LARGE_INTEGER m_start;
};

// Kernel and user time together, in milliseconds.
inline double CpuMs(const FILETIME& ftKernel, const FILETIME& ftUser)
{
    auto ms = [](const FILETIME& ft) {
        return static_cast<double>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000.0;
    };
    return ms(ftKernel) + ms(ftUser);
}

// CPU time of a thread; 0 when it cannot be read.
inline double ThreadCpuMs(HANDLE hThread)
{
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    return ::GetThreadTimes(hThread, &ftCreation, &ftExit, &ftKernel, &ftUser) ? CpuMs(ftKernel, ftUser) : 0.0;
}

// CPU time of this process; 0 when it cannot be read.
inline double ProcessCpuMs()
{
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    return ::GetProcessTimes(::GetCurrentProcess(), &ftCreation, &ftExit, &ftKernel, &ftUser)
               ? CpuMs(ftKernel, ftUser)
               : 0.0;
}
