// The in-process server's module object: its instance handle, and the live
// objects and server locks that keep the DLL loaded.
#pragma once

#include <windows.h>

class CDllModule
{
public:
    static CDllModule& Get();

    void SetInstance(HINSTANCE hInstance) { m_hInstance = hInstance; }
    HINSTANCE Instance() const { return m_hInstance; }

    void AddObject() { ::InterlockedIncrement(&m_cObjects); }
    void ReleaseObject() { ::InterlockedDecrement(&m_cObjects); }
    void Lock(bool bLock)
    {
        if (bLock)
            ::InterlockedIncrement(&m_cLocks);
        else
            ::InterlockedDecrement(&m_cLocks);
    }
    bool CanUnload() const { return m_cObjects == 0 && m_cLocks == 0; }

private:
    CDllModule() = default;

    HINSTANCE m_hInstance = nullptr;
    volatile LONG m_cObjects = 0;
    volatile LONG m_cLocks = 0;
};

// Counts its owner among the module's live objects.
class CModuleObject
{
public:
    CModuleObject() { CDllModule::Get().AddObject(); }
    ~CModuleObject() { CDllModule::Get().ReleaseObject(); }
    CModuleObject(const CModuleObject&) = delete;
    CModuleObject& operator=(const CModuleObject&) = delete;
};
