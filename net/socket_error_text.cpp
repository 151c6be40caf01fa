
namespace kv::net {
namespace {

struct SocketErrorRow {
    int code;
    const char* text;
};

// Looked up first match first; 10101 repeats the text of 10009 on purpose.
constexpr SocketErrorRow kSocketErrors[] = {
    {10004, "The (blocking) call was canceled using WSACancelBlockingCall"},
    {10009, "WSAEBADF"},
    {10013, "The requested address is a broadcast address, but the appropriate flag was not set"},
    {10101, "WSAEBADF"},
    {10014, "The namelen or buf argument is incorrect."},
    {10022, "The socket is not already bound to an address"},
    {10024, "No more file descriptors are available"},
    {10036, "A blocking Windows Sockets operation is in progress"},
    {10037, "WSAEALREADY"},
    {10038, "The descriptor is not a socket"},
    {10039, "WSAEDESTADDRREQ"},
    {10040, "The datagram was too large to fit into the specified buffer and was truncated"},
    {10041, "The specified protocol is the wrong type for this socket"},
    {10042, "WSAENOPROTOOPT"},
    {10043, "The specified protocol is not supported"},
    {10044, "The specified socket type is not supported in this address family"},
    {10045, "The referenced socket is not of a type that supports the listen operation"},
    {10046, "WSAEPFNOSUPPORT"},
    {10047, "The specified address family is not supported"},
    {10048, "The specified address is already in use"},
    {10049, "The specified address is not available from the local computer"},
    {10050, "Windows Sockets implementation detected an underlying failure"},
    {10051, "The network can't be reached from this host at this time"},
    {10052, "The connection must be reset because the Windows Sockets implementation dropped it"},
    {10053, "The virtual circuit was aborted due to timeout or other failure"},
    {10054, "The virtual circuit was reset by the remote side"},
    {10055, "No buffer space is available. The socket cannot be created"},
    {10056, "The socket is already connected"},
    {10057, "The socket is not connected"},
    {10058, "The socket has been shut down"},
    {10059, "WSAETOOMANYREFS"},
    {10060, "Attempt to connect timed out without establishing a connection"},
    {10061, "The attempt to connect was forcefully rejected"},
    {10062, "WSAELOOP"},
    {10063, "WSAENAMETOOLONG"},
    {10064, "WSAEHOSTDOWN"},
    {10065, "The host can't be reached at this time"},
    {10091, "the network subsystem is unusable"},
    {10092, "Sockets DLL cannot support this app"},
    {10093, "a successful WSAStartup has not yet been performed"},
    {11001, "Authoritative Answer Host not found"},
    {11002, "Non-Authoritative Host not found, or SERVERFAIL"},
    {11003, "Nonrecoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(sizeof kSocketErrors / sizeof kSocketErrors[0] == 44);

}  // namespace

const char* socket_error_text(int code) {
    for (const SocketErrorRow& row : kSocketErrors)
        if (row.code == code) return row.text;
    return "Unknown socket error";
}

}  // namespace kv::net
