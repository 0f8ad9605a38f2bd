#include "Session.h"

namespace rtmp
{

class Session::Impl
{
public:
    std::string closeReason;
};

Session::Session(const ServerConfig&) : m_pImpl(new Impl) {}
Session::~Session() = default;
bool Session::Receive(const uint8_t*, size_t) { return false; }
void Session::TakeOutput(Bytes&) {}
size_t Session::PendingOutput() const { return 0; }
bool Session::IsPlaying() const { return false; }
bool Session::HasEnded() const { return false; }
const std::string& Session::CloseReason() const { return m_pImpl->closeReason; }
SessionStats Session::Stats() const { return {}; }
void Session::SetStreamHeaders(const StreamHeaders&) {}
void Session::SendFrame(const MediaFrame&) {}
void Session::EndStream() {}

} // namespace rtmp
