// Fake COM objects for the console's tests: filters, pins, enumerators, a
// filter graph manager, and class factories registered in the test process.
//
// Every fake counts its own references. It starts with the one reference its
// creator holds (MakeFake) and frees itself on the last Release, so a test can
// check that an operation gave back every reference it took. Fakes are set up
// before the operation and record what was asked of them.
#pragma once

#include <atlbase.h>
#include <dshow.h>
#include <dshowuuid.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VelkFilters.h"

// Creates a fake; the pointer returned holds its only reference.
template <class T, class... Args>
CComPtr<T> MakeFake(Args&&... args)
{
    CComPtr<T> sp;
    sp.Attach(new T(std::forward<Args>(args)...));
    return sp;
}

// The reference count that all interfaces of one fake share.
class CFakeObject
{
public:
    CFakeObject(const CFakeObject&) = delete;
    CFakeObject& operator=(const CFakeObject&) = delete;

    ULONG RefCount() const { return static_cast<ULONG>(m_cRef); }
    // The object's identity: what QueryInterface answers for IUnknown.
    virtual IUnknown* Identity() = 0;

protected:
    CFakeObject() = default;
    virtual ~CFakeObject() = default;

    ULONG AddRefFake() { return static_cast<ULONG>(::InterlockedIncrement(&m_cRef)); }
    ULONG ReleaseFake();

private:
    LONG m_cRef = 1;
};

// ---------------------------------------------------------------------------
// Enumerators

// One answer of an enumerator's Next that fails in place of the item at nAt.
struct FakeNextFailure
{
    size_t nAt = SIZE_MAX; // no failure
    HRESULT hr = E_FAIL;
    bool bWithItem = false; // the failing call still hands out the item
    size_t cTimes = 1;      // how many calls in a row answer so
};

// IEnumPins or IEnumFilters over a fixed list. Like a real enumerator it keeps
// its owner (the filter or the graph) alive, so a leaked enumerator shows in
// the owner's reference count.
template <class IEnum, class IItem>
class CFakeEnum final : public CFakeObject, public IEnum
{
public:
    CFakeEnum(IUnknown* pOwner, std::vector<CComPtr<IItem>> items, FakeNextFailure failure);

    IUnknown* Identity() override { return this; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefFake(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseFake(); }

    STDMETHODIMP Next(ULONG cItems, IItem** ppItems, ULONG* pcFetched) override;
    STDMETHODIMP Skip(ULONG cItems) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnum** ppEnum) override;

private:
    CComPtr<IUnknown> m_spOwner;
    std::vector<CComPtr<IItem>> m_items;
    FakeNextFailure m_failure;
    size_t m_nNext = 0;
    size_t m_cFailed = 0;
};

using CFakeEnumPins = CFakeEnum<IEnumPins, IPin>;
using CFakeEnumFilters = CFakeEnum<IEnumFilters, IBaseFilter>;

// ---------------------------------------------------------------------------
// Seeking

// IMediaSeeking that answers the duration and position queries as told and
// records every SetPositions. The class that derives from it supplies IUnknown.
// A dialog's timer queries it while a test sets its answers, so its state is
// locked and read out as copies.
class CFakeSeeking : public IMediaSeeking
{
public:
    struct Positions
    {
        std::optional<LONGLONG> llCurrent; // empty: a null pointer
        DWORD dwCurrentFlags;
        std::optional<LONGLONG> llStop;
        DWORD dwStopFlags;
    };

    // The status of a query, and the value it writes (nothing when empty).
    void SetDurationAnswer(HRESULT hr, std::optional<LONGLONG> llDuration);
    void SetCurrentPositionAnswer(HRESULT hr, std::optional<LONGLONG> llPosition);
    void SetPositionsResult(HRESULT hr);

    std::vector<Positions> SetPositionsCalls() const;
    ULONG GetDurationCalls() const;

    STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP IsFormatSupported(const GUID* pFormat) override;
    STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override;
    STDMETHODIMP GetTimeFormat(GUID* pFormat) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP SetTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP GetDuration(LONGLONG* pDuration) override;
    STDMETHODIMP GetStopPosition(LONGLONG* pStop) override;
    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                   const GUID* pSourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                              DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

protected:
    CFakeSeeking() = default;
    ~CFakeSeeking() = default;

private:
    mutable std::mutex m_mutex;
    HRESULT m_hrDuration = S_OK;
    std::optional<LONGLONG> m_llDuration = 0;
    HRESULT m_hrCurrentPosition = S_OK;
    std::optional<LONGLONG> m_llCurrentPosition = 0;
    HRESULT m_hrSetPositions = S_OK;
    std::vector<Positions> m_setPositionsCalls;
    ULONG m_cGetDuration = 0;
};

// ---------------------------------------------------------------------------
// Pins

// A pin. A connection made through Connect holds a reference on the peer in
// both directions, as real pins do; Disconnect drops it.
class CFakePin final : public CFakeObject, public IPin
{
public:
    // pOwner is not kept alive by the pin: the filter owns its pins.
    CFakePin(IBaseFilter* pOwner, PIN_DIRECTION eDirection, std::wstring name);

    // ConnectedTo answers S_OK with pPartner, a connection made elsewhere.
    void ConnectTo(IPin* pPartner);
    // ConnectedTo answers S_OK without a partner.
    void AnswerConnectedWithoutPartner() { m_bConnectedWithoutPartner = true; }
    // QueryDirection fails with hr and writes nothing.
    void FailQueryDirection(HRESULT hr) { m_hrQueryDirection = hr; }
    // QueryPinInfo fills the whole name, with no terminator.
    void AnswerUnterminatedName() { m_bUnterminatedName = true; }
    // Connect's status when the receiving pin accepts (a failure ends Connect
    // at once, before the receiving pin is asked).
    void SetConnectResult(HRESULT hr) { m_hrConnect = hr; }
    // ReceiveConnection's status; a failure refuses the connection.
    void SetReceiveResult(HRESULT hr) { m_hrReceive = hr; }
    void OwnerGone() { m_pOwner = nullptr; }

    IPin* Peer() const { return m_spPeer; }
    PIN_DIRECTION Direction() const { return m_eDirection; }
    ULONG ConnectCalls() const { return m_cConnect; }
    ULONG ReceiveCalls() const { return m_cReceive; }
    ULONG QueryDirectionCalls() const { return m_cQueryDirection; }
    ULONG ConnectedToCalls() const { return m_cConnectedTo; }
    // Whether the last Connect proposed a media type.
    bool ConnectProposedType() const { return m_bConnectProposedType; }

    IUnknown* Identity() override { return this; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefFake(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseFake(); }

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
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

private:
    IBaseFilter* m_pOwner;
    PIN_DIRECTION m_eDirection;
    std::wstring m_name;
    CComPtr<IPin> m_spPeer;
    bool m_bConnectedWithoutPartner = false;
    bool m_bUnterminatedName = false;
    HRESULT m_hrQueryDirection = S_OK;
    HRESULT m_hrConnect = S_OK;
    HRESULT m_hrReceive = S_OK;
    ULONG m_cConnect = 0;
    ULONG m_cReceive = 0;
    ULONG m_cQueryDirection = 0;
    ULONG m_cConnectedTo = 0;
    bool m_bConnectProposedType = false;
};

// ---------------------------------------------------------------------------
// Filters

// What the server's IVelkVersion answers. A method whose status is not S_OK
// writes nothing; an empty string is left unset (null).
struct FakeVersion
{
    LONG eType = VelkBuildRelease;
    LONG eOS = VelkBuild64;
    std::optional<std::wstring> name = L"Velk RTMP Server";
    std::optional<std::wstring> number = L"1.0.0.1";
    std::optional<std::wstring> dateTime = L"2015-03-04 12:00";
    HRESULT hrType = S_OK;
    HRESULT hrOS = S_OK;
    HRESULT hrName = S_OK;
    HRESULT hrNumber = S_OK;
    HRESULT hrDateTime = S_OK;
};

// A filter with the class id it is given and the pins added to it. The maker's
// interfaces and IMediaSeeking are answered only once exposed.
class CFakeFilter final : public CFakeObject,
                          public IBaseFilter,
                          public IVelkVideoGenerator,
                          public IVelkRtmpServer,
                          public IVelkVersion,
                          public CFakeSeeking
{
public:
    explicit CFakeFilter(const CLSID& clsid = GUID_NULL);
    ~CFakeFilter() override;

    // Pins, in enumeration order; the filter owns them.
    CFakePin* AddPin(PIN_DIRECTION eDirection);
    CFakePin* Pin(size_t i) const { return m_pins.at(i); }

    void ExposeGenerator(HRESULT hrSetMode = S_OK);
    void ExposeServer() { m_bServer = true; }
    void ExposeVersion(const FakeVersion& version);
    void ExposeSeeking() { m_bSeeking = true; }

    void FailGetClassID(HRESULT hr) { m_hrGetClassID = hr; }
    // EnumPins fails with hr and hands out no enumerator.
    void FailEnumPins(HRESULT hr) { m_hrEnumPins = hr; }
    void FailPinsNext(const FakeNextFailure& failure) { m_pinsNext = failure; }
    // JoinFilterGraph refuses to join a graph (a graph's AddFilter then fails).
    void FailJoin(HRESULT hr) { m_hrJoin = hr; }
    // QueryFilterInfo, and its pins' QueryPinInfo, fill the whole name with
    // no terminator, as a careless filter may.
    void AnswerUnterminatedNames();

    IFilterGraph* Graph() const { return m_pGraph; }
    const std::wstring& NameInGraph() const { return m_nameInGraph; }
    FILTER_STATE State() const { return m_eState; }
    ULONG EnumPinsCalls() const { return m_cEnumPins; }
    ULONG GetClassIDCalls() const { return m_cGetClassID; }
    ULONG SetModeCalls() const { return m_cSetMode; }
    LONG LastMode() const { return m_lLastMode; }
    // Whether the first SetMode came while the filter was in a graph and none
    // of its pins was connected.
    bool SetModeInGraphBeforeConnections() const { return m_bSetModeInGraphUnconnected; }

    IUnknown* Identity() override { return static_cast<IBaseFilter*>(this); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefFake(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseFake(); }

    // IPersist
    STDMETHODIMP GetClassID(CLSID* pClassID) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* pState) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** ppClock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* ppVendorInfo) override;
    // IVelkVideoGenerator
    STDMETHODIMP SetMode(LONG lMode) override;
    // IVelkVersion
    STDMETHODIMP GetType(LONG* peType) override;
    STDMETHODIMP GetOS(LONG* peOS) override;
    STDMETHODIMP GetName(BSTR* pbstrName) override;
    STDMETHODIMP GetNumber(BSTR* pbstrNumber) override;
    STDMETHODIMP GetDateTime(BSTR* pbstrDateTime) override;

private:
    CLSID m_clsid;
    std::vector<CFakePin*> m_pins; // one reference each
    bool m_bGenerator = false;
    bool m_bServer = false;
    bool m_bVersion = false;
    bool m_bSeeking = false;
    FakeVersion m_version;
    HRESULT m_hrSetMode = S_OK;
    HRESULT m_hrGetClassID = S_OK;
    HRESULT m_hrEnumPins = S_OK;
    FakeNextFailure m_pinsNext;
    HRESULT m_hrJoin = S_OK;
    bool m_bUnterminatedName = false;

    IFilterGraph* m_pGraph = nullptr; // a filter never holds its graph
    std::wstring m_nameInGraph;
    FILTER_STATE m_eState = State_Stopped;
    ULONG m_cEnumPins = 0;
    ULONG m_cGetClassID = 0;
    ULONG m_cSetMode = 0;
    LONG m_lLastMode = 0;
    bool m_bSetModeInGraphUnconnected = false;
};

// ---------------------------------------------------------------------------
// Filter graph manager

// A graph manager with IGraphBuilder, IMediaControl, IMediaEventEx (and so
// IMediaEvent), IMediaSeeking and IPersistStream. Any of them can be withheld.
// AddFilter keeps real filters; Load adds the filters it was given and
// answers with the status it was given.
class CFakeGraphManager final : public CFakeObject,
                                public IGraphBuilder,
                                public IMediaControl,
                                public IMediaEventEx,
                                public IPersistStream,
                                public CFakeSeeking
{
public:
    struct NotifyWindowCall
    {
        OAHWND hwnd;
        long lMsg;
        LONG_PTR lInstanceData;
    };
    struct Event
    {
        long lCode;
        LONG_PTR lParam1;
        LONG_PTR lParam2;
    };

    CFakeGraphManager() = default;
    ~CFakeGraphManager() override;

    // QueryInterface answers E_NOINTERFACE for riid from now on.
    void Withhold(REFIID riid) { m_withheld.push_back(riid); }

    void FailAddFilter(const std::wstring& name, HRESULT hr) { m_addFailures.emplace_back(name, hr); }
    // EnumFilters fails with hr and hands out no enumerator.
    void FailEnumFilters(HRESULT hr) { m_hrEnumFilters = hr; }
    void FailFiltersNext(const FakeNextFailure& failure) { m_filtersNext = failure; }
    // The status of Run, Pause and Stop.
    void SetControlResult(HRESULT hr);
    void SetNotifyWindowResult(HRESULT hr) { m_hrSetNotifyWindow = hr; }
    void QueueEvent(long lCode, LONG_PTR lParam1, LONG_PTR lParam2);
    // The next Load adds each filter under its name, then answers hr.
    void SetLoad(HRESULT hr, const std::vector<std::pair<IBaseFilter*, std::wstring>>& filters);

    size_t FilterCount() const { return m_filters.size(); }
    // What the dialog's thread did, read from the test's: copies, taken under
    // the lock. "Run", "Pause" and "Stop", in call order.
    std::vector<std::string> ControlCalls() const;
    std::vector<NotifyWindowCall> NotifyWindowCalls() const;
    std::vector<Event> FreedEvents() const;
    std::vector<long> GetEventTimeouts() const;
    ULONG EnumFiltersCalls() const { return m_cEnumFilters; }
    ULONG LoadCalls() const { return m_cLoad; }
    // What Load read from the stream it was given.
    const std::string& LoadedBytes() const { return m_loadedBytes; }

    IUnknown* Identity() override { return static_cast<IGraphBuilder*>(this); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefFake(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseFake(); }

    // IFilterGraph
    STDMETHODIMP AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override;
    STDMETHODIMP RemoveFilter(IBaseFilter* pFilter) override;
    STDMETHODIMP EnumFilters(IEnumFilters** ppEnum) override;
    STDMETHODIMP FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override;
    STDMETHODIMP ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP Reconnect(IPin* ppin) override;
    STDMETHODIMP Disconnect(IPin* ppin) override;
    STDMETHODIMP SetDefaultSyncSource() override;
    // IGraphBuilder
    STDMETHODIMP Connect(IPin* ppinOut, IPin* ppinIn) override;
    STDMETHODIMP Render(IPin* ppinOut) override;
    STDMETHODIMP RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) override;
    STDMETHODIMP AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName,
                                 IBaseFilter** ppFilter) override;
    STDMETHODIMP SetLogFile(DWORD_PTR hFile) override;
    STDMETHODIMP Abort() override;
    STDMETHODIMP ShouldOperationContinue() override;
    // IDispatch, for IMediaControl and IMediaEventEx
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    // IMediaControl
    STDMETHODIMP Run() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP GetState(LONG msTimeout, OAFilterState* pfs) override;
    STDMETHODIMP RenderFile(BSTR strFilename) override;
    STDMETHODIMP AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) override;
    STDMETHODIMP get_FilterCollection(IDispatch** ppUnk) override;
    STDMETHODIMP get_RegFilterCollection(IDispatch** ppUnk) override;
    STDMETHODIMP StopWhenReady() override;
    // IMediaEvent
    STDMETHODIMP GetEventHandle(OAEVENT* hEvent) override;
    STDMETHODIMP GetEvent(long* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, long msTimeout) override;
    STDMETHODIMP WaitForCompletion(long msTimeout, long* pEvCode) override;
    STDMETHODIMP CancelDefaultHandling(long lEvCode) override;
    STDMETHODIMP RestoreDefaultHandling(long lEvCode) override;
    STDMETHODIMP FreeEventParams(long lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) override;
    // IMediaEventEx
    STDMETHODIMP SetNotifyWindow(OAHWND hwnd, long lMsg, LONG_PTR lInstanceData) override;
    STDMETHODIMP SetNotifyFlags(long lNoNotifyFlags) override;
    STDMETHODIMP GetNotifyFlags(long* lplNoNotifyFlags) override;
    // IPersist, IPersistStream
    STDMETHODIMP GetClassID(CLSID* pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(IStream* pStm) override;
    STDMETHODIMP Save(IStream* pStm, BOOL fClearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pcbSize) override;

private:
    bool IsWithheld(REFIID riid) const;
    HRESULT Control(const char* pszName);

    std::vector<IID> m_withheld;
    std::vector<std::pair<std::wstring, HRESULT>> m_addFailures;
    std::list<std::pair<CComPtr<IBaseFilter>, std::wstring>> m_filters; // in insertion order
    HRESULT m_hrEnumFilters = S_OK;
    FakeNextFailure m_filtersNext;
    HRESULT m_hrControl = S_OK;
    HRESULT m_hrSetNotifyWindow = S_OK;
    std::vector<Event> m_events;
    HRESULT m_hrLoad = S_OK;
    std::vector<std::pair<CComPtr<IBaseFilter>, std::wstring>> m_loadFilters;

    // Guards the events, the control answers and the records of calls.
    mutable std::mutex m_mutex;
    std::vector<std::string> m_controlCalls;
    std::vector<NotifyWindowCall> m_notifyWindowCalls;
    std::vector<Event> m_freedEvents;
    std::vector<long> m_getEventTimeouts;
    ULONG m_cEnumFilters = 0;
    ULONG m_cLoad = 0;
    std::string m_loadedBytes;
};

// ---------------------------------------------------------------------------
// Class factories

// Hands out one given object (whatever interface is asked of it), or fails
// with a given status.
class CFakeClassFactory final : public CFakeObject, public IClassFactory
{
public:
    void HandOut(IUnknown* pObject);
    void Fail(HRESULT hr);
    ULONG CreateCalls() const { return m_cCreate; }

    IUnknown* Identity() override { return this; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefFake(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseFake(); }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    CComPtr<IUnknown> m_spObject;
    HRESULT m_hrCreate = E_UNEXPECTED;
    ULONG m_cCreate = 0;
};

// Registers a fake class factory for clsid in this process for its lifetime
// (CoRegisterClassObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE), so that
// this process's CoCreateInstance of clsid reaches the factory.
class CClassRegistration
{
public:
    CClassRegistration(REFCLSID clsid, IUnknown* pObject);
    CClassRegistration(REFCLSID clsid, HRESULT hrCreate);
    ~CClassRegistration();

    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;

    // CoRegisterClassObject's status.
    HRESULT Status() const { return m_hr; }
    CFakeClassFactory& Factory() const { return *m_spFactory; }

private:
    void Register(REFCLSID clsid);

    CComPtr<CFakeClassFactory> m_spFactory;
    DWORD m_dwCookie = 0;
    HRESULT m_hr = E_UNEXPECTED;
};
