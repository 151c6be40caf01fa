#pragma once
// The RealAudio gateway: a streaming-audio player holds the proxy dialogue
// with the gateway, which then connects to the server the player named and
// relays the TCP control connection; in UDP mode it also passes the server's
// datagrams on to the player's UDP port.
#include "conn/connection_record.h"

namespace kv::gateways {

// The connection handler of the "REALAUDIO GW" row. Runs the dialogue, the
// connection and the relays; closes every socket it made and the client's.
// 1 when the relay ran, 0 when the connection ended before it.
int handle_realaudio_gateway(conn::ConnectionRecord& r);

}  // namespace kv::gateways
