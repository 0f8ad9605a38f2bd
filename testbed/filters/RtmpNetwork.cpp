#include "RtmpNetwork.h"

#include <atldiag.h>

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>

namespace
{

// The handshake is C0 (one byte), then C1 and C2 of 1536 bytes each: a
// client that has not sent that many bytes in time has not completed it.
constexpr uint64_t kHandshakeBytes = 1 + 2 * 1536;
// What one read takes, and what one client may read in one round, so that
// a client that floods the server does not starve the others.
constexpr int kReadChunk = 16 * 1024;
constexpr int kReadRoundLimit = 256 * 1024;
// The socket's own send buffer: kept small, so that what a slow client has
// not taken waits in its session's queue, where the drop policy sees it.
constexpr int kSendBufferBytes = 64 * 1024;
constexpr DWORD kMaxWaitMs = 1000;

HRESULT LastSocketError()
{
    const int nError = ::WSAGetLastError();
    return nError != 0 ? HRESULT_FROM_WIN32(static_cast<DWORD>(nError)) : E_FAIL;
}

void Trace(const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    ATL::CAtlDiagnostics::TraceV(ATL::atlTraceGeneral, 1, pszFormat, args);
    va_end(args);
}

// The numeric address and port to listen on, as Winsock takes it.
HRESULT ResolveListenAddress(const RtmpServerSettings& settings, sockaddr_storage& address, int& cbAddress)
{
    ADDRINFOW hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const std::wstring port = std::to_wstring(settings.port);
    ADDRINFOW* pResult = nullptr;
    const int nError = ::GetAddrInfoW(settings.address.c_str(), port.c_str(), &hints, &pResult);
    if (nError != 0 || pResult == nullptr)
        return HRESULT_FROM_WIN32(static_cast<DWORD>(nError != 0 ? nError : WSAHOST_NOT_FOUND));
    const bool bFits = pResult->ai_addrlen <= sizeof(address);
    if (bFits)
    {
        std::memcpy(&address, pResult->ai_addr, pResult->ai_addrlen);
        cbAddress = static_cast<int>(pResult->ai_addrlen);
    }
    ::FreeAddrInfoW(pResult);
    return bFits ? S_OK : E_UNEXPECTED;
}

} // namespace

// ---------------------------------------------------------------------------
// Owners

CWinsock::CWinsock()
{
    WSADATA data = {};
    const int nError = ::WSAStartup(MAKEWORD(2, 2), &data);
    m_hr = nError == 0 ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(nError));
}

CWinsock::~CWinsock()
{
    if (SUCCEEDED(m_hr))
        ::WSACleanup();
}

void CSocket::Close()
{
    if (m_s != INVALID_SOCKET)
        ::closesocket(m_s);
    m_s = INVALID_SOCKET;
}

// One connection: its socket, its session and the bytes on their way.
class CRtmpNetwork::CClient
{
public:
    CClient(SOCKET s, const rtmp::ServerConfig& config, ULONGLONG ullNow, unsigned uId)
        : socket(s), session(config), ullConnected(ullNow), uId(uId)
    {
    }

    CSocket socket;
    CWsaEvent event;
    rtmp::Session session; // under the sessions lock
    // Bytes taken from the session that the socket has not taken yet; only
    // the network thread touches them.
    rtmp::Bytes outbox;
    size_t cbOutboxSent = 0;
    uint64_t cbReceived = 0;
    const ULONGLONG ullConnected;
    const unsigned uId;      // names the connection in trace lines
    bool bPlayed = false;    // counted among the clients served
    bool bRefused = false;   // the session gave up: close once its last words are out
    bool bPeerClosed = false;
    ULONGLONG ullCloseBy = 0; // closing: the connection goes by then at the latest
    bool bShutDown = false;   // closing, and everything for the client has been sent
};

// ---------------------------------------------------------------------------
// Start and stop

CRtmpNetwork::CRtmpNetwork() : m_hWake(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CRtmpNetwork::~CRtmpNetwork()
{
    Stop();
}

HRESULT CRtmpNetwork::Start(const RtmpServerSettings& settings, const rtmp::ServerConfig& config)
{
    if (FAILED(m_winsock.Status()))
        return m_winsock.Status();
    if (m_hWake == nullptr || !m_listenEvent.IsValid())
        return E_OUTOFMEMORY;
    if (m_thread.IsStarted())
        return E_UNEXPECTED;
    sockaddr_storage address = {};
    int cbAddress = 0;
    HRESULT hr = ResolveListenAddress(settings, address, cbAddress);
    if (FAILED(hr))
        return hr;
    CSocket listener(::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (!listener.IsValid())
        return LastSocketError();
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), cbAddress) != 0 ||
        ::listen(listener.Get(), SOMAXCONN) != 0 ||
        ::WSAEventSelect(listener.Get(), m_listenEvent.Get(), FD_ACCEPT) != 0)
    {
        hr = LastSocketError();
        Trace(L"RTMP Server: cannot listen on %ls port %u: 0x%08lX\n", settings.address.c_str(), settings.port,
              static_cast<unsigned long>(hr));
        return hr;
    }
    {
        CLockGuard lock(m_csSessions);
        m_config = config;
        m_counts = RtmpClientCounts();
        m_cDroppedByClosed = 0;
        m_bStopping = false;
    }
    m_listener.Reset(listener.Release());
    hr = m_thread.Start(ThreadProc, this);
    if (FAILED(hr))
    {
        m_listener.Close();
        return hr;
    }
    Trace(L"RTMP Server: listening on %ls port %u for rtmp://.../%hs/%hs\n", settings.address.c_str(), settings.port,
          config.app.c_str(), config.stream.c_str());
    return S_OK;
}

void CRtmpNetwork::Stop()
{
    if (!m_thread.IsStarted())
        return;
    {
        CLockGuard lock(m_csSessions);
        m_bStopping = true;
        try
        {
            for (const auto& spClient : m_clients)
                spClient->session.EndStream();
        }
        catch (const std::bad_alloc&)
        {
            Trace(L"RTMP Server: out of memory; streams end without a word\n");
        }
    }
    ::SetEvent(m_hWake);
    m_thread.Join();
    m_listener.Close();
}

bool CRtmpNetwork::IsStopping()
{
    CLockGuard lock(m_csSessions);
    return m_bStopping;
}

// ---------------------------------------------------------------------------
// From the streaming threads

void CRtmpNetwork::SetStreamHeaders(const rtmp::StreamHeaders& headers)
{
    {
        CLockGuard lock(m_csSessions);
        m_headers = headers;
        for (const auto& spClient : m_clients)
            spClient->session.SetStreamHeaders(headers);
    }
    ::SetEvent(m_hWake);
}

void CRtmpNetwork::Broadcast(const rtmp::MediaFrame& frame)
{
    {
        CLockGuard lock(m_csSessions);
        for (const auto& spClient : m_clients)
            spClient->session.SendFrame(frame);
    }
    ::SetEvent(m_hWake);
}

RtmpClientCounts CRtmpNetwork::Counts()
{
    CLockGuard lock(m_csSessions);
    RtmpClientCounts counts = m_counts;
    counts.cConnected = static_cast<LONG>(m_clients.size());
    counts.cFramesDropped = m_cDroppedByClosed;
    for (const auto& spClient : m_clients)
        counts.cFramesDropped += spClient->session.Stats().framesDropped;
    return counts;
}

// ---------------------------------------------------------------------------
// The network thread

void CRtmpNetwork::ThreadProc(void* pThis)
{
    auto* pNetwork = static_cast<CRtmpNetwork*>(pThis);
    try
    {
        pNetwork->Serve();
    }
    catch (const std::bad_alloc&)
    {
        Trace(L"RTMP Server: out of memory; every connection closes\n");
    }
    try
    {
        pNetwork->FlushAndCloseAll();
    }
    catch (const std::bad_alloc&)
    {
        Trace(L"RTMP Server: out of memory while closing\n");
    }
    pNetwork->CloseAll();
}

void CRtmpNetwork::Serve()
{
    std::vector<CClient*> leaving;
    while (!IsStopping())
    {
        WaitForEvents(MillisecondsToNextDeadline(::GetTickCount64()));
        if (IsStopping())
            break;
        const ULONGLONG ullNow = ::GetTickCount64();
        AcceptPending(ullNow);
        leaving.clear();
        for (const auto& spClient : m_clients)
        {
            if (!ServiceClient(*spClient, ullNow))
                leaving.push_back(spClient.get());
        }
        RemoveClients(leaving);
    }
}

// Only this thread changes the client list, so it reads it without the lock.
void CRtmpNetwork::WaitForEvents(DWORD dwTimeoutMs)
{
    HANDLE handles[2 + kMaxClients] = {m_hWake, m_listenEvent.Get()};
    DWORD cHandles = 2;
    for (const auto& spClient : m_clients)
        handles[cHandles++] = spClient->event.Get();
    ::WaitForMultipleObjects(cHandles, handles, FALSE, dwTimeoutMs);
}

DWORD CRtmpNetwork::MillisecondsToNextDeadline(ULONGLONG ullNow) const
{
    ULONGLONG ullNext = ullNow + kMaxWaitMs;
    for (const auto& spClient : m_clients)
    {
        const CClient& client = *spClient;
        if (client.ullCloseBy != 0)
            ullNext = std::min(ullNext, client.ullCloseBy);
        else if (client.cbReceived < kHandshakeBytes)
            ullNext = std::min(ullNext, client.ullConnected + kHandshakeTimeoutMs);
        else if (!client.bPlayed)
            ullNext = std::min(ullNext, client.ullConnected + kPlayTimeoutMs);
    }
    return ullNext > ullNow ? static_cast<DWORD>(ullNext - ullNow) : 0;
}

void CRtmpNetwork::AcceptPending(ULONGLONG ullNow)
{
    WSANETWORKEVENTS events = {};
    if (::WSAEnumNetworkEvents(m_listener.Get(), m_listenEvent.Get(), &events) != 0 ||
        (events.lNetworkEvents & FD_ACCEPT) == 0)
        return;
    for (;;)
    {
        CSocket accepted(::accept(m_listener.Get(), nullptr, nullptr));
        if (!accepted.IsValid())
            return; // WSAEWOULDBLOCK: none left
        if (m_clients.size() >= kMaxClients)
        {
            Trace(L"RTMP Server: %u connections already; a new one is closed at once\n",
                  static_cast<unsigned>(kMaxClients));
            continue;
        }
        AddClient(accepted, ullNow);
    }
}

void CRtmpNetwork::AddClient(CSocket& accepted, ULONGLONG ullNow)
{
    std::unique_ptr<CClient> spClient;
    try
    {
        spClient = std::make_unique<CClient>(accepted.Release(), m_config, ullNow, m_uNextClientId++);
    }
    catch (const std::bad_alloc&)
    {
        Trace(L"RTMP Server: out of memory for a new connection; it is closed\n");
        return;
    }
    const SOCKET s = spClient->socket.Get();
    // Small frames go out at once rather than waiting for more.
    const BOOL bNoDelay = TRUE;
    if (!spClient->event.IsValid() ||
        ::WSAEventSelect(s, spClient->event.Get(), FD_READ | FD_WRITE | FD_CLOSE) != 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof(bNoDelay)) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kSendBufferBytes),
                     sizeof(kSendBufferBytes)) != 0)
    {
        Trace(L"RTMP Server: a new connection cannot be served: 0x%08lX\n",
              static_cast<unsigned long>(LastSocketError()));
        return;
    }
    Trace(L"RTMP Server: connection %u accepted\n", spClient->uId);
    CLockGuard lock(m_csSessions);
    spClient->session.SetStreamHeaders(m_headers);
    m_clients.push_back(std::move(spClient));
}

bool CRtmpNetwork::ServiceClient(CClient& client, ULONGLONG ullNow)
{
    WSANETWORKEVENTS events = {};
    ::WSAEnumNetworkEvents(client.socket.Get(), client.event.Get(), &events); // resets the event
    if (client.ullCloseBy != 0)
        return Linger(client, ullNow);
    if (!client.bRefused && !ReadFrom(client))
        return false;
    if (!WriteTo(client))
        return false;
    if (const wchar_t* pszWhy = ReasonToClose(client, ullNow))
        BeginClose(client, ullNow, kLingerMs, pszWhy);
    return client.ullCloseBy == 0 || Linger(client, ullNow);
}

const wchar_t* CRtmpNetwork::ReasonToClose(CClient& client, ULONGLONG ullNow)
{
    if (client.bRefused)
        return L"refused by the protocol";
    if (client.bPeerClosed)
        return L"closed by the client";
    bool bEnded = false;
    bool bIdle = client.cbOutboxSent == client.outbox.size();
    {
        CLockGuard lock(m_csSessions);
        if (!client.bPlayed && client.session.IsPlaying())
        {
            client.bPlayed = true;
            ++m_counts.cServed;
        }
        bEnded = client.session.HasStreamEnded();
        bIdle = bIdle && client.session.PendingOutput() == 0;
    }
    if (bEnded && bIdle)
        return L"its stream ended";
    const ULONGLONG ullAge = ullNow - client.ullConnected;
    if (client.cbReceived < kHandshakeBytes && ullAge >= kHandshakeTimeoutMs)
        return L"no handshake within 5 s";
    if (!client.bPlayed && ullAge >= kPlayTimeoutMs)
        return L"no play within 30 s";
    return nullptr;
}

template <class Take>
CRtmpNetwork::ReadEnd CRtmpNetwork::ReadRound(CClient& client, Take take)
{
    char buffer[kReadChunk];
    for (int cbRound = 0; cbRound < kReadRoundLimit;)
    {
        const int cb = ::recv(client.socket.Get(), buffer, sizeof(buffer), 0);
        if (cb == 0)
            return ReadEnd::PeerClosed;
        if (cb == SOCKET_ERROR)
            return ::WSAGetLastError() == WSAEWOULDBLOCK ? ReadEnd::Drained : ReadEnd::Failed;
        cbRound += cb;
        client.cbReceived += static_cast<uint64_t>(cb);
        if (!take(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(cb)))
            return ReadEnd::Stopped;
    }
    return ReadEnd::Drained; // the rest waits for the next round; FD_READ comes again
}

bool CRtmpNetwork::ReadFrom(CClient& client)
{
    const ReadEnd end = ReadRound(client, [&](const uint8_t* pb, size_t cb) {
        CLockGuard lock(m_csSessions);
        if (client.session.Receive(pb, cb))
            return true;
        Trace(L"RTMP Server: connection %u: %hs\n", client.uId, client.session.CloseReason().c_str());
        client.bRefused = true;
        return false;
    });
    if (end == ReadEnd::PeerClosed)
        client.bPeerClosed = true;
    if (end != ReadEnd::Failed)
        return true;
    Trace(L"RTMP Server: connection %u lost: 0x%08lX\n", client.uId, static_cast<unsigned long>(LastSocketError()));
    return false;
}

// Takes more from the session only once the socket took everything before:
// what a slow client leaves waits in the session, which drops frames when
// it grows too long.
bool CRtmpNetwork::WriteTo(CClient& client)
{
    for (;;)
    {
        if (client.cbOutboxSent == client.outbox.size())
        {
            client.outbox.clear();
            client.cbOutboxSent = 0;
            CLockGuard lock(m_csSessions);
            client.session.TakeOutput(client.outbox);
        }
        if (client.outbox.empty())
            return true;
        const size_t cbLeft = client.outbox.size() - client.cbOutboxSent;
        const int cbTry = static_cast<int>(std::min<size_t>(cbLeft, 1 << 20));
        const int cb = ::send(client.socket.Get(), reinterpret_cast<const char*>(client.outbox.data()) +
                                                       client.cbOutboxSent, cbTry, 0);
        if (cb == SOCKET_ERROR)
        {
            if (::WSAGetLastError() == WSAEWOULDBLOCK)
                return true;
            Trace(L"RTMP Server: connection %u lost while sending: 0x%08lX\n", client.uId,
                  static_cast<unsigned long>(LastSocketError()));
            return false;
        }
        client.cbOutboxSent += static_cast<size_t>(cb);
        CLockGuard lock(m_csSessions);
        m_counts.cbSent += static_cast<uint64_t>(cb);
    }
}

void CRtmpNetwork::BeginClose(CClient& client, ULONGLONG ullNow, DWORD dwWithinMs, const wchar_t* pszWhy)
{
    Trace(L"RTMP Server: connection %u closes: %ls\n", client.uId, pszWhy);
    client.ullCloseBy = ullNow + dwWithinMs;
}

bool CRtmpNetwork::HasOutput(CClient& client)
{
    if (client.cbOutboxSent != client.outbox.size())
        return true;
    CLockGuard lock(m_csSessions);
    return client.session.PendingOutput() != 0;
}

bool CRtmpNetwork::Linger(CClient& client, ULONGLONG ullNow)
{
    if (!client.bShutDown)
    {
        if (!WriteTo(client))
            return false;
        if (HasOutput(client) && ullNow < client.ullCloseBy)
            return true;
        ::shutdown(client.socket.Get(), SD_SEND);
        client.bShutDown = true;
    }
    // What the client still sends is read and let go.
    const ReadEnd end = ReadRound(client, [](const uint8_t*, size_t) { return true; });
    if (end == ReadEnd::PeerClosed || end == ReadEnd::Failed)
        return false;
    return ullNow < client.ullCloseBy;
}

// The sockets close once the lock is let go.
void CRtmpNetwork::RemoveClients(const std::vector<CClient*>& leaving)
{
    if (leaving.empty())
        return;
    std::vector<std::unique_ptr<CClient>> gone;
    CLockGuard lock(m_csSessions);
    for (auto it = m_clients.begin(); it != m_clients.end();)
    {
        if (std::find(leaving.begin(), leaving.end(), it->get()) == leaving.end())
        {
            ++it;
            continue;
        }
        m_cDroppedByClosed += (*it)->session.Stats().framesDropped;
        gone.push_back(std::move(*it));
        it = m_clients.erase(it);
    }
}

void CRtmpNetwork::FlushAndCloseAll()
{
    m_listener.Close();
    const ULONGLONG ullStart = ::GetTickCount64();
    for (const auto& spClient : m_clients)
    {
        if (spClient->ullCloseBy == 0)
            BeginClose(*spClient, ullStart, kStopFlushMs, L"the server stops");
        spClient->ullCloseBy = std::min(spClient->ullCloseBy, ullStart + kStopFlushMs);
    }
    std::vector<CClient*> leaving;
    for (;;)
    {
        const ULONGLONG ullNow = ::GetTickCount64();
        leaving.clear();
        for (const auto& spClient : m_clients)
        {
            if (!Linger(*spClient, ullNow))
                leaving.push_back(spClient.get());
        }
        RemoveClients(leaving);
        if (m_clients.empty())
            return;
        WaitForEvents(MillisecondsToNextDeadline(ullNow));
    }
}

void CRtmpNetwork::CloseAll()
{
    m_listener.Close();
    std::vector<std::unique_ptr<CClient>> gone;
    CLockGuard lock(m_csSessions);
    gone.swap(m_clients);
    for (const auto& spClient : gone)
        m_cDroppedByClosed += spClient->session.Stats().framesDropped;
}
