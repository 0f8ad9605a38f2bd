// GraphPersist.dll's module object: the class factory, the live objects and
// server locks that keep the DLL loaded, and quartz.dll, whose graph manager
// every object aggregates.
#pragma once

#include <atlbase.h>

#include <dshow.h>

#include "Sync.h"

// The graph manager's class factory; the graph aggregates quartz's object
// itself and is not made to be aggregated in turn.
class CGraphFactory final : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // Part of the module object: it lives as long as the module.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;
};

// A loaded DLL, freed with its owner unless abandoned.
class CLibrary
{
public:
    CLibrary() = default;
    ~CLibrary() { Free(); }
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;

    bool IsLoaded() const { return m_hModule != nullptr; }
    HRESULT Load(LPCWSTR pszPath);
    void Free();
    // Forgets the module without freeing it.
    void Abandon() { m_hModule = nullptr; }
    // An export through a plain function pointer type: FARPROC carries no
    // signature. Null when the module has no such export.
    template <class Pfn>
    Pfn Export(const char* pszName) const
    {
        return reinterpret_cast<Pfn>(reinterpret_cast<void (*)()>(::GetProcAddress(m_hModule, pszName)));
    }

private:
    HMODULE m_hModule = nullptr;
};

class CPersistModule
{
public:
    static CPersistModule& Get();

    IClassFactory* Factory() { return &m_factory; }

    void AddObject() { ::InterlockedIncrement(&m_cObjects); }
    void ReleaseObject() { ::InterlockedDecrement(&m_cObjects); }
    void Lock(bool bLock);

    // quartz's class factory of its graph manager. quartz is loaded on first
    // use and stays loaded until CanUnloadNow lets it go.
    HRESULT GetQuartzGraphFactory(CComPtr<IClassFactory>& spFactory);

    // S_OK once nothing holds this DLL and quartz serves no object either (a
    // clock a graph handed out may outlive the graph); quartz is freed then.
    HRESULT CanUnloadNow();

    // The process is ending and takes quartz down with it; a DLL must not
    // free another while it is being detached.
    void OnProcessExit() { m_quartz.Abandon(); }

private:
    CPersistModule() = default;
    CPersistModule(const CPersistModule&) = delete;
    CPersistModule& operator=(const CPersistModule&) = delete;

    HRESULT QuartzCanUnloadNow() const;

    static CPersistModule s_instance;

    CGraphFactory m_factory;
    volatile LONG m_cObjects = 0;
    volatile LONG m_cLocks = 0;
    CCriticalSection m_csQuartz; // loading and freeing quartz
    CLibrary m_quartz;
};

// Counts its owner among the module's live objects.
class CModuleObject
{
public:
    CModuleObject() { CPersistModule::Get().AddObject(); }
    ~CModuleObject() { CPersistModule::Get().ReleaseObject(); }
    CModuleObject(const CModuleObject&) = delete;
    CModuleObject& operator=(const CModuleObject&) = delete;
};
