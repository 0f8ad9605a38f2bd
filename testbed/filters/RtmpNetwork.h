// The RTMP server's network side: one listening socket and up to
// kMaxClients client connections, served by one thread with non-blocking
// sockets and WSAEventSelect. Each connection's protocol lives in an
// rtmp::Session; the streaming threads hand frames to every session under
// the sessions lock and wake the thread, so they never wait for a socket.
#pragma once

#include "RtmpSettings.h"
#include "Session.h"

#include "base/Sync.h"
#include "base/WorkerThread.h"

#include <winsock2.h>

#include <atlbase.h>

#include <cstdint>
#include <memory>
#include <vector>

// Owns the process's use of Winsock while it lives.
class CWinsock
{
public:
    CWinsock();
    ~CWinsock();
    CWinsock(const CWinsock&) = delete;
    CWinsock& operator=(const CWinsock&) = delete;
    // The status of WSAStartup: S_OK, or the failure Winsock gave.
    HRESULT Status() const { return m_hr; }

private:
    HRESULT m_hr;
};

// A socket, closed with its owner.
class CSocket
{
public:
    CSocket() = default;
    explicit CSocket(SOCKET s) : m_s(s) {}
    ~CSocket() { Close(); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    SOCKET Get() const { return m_s; }
    bool IsValid() const { return m_s != INVALID_SOCKET; }
    void Reset(SOCKET s)
    {
        Close();
        m_s = s;
    }
    // Hands the socket over without closing it.
    SOCKET Release()
    {
        const SOCKET s = m_s;
        m_s = INVALID_SOCKET;
        return s;
    }
    void Close();

private:
    SOCKET m_s = INVALID_SOCKET;
};

// A Winsock event object, closed with its owner.
class CWsaEvent
{
public:
    CWsaEvent() : m_h(::WSACreateEvent()) {}
    ~CWsaEvent()
    {
        if (m_h != WSA_INVALID_EVENT)
            ::WSACloseEvent(m_h);
    }
    CWsaEvent(const CWsaEvent&) = delete;
    CWsaEvent& operator=(const CWsaEvent&) = delete;
    WSAEVENT Get() const { return m_h; }
    bool IsValid() const { return m_h != WSA_INVALID_EVENT; }

private:
    WSAEVENT m_h;
};

// What the clients of one run of the server did.
struct RtmpClientCounts
{
    LONG cConnected = 0;       // connections open now
    LONG cServed = 0;          // connections whose play was accepted
    uint64_t cbSent = 0;       // bytes the sockets took
    uint64_t cFramesDropped = 0; // frames left out for clients that could not keep up
};

class CRtmpNetwork
{
public:
    // The server's limits.
    static constexpr size_t kMaxClients = 16;
    static constexpr DWORD kHandshakeTimeoutMs = 5000;
    static constexpr DWORD kPlayTimeoutMs = 30000;
    // How long a Stop waits for the last bytes to leave.
    static constexpr DWORD kStopFlushMs = 500;
    static constexpr DWORD kLingerMs = 500;

    CRtmpNetwork();
    ~CRtmpNetwork();
    CRtmpNetwork(const CRtmpNetwork&) = delete;
    CRtmpNetwork& operator=(const CRtmpNetwork&) = delete;

    // Binds and listens on the address and port of the settings and starts
    // the network thread; the failure of Winsock (WSAEADDRINUSE, ...) as an
    // HRESULT otherwise. The counts start again from zero.
    HRESULT Start(const RtmpServerSettings& settings, const rtmp::ServerConfig& config);
    // Ends every client's stream, sends what it can within kStopFlushMs,
    // closes every connection and the listening socket, and joins the thread.
    void Stop();

    // The headers every session sends, also those that connect later.
    void SetStreamHeaders(const rtmp::StreamHeaders& headers);
    // One frame to every session; returns at once.
    void Broadcast(const rtmp::MediaFrame& frame);
    RtmpClientCounts Counts();

private:
    class CClient;

    static void ThreadProc(void* pThis);
    void Serve();
    // With the listening socket signalled: takes every pending connection.
    void AcceptPending(ULONGLONG ullNow);
    void AddClient(CSocket& accepted, ULONGLONG ullNow);
    // Moves the bytes of one client both ways and starts its close when it
    // is done; false once it can go.
    bool ServiceClient(CClient& client, ULONGLONG ullNow);
    // Why an open client must close now, or null.
    const wchar_t* ReasonToClose(CClient& client, ULONGLONG ullNow);
    // How a round of reading ended.
    enum class ReadEnd
    {
        Drained,    // nothing more to read now
        PeerClosed, // the client closed its side
        Failed,     // the connection broke
        Stopped,    // take refused more
    };
    // Reads what the socket holds (at most kReadRoundLimit) and hands each
    // piece to take(pb, cb), which returns false to stop.
    template <class Take>
    ReadEnd ReadRound(CClient& client, Take take);
    bool ReadFrom(CClient& client);
    bool WriteTo(CClient& client);
    // A close sends what is queued, then the end of the connection, and
    // reads until the client ends it too (or kLingerMs pass): closing with
    // unread bytes would reset the connection and lose the last words.
    void BeginClose(CClient& client, ULONGLONG ullNow, DWORD dwWithinMs, const wchar_t* pszWhy);
    bool HasOutput(CClient& client);
    // False once a closing client can go.
    bool Linger(CClient& client, ULONGLONG ullNow);
    void RemoveClients(const std::vector<CClient*>& leaving);
    DWORD MillisecondsToNextDeadline(ULONGLONG ullNow) const;
    void WaitForEvents(DWORD dwTimeoutMs);
    // At the end of the thread: the last bytes, then every connection closed
    // within kStopFlushMs.
    void FlushAndCloseAll();
    // Closes whatever is left at once.
    void CloseAll();
    bool IsStopping();

    CWinsock m_winsock;
    CWsaEvent m_listenEvent;
    CSocket m_listener;
    ATL::CHandle m_hWake; // auto-reset: frames or a stop are waiting
    CWorkerThread m_thread;
    rtmp::ServerConfig m_config;

    // Guards the sessions, the client list, the headers, the counts and the
    // stop request. Never held while a socket is called.
    CCriticalSection m_csSessions;
    std::vector<std::unique_ptr<CClient>> m_clients;
    rtmp::StreamHeaders m_headers;
    RtmpClientCounts m_counts;
    uint64_t m_cDroppedByClosed = 0; // frames dropped by sessions already closed
    bool m_bStopping = false;
    unsigned m_uNextClientId = 1; // network thread only
};
