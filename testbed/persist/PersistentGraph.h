// The filter graph manager with graph files: quartz's own graph manager,
// aggregated, with IPersistStream added on top, and IMediaControl and
// IMediaSeeking in front of quartz's so that a Stop keeps the position.
// Everything else is the inner object's.
#pragma once

#include "PersistModule.h"
#include "PlaybackControl.h"

#include <windows.h>

#include <objidl.h>

#include <cstdint>
#include <vector>

class CPersistentGraph final : public IPersistStream
{
public:
    // Creates the object and hands out riid; the object cannot be aggregated.
    static HRESULT Create(REFIID riid, void** ppv);

    // IUnknown: the controlling unknown of the aggregate.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID* pClassID) override;

    // IPersistStream
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(IStream* pStream) override;
    STDMETHODIMP Save(IStream* pStream, BOOL fClearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pcbSize) override;

private:
    CPersistentGraph();
    ~CPersistentGraph();
    CPersistentGraph(const CPersistentGraph&) = delete;
    CPersistentGraph& operator=(const CPersistentGraph&) = delete;

    HRESULT CreateInner();
    void* OwnInterface(REFIID riid);
    HRESULT SavedBytes(std::vector<uint8_t>& bytes);

    CModuleObject m_moduleObject;
    LONG m_cRef = 1;
    IUnknown* m_pInner = nullptr;  // the inner object's own, non-delegating IUnknown
    CPlaybackControl m_control{static_cast<IPersistStream*>(this)};
};
