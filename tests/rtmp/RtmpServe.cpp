// A tiny RTMP server for checking the core against players nobody here
// wrote (ffprobe, ffmpeg, rtmpdump): POSIX sockets around rtmp::Session,
// serving a short synthetic stream from its start to every connection, one
// connection after another, until it is killed.
//
//   rtmp_serve <port file> [seconds [record file]]
//
// The stream: 320x180 H.264 at 25 frames a second from the repository's
// encoder (a moving gradient), and a 440 Hz tone in mono AAC-LC at 48 kHz
// from the repository's AAC encoder, for the
// given length (default 2 s), then the end of the stream. The listening
// port (on 127.0.0.1, picked by the system) goes to the port file. With a
// record file, what each client sent is written there (the fuzzer's seeds
// of fuzz/seeds-rtmp are such recordings).
#include "AacEncoder.h"
#include "Flv.h"
#include "H264Encoder.h"
#include "Session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace
{

constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr int kFps = 25;
constexpr int kSampleRate = 48000;

// The access units of a tone of the given length.
bool EncodeTone(int seconds, std::vector<aac::AccessUnit>& units)
{
    aac::EncoderSettings settings;
    settings.nSampleRate = kSampleRate;
    settings.nChannels = 1;
    std::unique_ptr<aac::Encoder> encoder;
    if (aac::Encoder::Create(settings, encoder) != aac::Status::Ok)
        return false;
    std::vector<int16_t> samples(size_t(seconds) * kSampleRate);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(std::lround(8000.0 * std::sin(2 * 3.14159265358979 * 440.0 * double(i) / kSampleRate)));
    encoder->Encode(samples.data(), samples.size(), units);
    encoder->Finish(units);
    return true;
}

struct Stream
{
    rtmp::StreamHeaders headers;
    std::vector<rtmp::MediaFrame> frames;   // in timestamp order
};

bool MakeStream(int seconds, Stream& stream)
{
    h264::EncoderSettings settings;
    settings.nWidth = kWidth;
    settings.nHeight = kHeight;
    settings.nFramesPerSecond = kFps;
    std::unique_ptr<h264::Encoder> encoder;
    if (h264::Encoder::Create(settings, encoder) != h264::Status::Ok)
        return false;
    std::vector<rtmp::MediaFrame> video, audio;
    std::vector<uint8_t> pixels(kWidth * kHeight * 4);
    for (int n = 0; n < seconds * kFps; ++n)
    {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
            {
                uint8_t* p = &pixels[(y * kWidth + x) * 4];
                p[0] = uint8_t(x + 4 * n);
                p[1] = uint8_t(y * 2);
                p[2] = uint8_t(x ^ y);
            }
        const h264::BgrxImage image = {pixels.data(), pixels.size(), kWidth * 4, false};
        h264::EncodedFrame frame;
        if (encoder->Encode(image, false, frame) != h264::Status::Ok)
            return false;
        auto body = std::make_shared<rtmp::Bytes>();
        if (!rtmp::AvcVideoBody(frame.bytes.data(), frame.bytes.size(), frame.bKeyFrame, *body))
            return false;
        video.push_back({rtmp::MediaKind::Video, uint32_t(n * 1000 / kFps), frame.bKeyFrame, body});
    }
    stream.headers.avcSequenceHeader =
        rtmp::AvcSequenceHeader(encoder->SequenceParameterSet(), encoder->PictureParameterSet());
    // AudioSpecificConfig: AAC-LC (2), 48 kHz (index 3), one channel.
    const uint8_t asc[] = {0x11, 0x88};
    stream.headers.aacSequenceHeader = rtmp::AacSequenceHeader(asc, sizeof asc);
    stream.headers.info.width = kWidth;
    stream.headers.info.height = kHeight;
    stream.headers.info.audioChannels = 1;
    std::vector<aac::AccessUnit> units;
    if (!EncodeTone(seconds, units))
        return false;
    for (const aac::AccessUnit& unit : units)
    {
        auto body = std::make_shared<const rtmp::Bytes>(rtmp::AacAudioBody(unit.bytes.data(), unit.bytes.size()));
        audio.push_back({rtmp::MediaKind::Audio, uint32_t(unit.nFirstSample * 1000 / kSampleRate), false, body});
    }
    std::merge(video.begin(), video.end(), audio.begin(), audio.end(), std::back_inserter(stream.frames),
               [](const rtmp::MediaFrame& a, const rtmp::MediaFrame& b) { return a.ms < b.ms; });
    return true;
}

bool SendAll(int fd, const rtmp::Bytes& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size())
    {
        const ssize_t cb = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (cb <= 0)
            return false;
        sent += size_t(cb);
    }
    return true;
}

// One connection, from the handshake to the end of the stream or of the client.
void Serve(int fd, const Stream& stream, const char* recordPath)
{
    FILE* record = recordPath ? std::fopen(recordPath, "wb") : nullptr;
    rtmp::Session session{rtmp::ServerConfig()};
    session.SetStreamHeaders(stream.headers);
    size_t next = 0;
    for (;;)
    {
        pollfd poller = {fd, POLLIN, 0};
        if (poll(&poller, 1, 5) < 0)
            break;
        if (poller.revents & (POLLIN | POLLHUP | POLLERR))
        {
            uint8_t buffer[4096];
            const ssize_t cb = recv(fd, buffer, sizeof buffer, 0);
            if (cb <= 0)
                break;
            if (record)
                std::fwrite(buffer, 1, size_t(cb), record);
            if (!session.Receive(buffer, size_t(cb)))
                std::fprintf(stderr, "rtmp_serve: closing: %s\n", session.CloseReason().c_str());
        }
        if (session.IsPlaying())
        {
            // A few frames a turn: fast, but the player still reads while they come.
            for (int i = 0; i < 8 && next < stream.frames.size(); ++i)
                session.SendFrame(stream.frames[next++]);
            if (next == stream.frames.size())
                session.EndStream();
        }
        rtmp::Bytes out;
        session.TakeOutput(out);
        if (!SendAll(fd, out) || !session.CloseReason().empty())
            break;
        if (session.HasStreamEnded())
        {
            // Give the player a moment to read the end before the socket goes.
            shutdown(fd, SHUT_WR);
            usleep(200000);
            break;
        }
    }
    std::fprintf(stderr, "rtmp_serve: connection done, %llu bytes out, %llu frames dropped\n",
                 static_cast<unsigned long long>(session.Stats().bytesOut),
                 static_cast<unsigned long long>(session.Stats().framesDropped));
    if (record)
        std::fclose(record);
    close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: rtmp_serve <port file> [seconds]\n");
        return 2;
    }
    Stream stream;
    if (!MakeStream(argc > 2 ? std::max(1, std::atoi(argv[2])) : 2, stream))
        return 1;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cbAddress = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &cbAddress) != 0)
        return 1;
    FILE* portFile = std::fopen(argv[1], "w");
    if (!portFile)
        return 1;
    std::fprintf(portFile, "%d\n", ntohs(address.sin_port));
    std::fclose(portFile);
    for (;;)
    {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd >= 0)
            Serve(fd, stream, argc > 3 ? argv[3] : nullptr);
    }
}
