// Windows keeps no link between messages (see peer_link.cpp), so there is
// nothing to watch.
#include "platform/platform.hpp"

namespace tarnvel::platform {

struct LinkWatch::Native {};

LinkWatch::LinkWatch(boost::asio::io_context&, OwnerGone) {}
LinkWatch::~LinkWatch() = default;

bool LinkWatch::watch(PeerLink&, uint32_t, bool) noexcept { return false; }
void LinkWatch::refresh() noexcept {}
void LinkWatch::stop() noexcept {}

}  // namespace tarnvel::platform
