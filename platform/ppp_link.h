#pragma once
// The pppd side of dial-up, in the parts that need no child process: where
// the program, the phone book and the pid files are; which names may be
// dialled; the options pppd reads from descriptor 3; how a pid file names
// the link of our pppd; what an exit status means in the dial-up error
// numbers and texts the pages and logs show.
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kv::platform {

inline constexpr int kPhoneBookMax = 20;
inline constexpr std::size_t kPeerNameMax = 59;   // what ConnName holds
inline constexpr std::size_t kPidFileMax = 256;   // a longer file is not pppd's
inline constexpr std::size_t kInterfaceNameSize = 16;

// The places, each from the environment when set (tests never touch /etc or
// /run): KORVANET_PPPD, KORVANET_PPP_PEERS; KORVANET_PPP_RUN gives one run
// directory, else both /run and /run/pppd are looked at.
const char* pppd_program();
const char* ppp_peers_dir();
std::vector<std::string> ppp_run_dirs();

// kAbsent: no such file (the dial-up manager is silently absent);
// kUnusable: present but not an executable regular file.
enum class PppdPresence { kAbsent, kUnusable, kPresent };
PppdPresence pppd_presence(const char* path);

// The phone book: the regular files of dir whose names do not begin with "."
// nor end with "~" (and fit ConnName), in byte order, the first 20.
std::vector<std::string> phone_book(const char* dir);

// A ConnName that may become pppd's "call" argument: not empty, no leading
// "." or "-", no "/" and no control character.
[[nodiscard]] bool peer_name_usable(const char* name);

// The options text for descriptor 3: `user "U"` and `password "P"`, each on
// a line of its own and only when set, with \ and " escaped. "" when both
// are empty (then no options file is given at all).
std::string pppd_auth_options(const char* user, const char* password);

// Whether dir holds a regular file of exactly that name (a usable one).
[[nodiscard]] bool peer_file_exists(const char* dir, const char* name);

// The two lines of a pid file: 1 with the pid of its first line and the
// interface of its second line ("" when the file has only the first); 0 for
// anything else (too long, partly written, junk, a bad interface name).
[[nodiscard]] int parse_pid_file(const char* data, std::size_t n, pid_t* pid, char (&interface)[kInterfaceNameSize]);

// A pid file's bytes (pppd writes "PID\n" into IFNAME.pid and "PID\nIFNAME\n"
// into ppp-NAME.pid): 1 when the first line is our child's pid, with the
// interface from the second line or else from the file's own name without
// ".pid"; 0 for another process's file, a partly written one or anything
// not of that form.
[[nodiscard]] int pid_file_interface(const char* data, std::size_t n, pid_t child, const char* file_name,
                                     char (&interface)[kInterfaceNameSize]);

// A dial that ended before the line was up, by pppd's wait status: the
// dial-up error number and its text.
struct RasError {
    int number;
    const char* text;
};
RasError ras_error_for(int wait_status);
// The failures that need no exit status.
inline constexpr RasError kRasNoEntry{623, "Cannot find the phone book entry."};
inline constexpr RasError kRasTimedOut{718, "Timed out waiting for a valid response from the remote PPP peer."};
// Any other end, and a pppd that could not be started.
inline constexpr RasError kRasUnknown{635, "An unknown error occurred."};

// The pppd side as the dial-up manager drives it. The manager holds one and
// calls it from its own thread only; units put a fake in its place.
class PppLink {
public:
    virtual ~PppLink() = default;
    // Starts `PPPD call ENTRY [file /dev/fd/3] nodetach` for the entry, the
    // options file only when user or password is set. The pid, or 0 when
    // nothing could be started.
    virtual pid_t dial(const char* entry, const char* user, const char* password) = 0;
    // The address (network order) of the line of our child once a pid file
    // of its names an interface holding an IPv4 address; 0 while not yet.
    virtual in_addr_t line_address(pid_t child) = 0;
    // 1 with the wait status once the child has ended (it is reaped then);
    // 0 while it runs.
    virtual int ended(pid_t child, int* wait_status) = 0;
    // Ends our child: SIGTERM, up to 10 s, then SIGKILL; reaps it.
    virtual void hang_up(pid_t child) = 0;
    // A line of the entry that another process keeps up: ppp-ENTRY.pid names
    // a live process that is not `ours` and an interface with an IPv4
    // address. 1 with its pid and address; 0 otherwise. Never signals it.
    virtual int foreign_line(const char* entry, pid_t ours, pid_t* pid, in_addr_t* address) = 0;
    // Starts `/bin/sh -c text` with its output on ours (hidden: /dev/null);
    // it is not waited for. reap_commands() collects the ones that ended.
    virtual void run_command(const char* text, bool hidden) = 0;
    virtual void reap_commands() = 0;
};

// The real one, over the places above.
PppLink& pppd_link();

}  // namespace kv::platform
