// CPinBase: the IPin part every pin shares: connection, media types and the
// filter's reference count.
#pragma once

#include "ComRef.h"
#include "MediaType.h"

#include <dshow.h>

class CFilterBase;

// The statuses with which a neighbour or an allocator refuses because the
// graph is stopping: they end a stream without being a failure of it.
inline bool IsStoppingStatus(HRESULT hr)
{
    return hr == VFW_E_WRONG_STATE || hr == VFW_E_NOT_COMMITTED;
}

class CPinBase : public IPin
{
public:
    CPinBase(const CPinBase&) = delete;
    CPinBase& operator=(const CPinBase&) = delete;

    // IUnknown: a pin lives as long as its filter and shares its count.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPin
    STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** ppPin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pPinDir) override;
    STDMETHODIMP QueryId(LPWSTR* ppszId) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    // Output pins take no stream calls; input pins override these.
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // S_OK when the pin can take mt; otherwise VFW_E_TYPE_NOT_ACCEPTED or
    // another failure.
    virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) = 0;
    // The pin's preferred types in order; VFW_S_NO_MORE_ITEMS past the last.
    virtual HRESULT GetMediaType(int nIndex, CMediaTypeHolder& mt);

    // State changes of the filter, called with the filter lock held; they
    // must not wait for streaming to end.
    virtual HRESULT Active() { return S_OK; }
    virtual void Inactive() {}
    // Called without locks after Inactive: returns once no streaming call
    // or thread of the pin is left.
    virtual void FinishInactive() {}

    LPCWSTR Name() const { return m_pszName; }
    CFilterBase* Filter() const { return m_pFilter; }
    // With the filter lock held.
    bool IsConnectedLocked() const { return static_cast<bool>(m_spPeer); }
    // The connected pin, or null; takes the filter lock.
    CComRef<IPin> Peer();

protected:
    CPinBase(CFilterBase* pFilter, PIN_DIRECTION eDirection, LPCWSTR pszName);
    virtual ~CPinBase();

    // Interfaces beyond IPin.
    virtual HRESULT QueryPinInterface(REFIID riid, void** ppv);
    // Called with the filter lock held once both sides agreed on m_mt; a
    // failure undoes the connection.
    virtual HRESULT CompleteConnect(IPin* pPeer);
    // Called with the filter lock held when the connection goes.
    virtual void BreakConnect() {}

    // Set while connected; changed only while the filter is stopped.
    CComRef<IPin> m_spPeer;
    CMediaTypeHolder m_mt;

private:
    // Every type that comes in goes through here: one whose format block
    // cannot be what it claims is refused before the pin reads any of it.
    HRESULT CheckIncomingType(const AM_MEDIA_TYPE& mt);
    // Output side of a connection.
    HRESULT ConnectLocked(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt);
    HRESULT TryOwnTypes(IPin* pReceivePin, const AM_MEDIA_TYPE* pmtPattern);
    HRESULT TryPeerTypes(IPin* pReceivePin, const AM_MEDIA_TYPE* pmtPattern);
    HRESULT TryConnection(IPin* pReceivePin, const AM_MEDIA_TYPE& mt);
    void ClearConnection();
    HRESULT CheckConnectable(IPin* pOther) const;

    CFilterBase* const m_pFilter;
    const PIN_DIRECTION m_eDirection;
    LPCWSTR const m_pszName;
};
