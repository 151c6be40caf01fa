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

// Starts UDP mode's forwarding thread on f's two sockets and buffer (a
// datagram of 65,536 bytes), with f.server_addr set: each datagram from the
// server's address that reaches from_server goes on to the player through
// to_player. 1 when it runs; 0 with errno when the thread could not start.
// f.stop_forwarding(), or the end of f, stops it before the sockets close.
[[nodiscard]] int start_realaudio_forwarder(conn::RealAudioFields& f);

}  // namespace kv::gateways
