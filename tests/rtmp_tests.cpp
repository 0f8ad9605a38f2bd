// The RTMP server of the default streaming graph, served to real players:
// the real console plays the graph under Wine while Debian's ffmpeg,
// ffprobe and rtmpdump connect to it from Linux, and raw sockets play the
// clients that misbehave.
#include "NativeJob.h"
#include "RtmpSettings.h"
#include "StreamingFixture.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr wchar_t kszSettingsKey[] = L"Software\\Velk\\RTMP Server";

// The settings of the server, written to the prefix's registry while the
// object lives; the port the run set for every test comes back with it.
class CServerSettings
{
public:
    CServerSettings()
    {
        DWORD cb = sizeof(m_dwRunPort);
        m_bRunPort = ::RegGetValueW(HKEY_CURRENT_USER, kszSettingsKey, L"Port", RRF_RT_REG_DWORD, nullptr,
                                    &m_dwRunPort, &cb) == ERROR_SUCCESS;
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kszSettingsKey);
    }
    ~CServerSettings()
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kszSettingsKey);
        if (m_bRunPort)
            SetDword(L"Port", m_dwRunPort);
    }
    CServerSettings(const CServerSettings&) = delete;
    CServerSettings& operator=(const CServerSettings&) = delete;

    bool SetDword(LPCWSTR pszName, DWORD dw) { return Set(pszName, REG_DWORD, &dw, sizeof(dw)); }
    bool SetText(LPCWSTR pszName, const std::wstring& text)
    {
        return Set(pszName, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    bool Set(LPCWSTR pszName, DWORD dwType, const void* pv, DWORD cb)
    {
        return ::RegSetKeyValueW(HKEY_CURRENT_USER, kszSettingsKey, pszName, dwType, pv, cb) == ERROR_SUCCESS;
    }

private:
    DWORD m_dwRunPort = 0;
    bool m_bRunPort = false;
};

// A port of its own for each test process, so that runs never clash.
uint16_t TestPort()
{
    return static_cast<uint16_t>(20000 + (::GetCurrentProcessId() * 7 + ::GetTickCount()) % 20000);
}

// Winsock for the raw clients of a test.
class CWinsockUser
{
public:
    CWinsockUser()
    {
        WSADATA data = {};
        m_bStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWinsockUser()
    {
        if (m_bStarted)
            ::WSACleanup();
    }
    CWinsockUser(const CWinsockUser&) = delete;
    CWinsockUser& operator=(const CWinsockUser&) = delete;

private:
    bool m_bStarted = false;
};

// A TCP connection (or a listener) of the test's own, closed with it.
class CRawSocket
{
public:
    CRawSocket() : m_s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
    ~CRawSocket()
    {
        if (m_s != INVALID_SOCKET)
            ::closesocket(m_s);
    }
    CRawSocket(const CRawSocket&) = delete;
    CRawSocket& operator=(const CRawSocket&) = delete;

    bool Connect(uint16_t port) { return ::connect(m_s, Address(port), sizeof(sockaddr_in)) == 0; }
    bool Listen(uint16_t port)
    {
        return ::bind(m_s, Address(port), sizeof(sockaddr_in)) == 0 && ::listen(m_s, 4) == 0;
    }
    bool Send(const std::vector<uint8_t>& bytes)
    {
        return ::send(m_s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0) ==
               static_cast<int>(bytes.size());
    }
    // Reads cb bytes; false when the connection ends or fails first.
    bool Receive(size_t cb)
    {
        char buffer[4096];
        while (cb > 0)
        {
            const int cbRead = ::recv(m_s, buffer, static_cast<int>(std::min(cb, sizeof(buffer))), 0);
            if (cbRead <= 0)
                return false;
            cb -= static_cast<size_t>(cbRead);
        }
        return true;
    }
    // Waits up to dwTimeoutMs for the server to end the connection, reading
    // and counting what it sent before; false when it is still open.
    bool WaitForClose(DWORD dwTimeoutMs, size_t* pcbReceived = nullptr)
    {
        const DWORD dwTimeout = dwTimeoutMs;
        ::setsockopt(m_s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout), sizeof(dwTimeout));
        char buffer[4096];
        size_t cbTotal = 0;
        const DWORD dwStart = ::GetTickCount();
        for (;;)
        {
            const int cb = ::recv(m_s, buffer, sizeof(buffer), 0);
            if (cb <= 0)
            {
                if (pcbReceived != nullptr)
                    *pcbReceived = cbTotal;
                return cb == 0 || ::WSAGetLastError() != WSAETIMEDOUT;
            }
            cbTotal += static_cast<size_t>(cb);
            if (::GetTickCount() - dwStart > dwTimeoutMs)
                return false;
        }
    }

private:
    const sockaddr* Address(uint16_t port)
    {
        m_address = {};
        m_address.sin_family = AF_INET;
        m_address.sin_port = htons(port);
        m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return reinterpret_cast<const sockaddr*>(&m_address);
    }

    SOCKET m_s;
    sockaddr_in m_address = {};
};

// The lines of a text.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool Contains(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

// ffprobe's compact line of the stream of a type ("video", "audio"); empty
// when there is none.
std::string StreamLine(const std::string& output, const std::string& type)
{
    for (const std::string& line : Lines(output))
    {
        if (Contains(line, "codec_type=" + type))
            return line + "|";
    }
    return {};
}

// What ffmpeg's framecrc output says of one stream: the times of its
// frames in the source's time base (milliseconds for RTMP).
struct DecodedStream
{
    std::vector<int64_t> pts;
};

// The decoded frames of the video and audio streams in ffmpeg's framecrc
// output ("stream, dts, pts, duration, size, hash" after "#" headers).
void ParseFrameCrc(const std::string& text, DecodedStream& video, DecodedStream& audio)
{
    int nVideo = -1;
    int nAudio = -1;
    for (const std::string& line : Lines(text))
    {
        int nStream = 0;
        char szType[16] = {};
        long long llDts = 0;
        long long llPts = 0;
        if (std::sscanf(line.c_str(), "#media_type %d: %15s", &nStream, szType) == 2)
        {
            (std::string(szType) == "video" ? nVideo : nAudio) = nStream;
            continue;
        }
        if (line.empty() || line[0] == '#' || std::sscanf(line.c_str(), "%d, %lld, %lld", &nStream, &llDts, &llPts) != 3)
            continue;
        if (nStream == nVideo)
            video.pts.push_back(llPts);
        else if (nStream == nAudio)
            audio.pts.push_back(llPts);
    }
}

// Decodes every frame of the stream at the URL with its own times, and
// complains (on the errors) about anything at all.
std::string PlayerCommand(const std::string& url, const std::string& output)
{
    return "ffmpeg -nostdin -v warning -i '" + url + "' -fps_mode passthrough -enc_time_base -1 -f framecrc '" +
           output + "'";
}

// The same player, which also writes the sound it decoded as 16-bit PCM.
std::string ListeningPlayerCommand(const std::string& url, const std::string& output, const std::string& sound)
{
    return PlayerCommand(url, output) + " -map 0:a -f s16le -acodec pcm_s16le '" + sound + "'";
}

// What a player heard of one channel of 48 kHz stereo PCM.
struct Heard
{
    double dRms = 0.0;   // over the whole of it
    double dHz = 0.0;    // from the zero crossings between 1 s and 9 s
    size_t nOnset = 0;   // the first frame louder than -40 dBFS
    double dOnsetRms = 0.0; // over the 1024 frames from there
};

Heard Listen(const std::string& pcm, int nChannel)
{
    const size_t cFrames = pcm.size() / 4;
    const auto sample = [&](size_t i) {
        int16_t n = 0;
        std::memcpy(&n, pcm.data() + i * 4 + nChannel * 2, 2);
        return static_cast<double>(n);
    };
    Heard heard;
    heard.nOnset = cFrames;
    double dSum = 0.0;
    size_t nFirstCrossing = 0, nLastCrossing = 0, cCrossings = 0;
    for (size_t i = 0; i < cFrames; ++i)
    {
        dSum += sample(i) * sample(i);
        if (heard.nOnset == cFrames && std::fabs(sample(i)) > 327.0)
            heard.nOnset = i;
        // The frequency from the eight seconds in the middle, away from the priming and the end.
        if (i > 48000 && i < 9 * 48000 && sample(i - 1) < 0 && sample(i) >= 0)
        {
            nFirstCrossing = cCrossings == 0 ? i : nFirstCrossing;
            nLastCrossing = i;
            ++cCrossings;
        }
    }
    heard.dRms = cFrames > 0 ? std::sqrt(dSum / cFrames) : 0.0;
    if (cCrossings > 1)
        heard.dHz = (cCrossings - 1) * 48000.0 / static_cast<double>(nLastCrossing - nFirstCrossing);
    double dOnset = 0.0;
    const size_t nEnd = std::min(cFrames, heard.nOnset + 1024);
    for (size_t i = heard.nOnset; i < nEnd; ++i)
        dOnset += sample(i) * sample(i);
    heard.dOnsetRms = nEnd > heard.nOnset ? std::sqrt(dOnset / static_cast<double>(nEnd - heard.nOnset)) : 0.0;
    return heard;
}

double DecibelsOf(double dRatio)
{
    return 20.0 * std::log10(dRatio);
}

// One tag of an FLV file: its type (8 audio, 9 video, 18 data) and time.
struct FlvTag
{
    int nType;
    uint32_t ms;
    uint8_t bFirst; // the body's first byte: 0x17 for a video key frame
};

// The tags of an FLV file: a 9-byte header (and its own length), then each
// tag with an 11-byte header and the size of the tag after it. False for
// anything else, a file cut short included.
bool ReadFlvTags(const std::string& flv, std::vector<FlvTag>& tags)
{
    const auto* pb = reinterpret_cast<const uint8_t*>(flv.data());
    auto be = [&](size_t at, int cb) {
        uint32_t v = 0;
        for (int i = 0; i < cb; ++i)
            v = (v << 8) | pb[at + i];
        return v;
    };
    if (flv.size() < 13 || flv.compare(0, 3, "FLV") != 0)
        return false;
    size_t at = be(5, 4) + 4;
    while (at < flv.size())
    {
        if (flv.size() - at < 11)
            return false;
        const uint32_t cbData = be(at + 1, 3);
        if (flv.size() - at - 11 < static_cast<size_t>(cbData) + 4 || cbData == 0)
            return false;
        tags.push_back({pb[at] & 0x1F, be(at + 4, 3) | (static_cast<uint32_t>(pb[at + 7]) << 24), pb[at + 11]});
        at += 11 + cbData + 4;
    }
    return true;
}

std::string ProbeCommand(const std::string& target)
{
    return "ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate,"
           "channels -of compact=p=0 '" + target + "'";
}

class RtmpServingTest : public StreamingTest
{
protected:
    RtmpServingTest() : m_port(TestPort()), m_folder(MakeTempFolder(L"rtmp"))
    {
        EXPECT_TRUE(m_settings.SetDword(L"Port", m_port));
    }
    ~RtmpServingTest() override
    {
        // What the clients wrote stays for a look when a test failed.
        if (!HasFailure())
            RemoveTempFolder(m_folder);
    }

    std::string Url(const std::string& app = "live", const std::string& stream = "skerry") const
    {
        return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/" + app + "/" + stream;
    }

    std::unique_ptr<CNativeJob> StartClient(const std::string& name, const std::string& command)
    {
        auto spJob = std::make_unique<CNativeJob>(m_folder, name, command);
        EXPECT_TRUE(spJob->Started()) << name;
        return spJob;
    }

    VelkClientStatistics ClientStatistics()
    {
        VelkClientStatistics stats = {};
        EXPECT_EQ(S_OK, OnGraph([&](IGraphBuilder* pGraph) {
                      auto spStats = FilterInterface<IVelkRtmpServerClientStatistics>(
                          pGraph, VELK_NAME_RTMP_SERVER, IID_IVelkRtmpServerClientStatistics);
                      return spStats ? spStats->GetClientStatistics(&stats) : E_NOINTERFACE;
                  }));
        return stats;
    }

    // Every picture of the 10 s stream at its time, 40 ms apart, and the
    // sound to its end.
    void ExpectWholeStream(const std::wstring& crcPath)
    {
        DecodedStream video;
        DecodedStream audio;
        ParseFrameCrc(ReadWholeFile(crcPath), video, audio);
        ASSERT_EQ(250u, video.pts.size());
        for (size_t i = 0; i < video.pts.size(); ++i)
            ASSERT_EQ(static_cast<int64_t>(i) * 40, video.pts[i]) << "picture " << i;
        // 10 s in access units of 1024 samples at 48 kHz: the last one
        // padded, and one more that brings out the last samples.
        EXPECT_EQ(470u, audio.pts.size());
        ASSERT_FALSE(audio.pts.empty());
        EXPECT_EQ(0, audio.pts.front());
        EXPECT_TRUE(std::is_sorted(audio.pts.begin(), audio.pts.end()));
    }

    bool WaitForServedClients(LONG cServed, DWORD dwTimeoutMs)
    {
        return WaitUntil([&] { return ClientStatistics().cClientsServed >= cServed; }, dwTimeoutMs);
    }

    CWinsockUser m_winsock;
    CServerSettings m_settings;
    const uint16_t m_port;
    const std::wstring m_folder;
};

} // namespace

TEST_F(RtmpServingTest, ProbeSeesH264AndAacWhilePlaying)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(300, 3000));

    auto spProbe = StartClient("probe", ProbeCommand(Url()));
    ASSERT_TRUE(spProbe->Wait(9000)) << "ffprobe did not end";
    EXPECT_EQ(0, spProbe->ExitCode());
    EXPECT_EQ("", spProbe->Errors());
    const std::string output = spProbe->Output();
    const std::string video = StreamLine(output, "video");
    const std::string audio = StreamLine(output, "audio");
    for (const char* pszField : {"codec_name=h264|", "width=640|", "height=360|", "r_frame_rate=25/1|"})
        EXPECT_TRUE(Contains(video, pszField)) << pszField << " in " << output;
    for (const char* pszField : {"codec_name=aac|", "sample_rate=48000|", "channels=2|"})
        EXPECT_TRUE(Contains(audio, pszField)) << pszField << " in " << output;
    EXPECT_GE(ClientStatistics().cClientsServed, 1);
    EXPECT_GT(ClientStatistics().cbSent, 0);
}

// It hears the generator's tone: 1 kHz at its level (a sine of 8192 in
// 16 bits) on both channels, after the encoder's priming of 1024 samples.
TEST_F(RtmpServingTest, PlayerConnectedWhilePausedDecodesTheWholeStream)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PAUSE));
    auto spPlayer = StartClient("player", ListeningPlayerCommand(Url(), "player.crc", "player.pcm"));
    ASSERT_TRUE(WaitForServedClients(1, 8000)) << spPlayer->Errors();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ExpectTheEnd(15000);
    ASSERT_TRUE(spPlayer->Wait(3000)) << "ffmpeg goes on after the end";
    EXPECT_EQ(0, spPlayer->ExitCode());
    EXPECT_EQ("", spPlayer->Errors());
    ExpectWholeStream(spPlayer->PathOf("player.crc"));

    const std::string pcm = ReadWholeFile(spPlayer->PathOf("player.pcm"));
    EXPECT_EQ(470u * 1024 * 4, pcm.size()) << "every access unit decoded";
    const double dToneRms = 8192.0 / std::sqrt(2.0);
    for (int nChannel : {0, 1})
    {
        SCOPED_TRACE(nChannel == 0 ? "left" : "right");
        const Heard heard = Listen(pcm, nChannel);
        std::printf("channel %d: %.2f Hz, level %+.2f dB against the source's (%.2f dB from its onset at "
                    "sample %zu)\n",
                    nChannel, heard.dHz, DecibelsOf(heard.dRms / dToneRms), DecibelsOf(heard.dOnsetRms / dToneRms),
                    heard.nOnset);
        EXPECT_NEAR(1000.0, heard.dHz, 2.0);
        // The whole 10 s of tone, within the 2 units of priming and end.
        EXPECT_NEAR(0.0, DecibelsOf(heard.dRms / dToneRms * std::sqrt(470.0 * 1024 / 480000)), 0.5);
        // The tone starts at a zero crossing: its first loud sample is the next.
        EXPECT_NEAR(1025.0, static_cast<double>(heard.nOnset), 1.0)
            << "the priming, then the tone from the stream's first sample";
        EXPECT_NEAR(0.0, DecibelsOf(heard.dOnsetRms / dToneRms), 0.5) << "the tone at its level at once";
    }
}

// A player that joins while the stream plays starts at a key frame, and the
// sound it gets from there is the tone from its first access unit on: the
// first one decodes without the unit before it to overlap with, so it
// fades in; from the second on the tone is at its level.
TEST_F(RtmpServingTest, PlayerJoiningWhilePlayingHearsTheToneFromItsFirstAccessUnit)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(2500, 5000));
    auto spPlayer = StartClient("late", ListeningPlayerCommand(Url(), "late.crc", "late.pcm"));
    ExpectTheEnd(15000);
    ASSERT_TRUE(spPlayer->Wait(3000)) << "ffmpeg goes on after the end";
    EXPECT_EQ(0, spPlayer->ExitCode());
    EXPECT_EQ("", spPlayer->Errors());

    const std::string pcm = ReadWholeFile(spPlayer->PathOf("late.pcm"));
    ASSERT_GE(pcm.size(), 3u * 1024 * 4) << "a few access units at least";
    const double dToneRms = 8192.0 / std::sqrt(2.0);
    for (int nChannel : {0, 1})
    {
        SCOPED_TRACE(nChannel == 0 ? "left" : "right");
        const Heard first = Listen(pcm.substr(0, 1024 * 4), nChannel);
        const Heard second = Listen(pcm.substr(1024 * 4, 1024 * 4), nChannel);
        std::printf("channel %d: first unit %.2f dB, loud from sample %zu; second unit %+.2f dB\n", nChannel,
                    DecibelsOf(first.dRms / dToneRms), first.nOnset, DecibelsOf(second.dRms / dToneRms));
        EXPECT_LT(first.nOnset, 512u) << "the tone in the first access unit";
        EXPECT_GT(DecibelsOf(first.dRms / dToneRms), -10.0);
        EXPECT_NEAR(0.0, DecibelsOf(second.dRms / dToneRms), 0.5);
    }
}

// A graph of sound alone, or of pictures alone: the server describes and
// serves just that, and ffmpeg decodes it to the end: the tone, or every
// picture.
TEST_F(RtmpServingTest, AGraphOfOneKindIsServedAsItIs)
{
    for (bool bVideo : {false, true})
    {
        SCOPED_TRACE(bVideo ? "video only" : "audio only");
        const wchar_t* pszGraph =
            bVideo ? L"E:\\MXF-DATA\\fixtures\\video-only.grf" : L"E:\\MXF-DATA\\fixtures\\audio-only.grf";
        ::SetWindowTextW(host.Item(IDC_FILE), pszGraph);
        ASSERT_TRUE(host.Click(IDC_BUILD));
        ASSERT_EQ(nullptr, host.WaitForMessageBox(0)) << "a message box after Build graph";
        ASSERT_TRUE(host.Click(IDC_PAUSE));
        const std::string name = bVideo ? "pictures" : "sound";
        auto spPlayer = StartClient(name, bVideo ? PlayerCommand(Url(), name + ".crc")
                                                 : ListeningPlayerCommand(Url(), name + ".crc", name + ".pcm"));
        ASSERT_TRUE(WaitForServedClients(1, 8000)) << spPlayer->Errors(); // each graph has a server of its own
        ASSERT_TRUE(host.Click(IDC_PLAY));
        ExpectTheEnd(15000);
        ASSERT_TRUE(spPlayer->Wait(3000)) << "ffmpeg goes on after the end";
        EXPECT_EQ(0, spPlayer->ExitCode());
        EXPECT_EQ("", spPlayer->Errors());

        DecodedStream video;
        DecodedStream audio;
        ParseFrameCrc(ReadWholeFile(spPlayer->PathOf(name + ".crc")), video, audio);
        EXPECT_EQ(bVideo ? 250u : 0u, video.pts.size());
        EXPECT_EQ(bVideo ? 0u : 470u, audio.pts.size());
        if (!bVideo)
        {
            const Heard heard = Listen(ReadWholeFile(spPlayer->PathOf(name + ".pcm")), 0);
            EXPECT_NEAR(1000.0, heard.dHz, 2.0);
            EXPECT_NEAR(0.0, DecibelsOf(heard.dOnsetRms / (8192.0 / std::sqrt(2.0))), 0.5);
        }
        ASSERT_TRUE(host.Click(IDC_STOP));
    }
}

// rtmpdump records from the start; the FLV it writes reads in ffprobe, each
// stream's times never go back, also across a seek back while playing, and
// sound and pictures stay within 100 ms of each other.
TEST_F(RtmpServingTest, RecordingKeepsItsTimesInOrderAndInterleaved)
{
    const struct
    {
        const char* pszCase;
        int nSeekAtMs;     // < 0: no seek
        WORD wSeekTo;      // position bar: thousandths of the duration
        uint32_t msAtLeast; // the recording's last picture at least
    } kCases[] = {
        {"straight", -1, 0, 9900},
        {"seek back from 4 s to 1 s", 4000, 100, 12500},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszCase);
        BuildDefaultGraph();
        ASSERT_TRUE(host.Click(IDC_PAUSE));
        const std::string name = c.nSeekAtMs < 0 ? "straight" : "seek";
        auto spDump = StartClient(name, "rtmpdump -q -v -r '" + Url() + "' -o " + name + ".flv");
        ASSERT_TRUE(WaitForServedClients(1, 8000)) << spDump->Errors();
        ASSERT_TRUE(host.Click(IDC_PLAY));
        if (c.nSeekAtMs >= 0)
        {
            ASSERT_TRUE(WaitForPosition(c.nSeekAtMs, 8000));
            Scroll(IDC_POSITION, SB_THUMBPOSITION, c.wSeekTo);
        }
        ExpectTheEnd(20000);
        ASSERT_TRUE(spDump->Wait(3000)) << "rtmpdump goes on after the end";
        EXPECT_EQ(0, spDump->ExitCode()) << spDump->Errors();

        std::vector<FlvTag> tags;
        ASSERT_TRUE(ReadFlvTags(ReadWholeFile(spDump->PathOf(name + ".flv")), tags));
        uint32_t msLast[2] = {0, 0}; // audio, video
        bool bSeen[2] = {false, false};
        size_t cVideo = 0;
        for (const FlvTag& tag : tags)
        {
            if (tag.nType != 8 && tag.nType != 9)
                continue;
            const int n = tag.nType == 9 ? 1 : 0;
            cVideo += n;
            ASSERT_GE(tag.ms, msLast[n]) << "tag " << (&tag - tags.data());
            if (bSeen[1 - n])
            {
                ASSERT_LE(tag.ms - std::min(tag.ms, msLast[1 - n]), 100u) << "tag " << (&tag - tags.data());
            }
            msLast[n] = tag.ms;
            bSeen[n] = true;
        }
        EXPECT_GE(msLast[1], c.msAtLeast);
        EXPECT_GE(cVideo, 250u);

        auto spProbe = StartClient(name + "-probe", ProbeCommand(name + ".flv"));
        ASSERT_TRUE(spProbe->Wait(5000));
        EXPECT_EQ(0, spProbe->ExitCode());
        EXPECT_EQ("", spProbe->Errors());
        EXPECT_TRUE(Contains(StreamLine(spProbe->Output(), "video"), "codec_name=h264|"));
        EXPECT_TRUE(Contains(StreamLine(spProbe->Output(), "audio"), "codec_name=aac|"));
    }
}

// Eight players connected before Play all decode the whole stream in real
// time while others send garbage, cut their handshake short or vanish
// mid-stream; a player that comes after them is served as well.
TEST_F(RtmpServingTest, EightPlayersGetEverythingWhileOthersMisbehave)
{
    constexpr int kPlayers = 8;
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PAUSE));
    std::vector<std::unique_ptr<CNativeJob>> players;
    for (int i = 0; i < kPlayers; ++i)
    {
        const std::string name = "player" + std::to_string(i);
        players.push_back(StartClient(name, PlayerCommand(Url(), name + ".crc")));
    }
    ASSERT_TRUE(WaitForServedClients(kPlayers, 15000));

    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(500, 3000));
    const DWORD dwStart = ::GetTickCount();
    const int nStartMs = PositionMs();

    {
        SCOPED_TRACE("garbage");
        CRawSocket garbage;
        ASSERT_TRUE(garbage.Connect(m_port));
        EXPECT_TRUE(garbage.Send(std::vector<uint8_t>(4000, 0xEE)));
        EXPECT_TRUE(garbage.WaitForClose(2000)) << "the server ends the connection";
    }
    {
        SCOPED_TRACE("a handshake cut short");
        CRawSocket cut;
        ASSERT_TRUE(cut.Connect(m_port));
        std::vector<uint8_t> c0c1(1 + 700, 0x5A);
        c0c1[0] = 3;
        EXPECT_TRUE(cut.Send(c0c1));
    }
    {
        SCOPED_TRACE("a player that vanishes");
        auto spVanishing = StartClient("vanishing", PlayerCommand(Url(), "vanishing.crc"));
        ASSERT_TRUE(WaitForServedClients(kPlayers + 1, 5000));
        ::Sleep(500);
        EXPECT_TRUE(spVanishing->Signal("KILL"));
    }
    {
        SCOPED_TRACE("the next player");
        auto spProbe = StartClient("probe", ProbeCommand(Url()));
        ASSERT_TRUE(spProbe->Wait(9000));
        EXPECT_EQ(0, spProbe->ExitCode()) << spProbe->Errors();
        EXPECT_TRUE(Contains(StreamLine(spProbe->Output(), "video"), "codec_name=h264|"));
    }
    const Progress progress = ReadProgress();
    const int nWallMs = static_cast<int>(::GetTickCount() - dwStart);
    EXPECT_NEAR(nWallMs, progress.nPositionMs - nStartMs, 250) << "the console's progress follows the clock";

    ExpectTheEnd(15000);
    const VelkClientStatistics stats = ClientStatistics();
    EXPECT_EQ(kPlayers + 2, stats.cClientsServed);
    EXPECT_EQ(0, stats.cFramesDropped);
    for (int i = 0; i < kPlayers; ++i)
    {
        SCOPED_TRACE("player " + std::to_string(i));
        ASSERT_TRUE(players[i]->Wait(5000));
        EXPECT_EQ(0, players[i]->ExitCode());
        EXPECT_EQ("", players[i]->Errors());
        ExpectWholeStream(players[i]->PathOf("player" + std::to_string(i) + ".crc"));
    }
}


// A player that stops reading slows nobody: the console's progress and
// another player go on in real time while the server drops the stalled
// player's frames, and once it reads again it goes on from a key frame.
// The test pattern compresses well, so the stream plays on (seeking back
// from 9 s to 1 s) until more than the sockets and the server hold for it.
TEST_F(RtmpServingTest, StalledPlayerLosesFramesUpToAKeyFrameAndNobodyWaits)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PAUSE));
    auto spStalled = StartClient("stalled", "rtmpdump -q -v -r '" + Url() + "' -o stalled.flv");
    auto spPlayer = StartClient("player", PlayerCommand(Url(), "player.crc"));
    ASSERT_TRUE(WaitForServedClients(2, 8000));
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(300, 3000));
    ASSERT_TRUE(spStalled->Signal("STOP"));
    const DWORD dwStart = ::GetTickCount();
    int nPlayedMs = -PositionMs(); // stream time played since, seeks left out
    for (int nRound = 0; ClientStatistics().cFramesDropped == 0; ++nRound)
    {
        ASSERT_LT(nRound, 6) << "nothing was dropped for the stalled player";
        ASSERT_TRUE(WaitForPosition(9000, 10000));
        nPlayedMs += PositionMs();
        Scroll(IDC_POSITION, SB_THUMBPOSITION, 100);
        ASSERT_TRUE(WaitUntil([&] { return PositionMs() < 5000; }, 2000));
        nPlayedMs -= PositionMs();
    }
    nPlayedMs += PositionMs();
    EXPECT_NEAR(static_cast<int>(::GetTickCount() - dwStart), nPlayedMs, 300) << "the stream keeps its pace";
    ASSERT_TRUE(spStalled->Signal("CONT"));
    ExpectTheEnd(12000);

    ASSERT_TRUE(spPlayer->Wait(3000));
    EXPECT_EQ(0, spPlayer->ExitCode());
    EXPECT_EQ("", spPlayer->Errors());
    DecodedStream video;
    DecodedStream audio;
    ParseFrameCrc(ReadWholeFile(spPlayer->PathOf("player.crc")), video, audio);
    EXPECT_GE(video.pts.size() * 40, static_cast<size_t>(nPlayedMs)) << "the other player got every picture";

    ASSERT_TRUE(spStalled->Wait(3000));
    std::vector<FlvTag> tags;
    ASSERT_TRUE(ReadFlvTags(ReadWholeFile(spStalled->PathOf("stalled.flv")), tags));
    int cGaps = 0;
    uint32_t msVideo = 0;
    for (const FlvTag& tag : tags)
    {
        if (tag.nType != 9)
            continue;
        if (msVideo != 0 && tag.ms > msVideo + 100)
        {
            ++cGaps;
            EXPECT_EQ(0x17, tag.bFirst) << "the stalled player goes on with a key frame at " << tag.ms << " ms";
        }
        msVideo = tag.ms;
    }
    EXPECT_GE(cGaps, 1) << "the stalled player lost frames";
    auto spDecode = StartClient("decode", PlayerCommand("stalled.flv", "stalled.crc"));
    ASSERT_TRUE(spDecode->Wait(10000));
    EXPECT_EQ(0, spDecode->ExitCode());
    EXPECT_EQ("", spDecode->Errors()) << "what the stalled player got decodes cleanly";
}

// A port another program holds makes Play fail with the console's box and
// leaves the server stopped; once the port is free the graph stops and
// plays, and a Stop with players connected frees it for the next Play at
// once.
TEST_F(RtmpServingTest, PlayFailsWhileThePortIsTakenAndWorksOnceItIsFree)
{
    BuildDefaultGraph();
    {
        CRawSocket squatter;
        ASSERT_TRUE(squatter.Listen(m_port));
        const MessageBoxView box = host.ClickForMessageBox(IDC_PLAY);
        ASSERT_NE(nullptr, box.hWnd);
        EXPECT_EQ(0u, box.text.rfind(L"Can't play file\n", 0)) << box.text;
        EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(HRESULT_FROM_WIN32(WSAEADDRINUSE)))) << box.text;
        EXPECT_TRUE(box.bIcon);
    }
    ASSERT_TRUE(host.Click(IDC_STOP));
    EXPECT_TRUE(diag.Reports().empty()) << "the Stop succeeds";
    for (int nRun = 0; nRun < 2; ++nRun)
    {
        SCOPED_TRACE(nRun == 0 ? "after the failure" : "after a Stop with a player connected");
        ASSERT_TRUE(host.Click(IDC_PLAY));
        EXPECT_TRUE(WaitForPosition(nRun * 1000 + 300, 3000));
        auto spProbe = StartClient("probe" + std::to_string(nRun), ProbeCommand(Url()));
        ASSERT_TRUE(spProbe->Wait(9000));
        EXPECT_EQ(0, spProbe->ExitCode()) << spProbe->Errors();
        auto spPlayer = StartClient("player" + std::to_string(nRun), "ffmpeg -nostdin -v error -i '" + Url() + "' -f null -");
        ASSERT_TRUE(WaitForServedClients(2, 5000));
        ASSERT_TRUE(host.Click(IDC_STOP));
        ASSERT_TRUE(spPlayer->Wait(3000)) << "Stop ends the players' streams";
        EXPECT_EQ(0, spPlayer->ExitCode()) << spPlayer->Errors();
        EXPECT_EQ(0, ClientStatistics().cClients);
    }
}

// Sixteen connections at once; the seventeenth is closed at once, a
// connection without a handshake goes after 5 s, and one that shook hands
// but never plays after 30 s.
TEST_F(RtmpServingTest, ConnectionsBeyondTheLimitAndIdleOnesAreClosed)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PAUSE)); // listening from Pause on
    std::vector<std::unique_ptr<CRawSocket>> idle;
    for (int i = 0; i < 16; ++i)
    {
        idle.push_back(std::make_unique<CRawSocket>());
        ASSERT_TRUE(idle.back()->Connect(m_port)) << i;
    }
    const DWORD dwConnected = ::GetTickCount();
    // The last one sends C0 and C1, and C2 once the server has answered.
    std::vector<uint8_t> c0c1(1 + 1536, 0);
    c0c1[0] = 3;
    ASSERT_TRUE(idle.back()->Send(c0c1));
    ASSERT_TRUE(idle.back()->Receive(1 + 2 * 1536));
    ASSERT_TRUE(idle.back()->Send(std::vector<uint8_t>(1536, 0)));
    ASSERT_TRUE(WaitUntil([&] { return ClientStatistics().cClients == 16; }, 2000)) << ClientStatistics().cClients;
    CRawSocket extra;
    ASSERT_TRUE(extra.Connect(m_port));
    EXPECT_TRUE(extra.WaitForClose(1000)) << "the seventeenth is closed at once";
    EXPECT_EQ(16, ClientStatistics().cClients);

    for (int i = 0; i < 15; ++i)
        EXPECT_TRUE(idle[i]->WaitForClose(7000)) << i;
    EXPECT_GE(::GetTickCount() - dwConnected, 4500u) << "not before the handshake's time is up";
    EXPECT_TRUE(WaitUntil([&] { return ClientStatistics().cClients == 1; }, 1000)) << "the one that shook hands stays";
    EXPECT_TRUE(idle.back()->WaitForClose(26000));
    EXPECT_GE(::GetTickCount() - dwConnected, 29500u) << "not before the time to play is up";
    EXPECT_TRUE(WaitUntil([&] { return ClientStatistics().cClients == 0; }, 1000));
    EXPECT_EQ(0, ClientStatistics().cClientsServed);
}

// Another address, port, application and stream name take effect; values
// that cannot be used leave the defaults (the port stays the test's own).
TEST_F(RtmpServingTest, RegistrySettingsTakeEffectAndBadOnesFallBack)
{
    struct Setting
    {
        LPCWSTR pszName;
        DWORD dwType;
        std::wstring text;
        DWORD dw;
    };
    const std::wstring tooLong(300, L'a');
    const struct
    {
        const char* pszCase;
        std::vector<Setting> settings;
        std::string host, app, stream;
    } kCases[] = {
        {"their own",
         {{L"Address", REG_SZ, L"127.0.0.2", 0}, {L"Application", REG_SZ, L"studio", 0}, {L"Stream", REG_SZ, L"cam1", 0}},
         "127.0.0.2", "studio", "cam1"},
        {"unusable",
         {{L"Address", REG_SZ, L"not an address", 0},
          {L"Application", REG_DWORD, L"", 7},
          {L"Stream", REG_SZ, tooLong, 0}},
         "127.0.0.1", "live", "skerry"},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszCase);
        for (const Setting& setting : c.settings)
        {
            ASSERT_TRUE(setting.dwType == REG_SZ ? m_settings.SetText(setting.pszName, setting.text)
                                                 : m_settings.SetDword(setting.pszName, setting.dw));
        }
        BuildDefaultGraph();
        ASSERT_TRUE(host.Click(IDC_PLAY));
        ASSERT_TRUE(WaitForPosition(300, 3000));
        const std::string url = "rtmp://" + c.host + ":" + std::to_string(m_port) + "/" + c.app + "/" + c.stream;
        auto spProbe = StartClient(std::string(c.pszCase) == "unusable" ? "probe-bad" : "probe-own", ProbeCommand(url));
        ASSERT_TRUE(spProbe->Wait(9000));
        EXPECT_EQ(0, spProbe->ExitCode()) << url << ": " << spProbe->Errors();
        EXPECT_TRUE(Contains(StreamLine(spProbe->Output(), "video"), "codec_name=h264|"));
        ASSERT_TRUE(host.Click(IDC_STOP));
    }
}

// Each value alone, as the reader takes it: good ones, and hostile ones that
// leave the default (another type, too long, out of range, not a numeric
// address, not a printable name).
TEST(RtmpSettingsTest, EachValueIsTakenOrLeavesItsDefault)
{
    struct Bytes
    {
        std::vector<BYTE> bytes;
        static Bytes Text(const std::wstring& text, bool bTerminated = true)
        {
            const auto* pb = reinterpret_cast<const BYTE*>(text.c_str());
            return {std::vector<BYTE>(pb, pb + (text.size() + (bTerminated ? 1 : 0)) * sizeof(wchar_t))};
        }
        static Bytes Dword(DWORD dw)
        {
            const auto* pb = reinterpret_cast<const BYTE*>(&dw);
            return {std::vector<BYTE>(pb, pb + sizeof(dw))};
        }
    };
    const struct
    {
        const char* pszCase;
        LPCWSTR pszName;
        DWORD dwType;
        Bytes value;
        std::wstring address;
        uint16_t port;
        std::string app, stream;
    } kCases[] = {
        {"a port", L"Port", REG_DWORD, Bytes::Dword(1936), L"127.0.0.1", 1936, "live", "skerry"},
        {"the highest port", L"Port", REG_DWORD, Bytes::Dword(65535), L"127.0.0.1", 65535, "live", "skerry"},
        {"port 0", L"Port", REG_DWORD, Bytes::Dword(0), L"127.0.0.1", 1935, "live", "skerry"},
        {"port 65536", L"Port", REG_DWORD, Bytes::Dword(65536), L"127.0.0.1", 1935, "live", "skerry"},
        {"a port as text", L"Port", REG_SZ, Bytes::Text(L"1936"), L"127.0.0.1", 1935, "live", "skerry"},
        {"a port of two bytes", L"Port", REG_BINARY, {{0x90, 0x07}}, L"127.0.0.1", 1935, "live", "skerry"},
        {"an IPv6 address", L"Address", REG_SZ, Bytes::Text(L"::1"), L"::1", 1935, "live", "skerry"},
        {"any address", L"Address", REG_SZ, Bytes::Text(L"0.0.0.0"), L"0.0.0.0", 1935, "live", "skerry"},
        {"a host name", L"Address", REG_SZ, Bytes::Text(L"localhost"), L"127.0.0.1", 1935, "live", "skerry"},
        {"no address", L"Address", REG_SZ, Bytes::Text(L"256.1.1.1"), L"127.0.0.1", 1935, "live", "skerry"},
        {"an address as a number", L"Address", REG_DWORD, Bytes::Dword(0x7F000001), L"127.0.0.1", 1935, "live",
         "skerry"},
        {"an address without its terminator", L"Address", REG_SZ, Bytes::Text(L"127.0.0.3", false), L"127.0.0.3",
         1935, "live", "skerry"},
        {"256 characters without a terminator", L"Address", REG_SZ, Bytes::Text(std::wstring(256, L'1'), false),
         L"127.0.0.1", 1935, "live", "skerry"},
        {"an application", L"Application", REG_SZ, Bytes::Text(L"st\u00fcdio"), L"127.0.0.1", 1935,
         "st\xc3\xbc" "dio", "skerry"},
        {"an empty application", L"Application", REG_SZ, Bytes::Text(L""), L"127.0.0.1", 1935, "live", "skerry"},
        {"a tab in the application", L"Application", REG_SZ, Bytes::Text(L"a\tb"), L"127.0.0.1", 1935, "live",
         "skerry"},
        {"a stream", L"Stream", REG_SZ, Bytes::Text(L"cam 2"), L"127.0.0.1", 1935, "live", "cam 2"},
        {"a stream of 257 characters", L"Stream", REG_SZ, Bytes::Text(std::wstring(257, L's')), L"127.0.0.1", 1935,
         "live", "skerry"},
        {"streams as a list", L"Stream", REG_MULTI_SZ, Bytes::Text(std::wstring(L"a\0b\0", 4)), L"127.0.0.1", 1935,
         "live", "skerry"},
    };
    const std::wstring keyName = L"Software\\Velk\\Skerry settings test " + std::to_wstring(::GetCurrentProcessId());
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszCase);
        HKEY hKey = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &hKey, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(hKey, c.pszName, 0, c.dwType, c.value.bytes.data(),
                                                  static_cast<DWORD>(c.value.bytes.size())));
        const RtmpServerSettings settings = ReadRtmpServerSettings(hKey);
        ::RegCloseKey(hKey);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, keyName.c_str());
        EXPECT_EQ(c.address, settings.address);
        EXPECT_EQ(c.port, settings.port);
        EXPECT_EQ(c.app, settings.app);
        EXPECT_EQ(c.stream, settings.stream);
    }
}
