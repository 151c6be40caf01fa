#pragma once
// The pppd side of dial-up, in the parts that need no child process: where
// the program, the phone book and the pid files are; which names may be
// dialled; the options pppd reads from descriptor 3; how a pid file names
// the link of our pppd; what an exit status means in the dial-up error
// numbers and texts the pages and logs show.
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

}  // namespace kv::platform
