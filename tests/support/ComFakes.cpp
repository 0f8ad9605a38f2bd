#include "ComFakes.h"

#include <algorithm>
#include <cwchar>

namespace
{

// Hands out one more reference to p through an out-parameter.
template <class T>
HRESULT HandOutRef(T* p, void** ppv)
{
    p->AddRef();
    *ppv = p;
    return S_OK;
}

// A newly allocated copy of text, or null for unset text.
BSTR AllocText(const std::optional<std::wstring>& text)
{
    return text ? ::SysAllocStringLen(text->c_str(), static_cast<UINT>(text->size())) : nullptr;
}

} // namespace

ULONG CFakeObject::ReleaseFake()
{
    const LONG cRef = ::InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

// ---------------------------------------------------------------------------
// CFakeEnum

template <class IEnum, class IItem>
CFakeEnum<IEnum, IItem>::CFakeEnum(IUnknown* pOwner, std::vector<CComPtr<IItem>> items,
                                   FakeNextFailure failure)
    : m_spOwner(pOwner), m_items(std::move(items)), m_failure(failure)
{
}

template <class IEnum, class IItem>
STDMETHODIMP CFakeEnum<IEnum, IItem>::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == __uuidof(IEnum))
        return HandOutRef(static_cast<IEnum*>(this), ppv);
    return E_NOINTERFACE;
}

template <class IEnum, class IItem>
STDMETHODIMP CFakeEnum<IEnum, IItem>::Next(ULONG cItems, IItem** ppItems, ULONG* pcFetched)
{
    if (ppItems == nullptr)
        return E_POINTER;
    ULONG cFetched = 0;
    HRESULT hr = S_OK;
    while (cFetched < cItems)
    {
        if (m_cFailed < m_failure.cTimes && m_nNext == m_failure.nAt)
        {
            ++m_cFailed;
            if (m_failure.bWithItem && m_nNext < m_items.size())
            {
                ppItems[cFetched] = m_items[m_nNext++];
                ppItems[cFetched++]->AddRef();
            }
            hr = m_failure.hr;
            break;
        }
        if (m_nNext == m_items.size())
        {
            hr = S_FALSE;
            break;
        }
        ppItems[cFetched] = m_items[m_nNext++];
        ppItems[cFetched++]->AddRef();
    }
    for (ULONG i = cFetched; i < cItems; ++i)
        ppItems[i] = nullptr;
    if (pcFetched != nullptr)
        *pcFetched = cFetched;
    return hr;
}

template <class IEnum, class IItem>
STDMETHODIMP CFakeEnum<IEnum, IItem>::Skip(ULONG cItems)
{
    const size_t nLeft = m_items.size() - m_nNext;
    m_nNext += std::min<size_t>(cItems, nLeft);
    return cItems <= nLeft ? S_OK : S_FALSE;
}

template <class IEnum, class IItem>
STDMETHODIMP CFakeEnum<IEnum, IItem>::Reset()
{
    m_nNext = 0;
    return S_OK;
}

template <class IEnum, class IItem>
STDMETHODIMP CFakeEnum<IEnum, IItem>::Clone(IEnum** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    auto* pClone = new CFakeEnum(m_spOwner, m_items, m_failure);
    pClone->m_nNext = m_nNext;
    pClone->m_cFailed = m_cFailed;
    *ppEnum = pClone;
    return S_OK;
}

template class CFakeEnum<IEnumPins, IPin>;
template class CFakeEnum<IEnumFilters, IBaseFilter>;

// ---------------------------------------------------------------------------
// CFakeSeeking

void CFakeSeeking::SetDurationAnswer(HRESULT hr, std::optional<LONGLONG> llDuration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hrDuration = hr;
    m_llDuration = llDuration;
}

void CFakeSeeking::SetCurrentPositionAnswer(HRESULT hr, std::optional<LONGLONG> llPosition)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hrCurrentPosition = hr;
    m_llCurrentPosition = llPosition;
}

void CFakeSeeking::SetPositionsResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hrSetPositions = hr;
}

std::vector<CFakeSeeking::Positions> CFakeSeeking::SetPositionsCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setPositionsCalls;
}

ULONG CFakeSeeking::GetDurationCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cGetDuration;
}

STDMETHODIMP CFakeSeeking::GetCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    *pCapabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards |
                     AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;
    return S_OK;
}

STDMETHODIMP CFakeSeeking::CheckCapabilities(DWORD* pCapabilities)
{
    return pCapabilities != nullptr ? S_OK : E_POINTER;
}

STDMETHODIMP CFakeSeeking::IsFormatSupported(const GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

STDMETHODIMP CFakeSeeking::QueryPreferredFormat(GUID* pFormat)
{
    return GetTimeFormat(pFormat);
}

STDMETHODIMP CFakeSeeking::GetTimeFormat(GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    *pFormat = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

STDMETHODIMP CFakeSeeking::IsUsingTimeFormat(const GUID* pFormat)
{
    return IsFormatSupported(pFormat);
}

STDMETHODIMP CFakeSeeking::SetTimeFormat(const GUID* pFormat)
{
    return IsFormatSupported(pFormat) == S_OK ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CFakeSeeking::GetDuration(LONGLONG* pDuration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_cGetDuration;
    if (pDuration == nullptr)
        return E_POINTER;
    if (m_llDuration)
        *pDuration = *m_llDuration;
    return m_hrDuration;
}

STDMETHODIMP CFakeSeeking::GetStopPosition(LONGLONG* pStop)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pStop == nullptr)
        return E_POINTER;
    *pStop = m_llDuration.value_or(0);
    return S_OK;
}

STDMETHODIMP CFakeSeeking::GetCurrentPosition(LONGLONG* pCurrent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pCurrent == nullptr)
        return E_POINTER;
    if (m_llCurrentPosition)
        *pCurrent = *m_llCurrentPosition;
    return m_hrCurrentPosition;
}

STDMETHODIMP CFakeSeeking::ConvertTimeFormat(LONGLONG* pTarget, const GUID*, LONGLONG Source, const GUID*)
{
    if (pTarget == nullptr)
        return E_POINTER;
    *pTarget = Source;
    return S_OK;
}

STDMETHODIMP CFakeSeeking::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                        DWORD dwStopFlags)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Positions positions = {};
    if (pCurrent != nullptr)
        positions.llCurrent = *pCurrent;
    positions.dwCurrentFlags = dwCurrentFlags;
    if (pStop != nullptr)
        positions.llStop = *pStop;
    positions.dwStopFlags = dwStopFlags;
    m_setPositionsCalls.push_back(positions);
    return m_hrSetPositions;
}

STDMETHODIMP CFakeSeeking::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pCurrent != nullptr)
        *pCurrent = m_llCurrentPosition.value_or(0);
    if (pStop != nullptr)
        *pStop = m_llDuration.value_or(0);
    return S_OK;
}

STDMETHODIMP CFakeSeeking::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    if (pEarliest != nullptr)
        *pEarliest = 0;
    if (pLatest != nullptr)
        *pLatest = m_llDuration.value_or(0);
    return S_OK;
}

STDMETHODIMP CFakeSeeking::SetRate(double)
{
    return S_OK;
}

STDMETHODIMP CFakeSeeking::GetRate(double* pdRate)
{
    if (pdRate == nullptr)
        return E_POINTER;
    *pdRate = 1.0;
    return S_OK;
}

STDMETHODIMP CFakeSeeking::GetPreroll(LONGLONG* pllPreroll)
{
    if (pllPreroll == nullptr)
        return E_POINTER;
    *pllPreroll = 0;
    return S_OK;
}

// ---------------------------------------------------------------------------
// CFakePin

CFakePin::CFakePin(IBaseFilter* pOwner, PIN_DIRECTION eDirection, std::wstring name)
    : m_pOwner(pOwner), m_eDirection(eDirection), m_name(std::move(name))
{
}

void CFakePin::ConnectTo(IPin* pPartner)
{
    m_spPeer = pPartner;
}

STDMETHODIMP CFakePin::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPin)
        return HandOutRef(static_cast<IPin*>(this), ppv);
    return E_NOINTERFACE;
}

STDMETHODIMP CFakePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    ++m_cConnect;
    m_bConnectProposedType = pmt != nullptr;
    if (pReceivePin == nullptr)
        return E_POINTER;
    if (m_spPeer)
        return VFW_E_ALREADY_CONNECTED;
    if (FAILED(m_hrConnect))
        return m_hrConnect;
    AM_MEDIA_TYPE mt = {};
    HRESULT hr = pReceivePin->ReceiveConnection(this, pmt != nullptr ? pmt : &mt);
    if (FAILED(hr))
        return hr;
    m_spPeer = pReceivePin;
    return m_hrConnect;
}

STDMETHODIMP CFakePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE*)
{
    ++m_cReceive;
    if (pConnector == nullptr)
        return E_POINTER;
    if (m_spPeer)
        return VFW_E_ALREADY_CONNECTED;
    if (FAILED(m_hrReceive))
        return m_hrReceive;
    m_spPeer = pConnector;
    return m_hrReceive;
}

STDMETHODIMP CFakePin::Disconnect()
{
    if (!m_spPeer)
        return S_FALSE;
    m_spPeer.Release();
    return S_OK;
}

STDMETHODIMP CFakePin::ConnectedTo(IPin** ppPin)
{
    ++m_cConnectedTo;
    if (ppPin == nullptr)
        return E_POINTER;
    *ppPin = nullptr;
    if (m_spPeer)
    {
        *ppPin = m_spPeer;
        (*ppPin)->AddRef();
        return S_OK;
    }
    return m_bConnectedWithoutPartner ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP CFakePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return E_POINTER;
    *pmt = AM_MEDIA_TYPE();
    return m_spPeer ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP CFakePin::QueryPinInfo(PIN_INFO* pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    pInfo->pFilter = m_pOwner;
    if (m_pOwner != nullptr)
        m_pOwner->AddRef();
    pInfo->dir = m_eDirection;
    if (m_bUnterminatedName)
    {
        std::fill(std::begin(pInfo->achName), std::end(pInfo->achName), L'p');
        return S_OK;
    }
    ::wcsncpy(pInfo->achName, m_name.c_str(), MAX_PIN_NAME - 1);
    pInfo->achName[MAX_PIN_NAME - 1] = L'\0';
    return S_OK;
}

STDMETHODIMP CFakePin::QueryDirection(PIN_DIRECTION* pPinDir)
{
    ++m_cQueryDirection;
    if (pPinDir == nullptr)
        return E_POINTER;
    if (FAILED(m_hrQueryDirection))
        return m_hrQueryDirection;
    *pPinDir = m_eDirection;
    return S_OK;
}

STDMETHODIMP CFakePin::QueryId(LPWSTR* ppszId)
{
    if (ppszId == nullptr)
        return E_POINTER;
    const size_t cb = (m_name.size() + 1) * sizeof(wchar_t);
    *ppszId = static_cast<LPWSTR>(::CoTaskMemAlloc(cb));
    if (*ppszId == nullptr)
        return E_OUTOFMEMORY;
    ::memcpy(*ppszId, m_name.c_str(), cb);
    return S_OK;
}

STDMETHODIMP CFakePin::QueryAccept(const AM_MEDIA_TYPE*)
{
    return S_OK;
}

STDMETHODIMP CFakePin::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (ppEnum != nullptr)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakePin::QueryInternalConnections(IPin**, ULONG*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakePin::EndOfStream()
{
    return S_OK;
}

STDMETHODIMP CFakePin::BeginFlush()
{
    return S_OK;
}

STDMETHODIMP CFakePin::EndFlush()
{
    return S_OK;
}

STDMETHODIMP CFakePin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double)
{
    return S_OK;
}

// ---------------------------------------------------------------------------
// CFakeFilter

CFakeFilter::CFakeFilter(const CLSID& clsid) : m_clsid(clsid)
{
}

CFakeFilter::~CFakeFilter()
{
    // Connections hold their peers; dropping them here ends the cycles.
    for (CFakePin* pPin : m_pins)
    {
        pPin->Disconnect();
        pPin->OwnerGone();
        pPin->Release();
    }
}

CFakePin* CFakeFilter::AddPin(PIN_DIRECTION eDirection)
{
    const size_t nSame = std::count_if(m_pins.begin(), m_pins.end(),
                                       [eDirection](CFakePin* p) { return p->Direction() == eDirection; });
    std::wstring name = (eDirection == PINDIR_INPUT ? L"In" : L"Out") + std::to_wstring(nSame);
    m_pins.push_back(new CFakePin(this, eDirection, std::move(name)));
    return m_pins.back();
}

void CFakeFilter::ExposeGenerator(HRESULT hrSetMode)
{
    m_bGenerator = true;
    m_hrSetMode = hrSetMode;
}

void CFakeFilter::ExposeVersion(const FakeVersion& version)
{
    m_bVersion = true;
    m_version = version;
}

STDMETHODIMP CFakeFilter::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
        return HandOutRef(static_cast<IBaseFilter*>(this), ppv);
    if (m_bGenerator && riid == IID_IVelkVideoGenerator)
        return HandOutRef(static_cast<IVelkVideoGenerator*>(this), ppv);
    if (m_bServer && riid == IID_IVelkRtmpServer)
        return HandOutRef(static_cast<IVelkRtmpServer*>(this), ppv);
    if (m_bVersion && riid == IID_IVelkVersion)
        return HandOutRef(static_cast<IVelkVersion*>(this), ppv);
    if (m_bSeeking && riid == IID_IMediaSeeking)
        return HandOutRef(static_cast<IMediaSeeking*>(this), ppv);
    return E_NOINTERFACE;
}

STDMETHODIMP CFakeFilter::GetClassID(CLSID* pClassID)
{
    ++m_cGetClassID;
    if (pClassID == nullptr)
        return E_POINTER;
    if (m_hrGetClassID != S_OK)
        return m_hrGetClassID;
    *pClassID = m_clsid;
    return S_OK;
}

STDMETHODIMP CFakeFilter::Stop()
{
    m_eState = State_Stopped;
    return S_OK;
}

STDMETHODIMP CFakeFilter::Pause()
{
    m_eState = State_Paused;
    return S_OK;
}

STDMETHODIMP CFakeFilter::Run(REFERENCE_TIME)
{
    m_eState = State_Running;
    return S_OK;
}

STDMETHODIMP CFakeFilter::GetState(DWORD, FILTER_STATE* pState)
{
    if (pState == nullptr)
        return E_POINTER;
    *pState = m_eState;
    return S_OK;
}

STDMETHODIMP CFakeFilter::SetSyncSource(IReferenceClock*)
{
    return S_OK;
}

STDMETHODIMP CFakeFilter::GetSyncSource(IReferenceClock** ppClock)
{
    if (ppClock == nullptr)
        return E_POINTER;
    *ppClock = nullptr;
    return S_OK;
}

STDMETHODIMP CFakeFilter::EnumPins(IEnumPins** ppEnum)
{
    ++m_cEnumPins;
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = nullptr;
    if (FAILED(m_hrEnumPins))
        return m_hrEnumPins;
    std::vector<CComPtr<IPin>> pins(m_pins.begin(), m_pins.end());
    *ppEnum = new CFakeEnumPins(Identity(), std::move(pins), m_pinsNext);
    return S_OK;
}

STDMETHODIMP CFakeFilter::FindPin(LPCWSTR, IPin** ppPin)
{
    if (ppPin == nullptr)
        return E_POINTER;
    *ppPin = nullptr;
    return VFW_E_NOT_FOUND;
}

void CFakeFilter::AnswerUnterminatedNames()
{
    m_bUnterminatedName = true;
    for (CFakePin* pPin : m_pins)
        pPin->AnswerUnterminatedName();
}

STDMETHODIMP CFakeFilter::QueryFilterInfo(FILTER_INFO* pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    if (m_bUnterminatedName)
    {
        std::fill(std::begin(pInfo->achName), std::end(pInfo->achName), L'n');
    }
    else
    {
        ::wcsncpy(pInfo->achName, m_nameInGraph.c_str(), MAX_FILTER_NAME - 1);
        pInfo->achName[MAX_FILTER_NAME - 1] = L'\0';
    }
    pInfo->pGraph = m_pGraph;
    if (m_pGraph != nullptr)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CFakeFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName)
{
    if (pGraph != nullptr && FAILED(m_hrJoin))
        return m_hrJoin;
    m_pGraph = pGraph;
    m_nameInGraph = pName != nullptr ? pName : L"";
    return S_OK;
}

STDMETHODIMP CFakeFilter::QueryVendorInfo(LPWSTR* ppVendorInfo)
{
    if (ppVendorInfo != nullptr)
        *ppVendorInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeFilter::SetMode(LONG lMode)
{
    if (++m_cSetMode == 1)
        m_bSetModeInGraphUnconnected =
            m_pGraph != nullptr && std::none_of(m_pins.begin(), m_pins.end(), [](CFakePin* p) { return p->Peer(); });
    m_lLastMode = lMode;
    return m_hrSetMode;
}

STDMETHODIMP CFakeFilter::GetType(LONG* peType)
{
    if (peType == nullptr)
        return E_POINTER;
    if (m_version.hrType == S_OK)
        *peType = m_version.eType;
    return m_version.hrType;
}

STDMETHODIMP CFakeFilter::GetOS(LONG* peOS)
{
    if (peOS == nullptr)
        return E_POINTER;
    if (m_version.hrOS == S_OK)
        *peOS = m_version.eOS;
    return m_version.hrOS;
}

STDMETHODIMP CFakeFilter::GetName(BSTR* pbstrName)
{
    if (pbstrName == nullptr)
        return E_POINTER;
    if (m_version.hrName == S_OK)
        *pbstrName = AllocText(m_version.name);
    return m_version.hrName;
}

STDMETHODIMP CFakeFilter::GetNumber(BSTR* pbstrNumber)
{
    if (pbstrNumber == nullptr)
        return E_POINTER;
    if (m_version.hrNumber == S_OK)
        *pbstrNumber = AllocText(m_version.number);
    return m_version.hrNumber;
}

STDMETHODIMP CFakeFilter::GetDateTime(BSTR* pbstrDateTime)
{
    if (pbstrDateTime == nullptr)
        return E_POINTER;
    if (m_version.hrDateTime == S_OK)
        *pbstrDateTime = AllocText(m_version.dateTime);
    return m_version.hrDateTime;
}

// ---------------------------------------------------------------------------
// CFakeGraphManager

CFakeGraphManager::~CFakeGraphManager()
{
    for (auto& filter : m_filters)
        filter.first->JoinFilterGraph(nullptr, nullptr);
}

void CFakeGraphManager::QueueEvent(long lCode, LONG_PTR lParam1, LONG_PTR lParam2)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({lCode, lParam1, lParam2});
}

void CFakeGraphManager::SetControlResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hrControl = hr;
}

std::vector<std::string> CFakeGraphManager::ControlCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controlCalls;
}

std::vector<CFakeGraphManager::NotifyWindowCall> CFakeGraphManager::NotifyWindowCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_notifyWindowCalls;
}

std::vector<CFakeGraphManager::Event> CFakeGraphManager::FreedEvents() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_freedEvents;
}

std::vector<long> CFakeGraphManager::GetEventTimeouts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_getEventTimeouts;
}

void CFakeGraphManager::SetLoad(HRESULT hr, const std::vector<std::pair<IBaseFilter*, std::wstring>>& filters)
{
    m_hrLoad = hr;
    m_loadFilters.assign(filters.begin(), filters.end());
}

bool CFakeGraphManager::IsWithheld(REFIID riid) const
{
    return std::find(m_withheld.begin(), m_withheld.end(), riid) != m_withheld.end();
}

STDMETHODIMP CFakeGraphManager::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (IsWithheld(riid))
        return E_NOINTERFACE;
    if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
        return HandOutRef(static_cast<IGraphBuilder*>(this), ppv);
    if (riid == IID_IMediaControl)
        return HandOutRef(static_cast<IMediaControl*>(this), ppv);
    if (riid == IID_IMediaEvent || riid == IID_IMediaEventEx)
        return HandOutRef(static_cast<IMediaEventEx*>(this), ppv);
    if (riid == IID_IMediaSeeking)
        return HandOutRef(static_cast<IMediaSeeking*>(this), ppv);
    if (riid == IID_IPersist || riid == IID_IPersistStream)
        return HandOutRef(static_cast<IPersistStream*>(this), ppv);
    return E_NOINTERFACE;
}

STDMETHODIMP CFakeGraphManager::AddFilter(IBaseFilter* pFilter, LPCWSTR pName)
{
    if (pFilter == nullptr)
        return E_POINTER;
    const std::wstring name = pName != nullptr ? pName : L"";
    for (const auto& failure : m_addFailures)
        if (failure.first == name)
            return failure.second;
    HRESULT hr = pFilter->JoinFilterGraph(this, name.c_str());
    if (FAILED(hr))
        return hr;
    m_filters.emplace_back(pFilter, name);
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::RemoveFilter(IBaseFilter* pFilter)
{
    for (auto it = m_filters.begin(); it != m_filters.end(); ++it)
    {
        if (it->first == pFilter)
        {
            pFilter->JoinFilterGraph(nullptr, nullptr);
            m_filters.erase(it);
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CFakeGraphManager::EnumFilters(IEnumFilters** ppEnum)
{
    ++m_cEnumFilters;
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = nullptr;
    if (FAILED(m_hrEnumFilters))
        return m_hrEnumFilters;
    std::vector<CComPtr<IBaseFilter>> filters;
    for (const auto& filter : m_filters)
        filters.push_back(filter.first);
    *ppEnum = new CFakeEnumFilters(Identity(), std::move(filters), m_filtersNext);
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter)
{
    if (pName == nullptr || ppFilter == nullptr)
        return E_POINTER;
    *ppFilter = nullptr;
    for (const auto& filter : m_filters)
    {
        if (filter.second == pName)
        {
            *ppFilter = filter.first;
            (*ppFilter)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CFakeGraphManager::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt)
{
    if (ppinOut == nullptr || ppinIn == nullptr)
        return E_POINTER;
    return ppinOut->Connect(ppinIn, pmt);
}

STDMETHODIMP CFakeGraphManager::Reconnect(IPin*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::Disconnect(IPin* ppin)
{
    return ppin != nullptr ? ppin->Disconnect() : E_POINTER;
}

STDMETHODIMP CFakeGraphManager::SetDefaultSyncSource()
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::Connect(IPin* ppinOut, IPin* ppinIn)
{
    return ConnectDirect(ppinOut, ppinIn, nullptr);
}

STDMETHODIMP CFakeGraphManager::Render(IPin*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::RenderFile(LPCWSTR, LPCWSTR)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter** ppFilter)
{
    if (ppFilter != nullptr)
        *ppFilter = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::SetLogFile(DWORD_PTR)
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::Abort()
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::ShouldOperationContinue()
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::GetTypeInfoCount(UINT* pctinfo)
{
    if (pctinfo == nullptr)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo)
{
    if (ppTInfo != nullptr)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
{
    return E_NOTIMPL;
}

HRESULT CFakeGraphManager::Control(const char* pszName)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controlCalls.emplace_back(pszName);
    return m_hrControl;
}

STDMETHODIMP CFakeGraphManager::Run()
{
    return Control("Run");
}

STDMETHODIMP CFakeGraphManager::Pause()
{
    return Control("Pause");
}

STDMETHODIMP CFakeGraphManager::Stop()
{
    return Control("Stop");
}

STDMETHODIMP CFakeGraphManager::GetState(LONG, OAFilterState* pfs)
{
    if (pfs == nullptr)
        return E_POINTER;
    *pfs = State_Stopped;
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::RenderFile(BSTR)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::AddSourceFilter(BSTR, IDispatch** ppUnk)
{
    if (ppUnk != nullptr)
        *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::get_FilterCollection(IDispatch** ppUnk)
{
    if (ppUnk != nullptr)
        *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::get_RegFilterCollection(IDispatch** ppUnk)
{
    if (ppUnk != nullptr)
        *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::StopWhenReady()
{
    return Control("Stop");
}

STDMETHODIMP CFakeGraphManager::GetEventHandle(OAEVENT* hEvent)
{
    if (hEvent != nullptr)
        *hEvent = 0;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::GetEvent(long* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, long msTimeout)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_getEventTimeouts.push_back(msTimeout);
    if (lEventCode == nullptr || lParam1 == nullptr || lParam2 == nullptr)
        return E_POINTER;
    if (m_events.empty())
        return E_ABORT; // what the platform answers when the queue stays empty
    *lEventCode = m_events.front().lCode;
    *lParam1 = m_events.front().lParam1;
    *lParam2 = m_events.front().lParam2;
    m_events.erase(m_events.begin());
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::WaitForCompletion(long, long* pEvCode)
{
    if (pEvCode != nullptr)
        *pEvCode = 0;
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::CancelDefaultHandling(long)
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::RestoreDefaultHandling(long)
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::FreeEventParams(long lEvCode, LONG_PTR lParam1, LONG_PTR lParam2)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_freedEvents.push_back({lEvCode, lParam1, lParam2});
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::SetNotifyWindow(OAHWND hwnd, long lMsg, LONG_PTR lInstanceData)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notifyWindowCalls.push_back({hwnd, lMsg, lInstanceData});
    return m_hrSetNotifyWindow;
}

STDMETHODIMP CFakeGraphManager::SetNotifyFlags(long)
{
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::GetNotifyFlags(long* lplNoNotifyFlags)
{
    if (lplNoNotifyFlags == nullptr)
        return E_POINTER;
    *lplNoNotifyFlags = 0;
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::GetClassID(CLSID* pClassID)
{
    if (pClassID == nullptr)
        return E_POINTER;
    *pClassID = CLSID_FilterGraph;
    return S_OK;
}

STDMETHODIMP CFakeGraphManager::IsDirty()
{
    return S_FALSE;
}

STDMETHODIMP CFakeGraphManager::Load(IStream* pStm)
{
    ++m_cLoad;
    if (pStm == nullptr)
        return E_POINTER;
    char buffer[256];
    ULONG cbRead = 0;
    while (SUCCEEDED(pStm->Read(buffer, sizeof(buffer), &cbRead)) && cbRead > 0)
        m_loadedBytes.append(buffer, cbRead);
    // The filters go to the graph: the fake keeps no reference of its own.
    auto filters = std::move(m_loadFilters);
    m_loadFilters.clear();
    for (const auto& filter : filters)
        AddFilter(filter.first, filter.second.c_str());
    return m_hrLoad;
}

STDMETHODIMP CFakeGraphManager::Save(IStream*, BOOL)
{
    return E_NOTIMPL;
}

STDMETHODIMP CFakeGraphManager::GetSizeMax(ULARGE_INTEGER* pcbSize)
{
    if (pcbSize != nullptr)
        pcbSize->QuadPart = 0;
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// CFakeClassFactory, CClassRegistration

void CFakeClassFactory::HandOut(IUnknown* pObject)
{
    m_spObject = pObject;
    m_hrCreate = S_OK;
}

void CFakeClassFactory::Fail(HRESULT hr)
{
    m_spObject.Release();
    m_hrCreate = hr;
}

STDMETHODIMP CFakeClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IClassFactory)
        return HandOutRef(static_cast<IClassFactory*>(this), ppv);
    return E_NOINTERFACE;
}

STDMETHODIMP CFakeClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    ++m_cCreate;
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    if (!m_spObject)
        return m_hrCreate;
    return m_spObject->QueryInterface(riid, ppv);
}

STDMETHODIMP CFakeClassFactory::LockServer(BOOL)
{
    return S_OK;
}

CClassRegistration::CClassRegistration(REFCLSID clsid, IUnknown* pObject)
    : m_spFactory(MakeFake<CFakeClassFactory>())
{
    m_spFactory->HandOut(pObject);
    Register(clsid);
}

CClassRegistration::CClassRegistration(REFCLSID clsid, HRESULT hrCreate)
    : m_spFactory(MakeFake<CFakeClassFactory>())
{
    m_spFactory->Fail(hrCreate);
    Register(clsid);
}

void CClassRegistration::Register(REFCLSID clsid)
{
    m_hr = ::CoRegisterClassObject(clsid, m_spFactory->Identity(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                   &m_dwCookie);
}

CClassRegistration::~CClassRegistration()
{
    if (m_hr == S_OK)
        ::CoRevokeClassObject(m_dwCookie);
}
