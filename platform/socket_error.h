#pragma once
// The system's socket error codes, as the logs, reason texts and pages show them
// (Windows Sockets numbers: 10054 reset, 10060 timed out, 10061 refused ...).

namespace kv::platform {

inline constexpr int kWsaInterrupted = 10004;
inline constexpr int kWsaTooManyFiles = 10024;
inline constexpr int kWsaWouldBlock = 10035;
inline constexpr int kWsaAddressInUse = 10048;
inline constexpr int kWsaNetUnreachable = 10051;
inline constexpr int kWsaConnAborted = 10053;
inline constexpr int kWsaConnReset = 10054;
inline constexpr int kWsaNoBuffers = 10055;
inline constexpr int kWsaNotConnected = 10057;
inline constexpr int kWsaShutdown = 10058;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnRefused = 10061;
inline constexpr int kWsaHostUnreachable = 10065;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// Maps an errno value to its socket error code; values without one pass unchanged.
int wsa_from_errno(int err);

// The calling thread's last socket error (set by the socket helpers and by
// set_last_socket_error). 0 when none.
int last_socket_error();
void set_last_socket_error(int code);
// Shorthand: set_last_socket_error(wsa_from_errno(errno)) and return the code.
int capture_socket_error();

}  // namespace kv::platform
