// Owning wrappers for the Win32 synchronisation objects the filters use.
#pragma once

#include <windows.h>

class CCriticalSection
{
public:
    CCriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() { ::EnterCriticalSection(&m_cs); }
    void Leave() { ::LeaveCriticalSection(&m_cs); }
    CRITICAL_SECTION* Native() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Holds a critical section for the lifetime of the guard.
class CLockGuard
{
public:
    explicit CLockGuard(CCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CLockGuard() { m_cs.Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCriticalSection& m_cs;
};

// A condition variable used with a CCriticalSection the caller holds.
class CConditionVariable
{
public:
    CConditionVariable() { ::InitializeConditionVariable(&m_cv); }
    CConditionVariable(const CConditionVariable&) = delete;
    CConditionVariable& operator=(const CConditionVariable&) = delete;

    // False when the time ran out; wake-ups may be spurious, so callers test
    // their condition again.
    bool Wait(CCriticalSection& cs, DWORD dwMilliseconds)
    {
        return ::SleepConditionVariableCS(&m_cv, cs.Native(), dwMilliseconds) != FALSE;
    }
    void WakeAll() { ::WakeAllConditionVariable(&m_cv); }

private:
    CONDITION_VARIABLE m_cv;
};
