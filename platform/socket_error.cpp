#include "platform/socket_error.h"

#include <cerrno>

namespace kv::platform {
namespace {
thread_local int t_last_socket_error = 0;
}

int wsa_from_errno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return kWsaInterrupted;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return kWsaTooManyFiles;
        case EAGAIN: return kWsaTimedOut;  // a timed-out blocking call
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return kWsaAddressInUse;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return kWsaNetUnreachable;
        case ENETRESET: return 10052;
        case ECONNABORTED: return kWsaConnAborted;
        case ECONNRESET:
        case EPIPE: return kWsaConnReset;
        case ENOBUFS:
        case ENOMEM: return kWsaNoBuffers;
        case EISCONN: return 10056;
        case ENOTCONN: return kWsaNotConnected;
        case ESHUTDOWN: return kWsaShutdown;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return kWsaTimedOut;
        case ECONNREFUSED: return kWsaConnRefused;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return kWsaHostUnreachable;
        default: return err;
    }
}

int last_socket_error() { return t_last_socket_error; }
void set_last_socket_error(int code) { t_last_socket_error = code; }

int capture_socket_error() {
    int code = wsa_from_errno(errno);
    t_last_socket_error = code;
    return code;
}

}  // namespace kv::platform
