#pragma once
// Where a proxy connection stands. The numbers are kept: a faulting handler
// is reported with its point in the error log and in dump.bin.

namespace kv::proxy {

inline constexpr int kPointStart = 0;
inline constexpr int kPointReadingRequest = 1;
inline constexpr int kPointParsing = 2;
inline constexpr int kPointParsed = 3;
inline constexpr int kPointAuthenticated = 4;
inline constexpr int kPointCacheDecision = 5;
inline constexpr int kPointTargetChosen = 6;
inline constexpr int kPointResolving = 7;
inline constexpr int kPointConnecting = 8;
inline constexpr int kPointConnected = 9;
inline constexpr int kPointEngineStart = 10;  // FTP and Gopher
inline constexpr int kPointEngineDone = 11;
inline constexpr int kPointRelayOrClosing = 12;
inline constexpr int kPointRequestSent = 13;
inline constexpr int kPointReadingResponse = 14;
inline constexpr int kPointResponseHeaderRead = 15;
inline constexpr int kPointPassingBody = 16;
inline constexpr int kPointBodyComplete = 17;

}  // namespace kv::proxy
