#pragma once
// The mail store under MailDir: spool files (spool/NNNNNNNN.pm), mailbox
// directories of message files (yNNNNNNN.cnm), the single problems.txt file,
// and the one delivery operation through which every local copy is made.
//
// Durability: every new file is written under its final name plus ".part"
// (which no reader lists), synced, renamed to the final name without ever
// replacing a file, and its directory synced. A crash leaves at worst a
// ".part" file, which the mail services' start removes.
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/socket.h"

namespace kv::mail {

inline constexpr std::size_t kCopyBlock = 8192;
inline constexpr std::size_t kMaxHeaderValue = 153600;
inline constexpr int kNameAttempts = 17;
inline constexpr unsigned kNameRetryMs = 1100;
inline constexpr std::size_t kFileNameSize = 24;  // "yNNNNNNN.cnm.part" + NUL

// Delivery outcomes. kStoreFailed: a copy that should exist could not be
// written or synced (one entry logged); the caller must not acknowledge.
inline constexpr int kDelivered = 1;
inline constexpr int kToProblems = 0;   // the rules' outcome: stored as a problem report
inline constexpr int kStoreFailed = -1;

// Once per process, before the mail services accept: creates MailDir and
// removes ".part" leftovers of the spool and of every mailbox; reads the
// time-zone bias every date line uses.
void mail_store_start();
int zone_bias_minutes();

// " Sun, 3 Jan 2027 10:00:00 +0100" without the leading blank: the date of
// trace lines and problem reports, in local time.
void format_mail_date(char* out, std::size_t size);

// A name that may become a directory under MailDir: not empty, no leading
// ".", no "/", "\" or NUL within its n bytes.
[[nodiscard]] bool mailbox_name_ok(const char* name, std::size_t n);
[[nodiscard]] bool mailbox_name_ok(const char* name);

// Two fresh random numbers formatted as a file name: spool "NNNNNNNN" (8
// digits, filled from "012345678"), mailbox "NNNNNNN" (7, from "0123456789").
void draw_name_digits(bool spool, char* out, std::size_t size);

// A new file being written: dir_fd/final_name + ".part".
struct NewFile {
    platform::File dir;
    platform::File file;
    char final_name[kFileNameSize]{};
    char part_name[kFileNameSize]{};
    char digits[9]{};
};
// Takes a name in the directory (the ".part" created exclusively, the final
// name checked absent; 17 attempts 1.1 s apart). 1 with nf filled; 0 with
// *sys_error the errno of a creation failure, or 0 when attempts ran out.
[[nodiscard]] int create_new_file(const char* dir_path, bool spool, NewFile& nf, int* sys_error);
// Syncs the file, renames it to its final name (never replacing) and syncs
// the directory. 1, or 0 with errno set.
[[nodiscard]] int commit_new_file(NewFile& nf);
// Removes the ".part" file of an abandoned write.
void abandon_new_file(NewFile& nf);

// Deliver: the message of src from offset to its end, to a mailbox, a group
// ("[name]") or the sorting rules ("{..."); envelope_rcpt (or null) is what
// the rules read instead of To:/Cc:; progress_fd (or -1) gets each target as
// "%s, " and "RULEs: ". Takes the delivery lock. kDelivered, kToProblems or
// kStoreFailed.
[[nodiscard]] int deliver(int src_fd, const char* target, off_t offset, const char* envelope_rcpt,
                          int progress_fd);
// Writes [start, end) of src as a new message of the mailbox (or appends it
// to problems.txt), wrapped as a problem report when problem is not null.
// Takes the delivery lock. kDelivered or kStoreFailed.
[[nodiscard]] int write_to_mailbox(int src_fd, const char* mailbox, off_t start, off_t end, const char* problem);
// The message of a spool file (after its envelope, trace line included) as a
// problem report to the ProblemsTo mailbox.
[[nodiscard]] int return_to_problems(int spool_fd, const char* problem);
// The value of header `name` (with its colon) in the header section that
// begins at offset: occurrences joined, continuation lines kept, final CR LF
// removed. 1 with the value; 0 when absent or above 153,600 bytes.
[[nodiscard]] int read_header(int fd, off_t offset, const char* name, std::string& value);

// The spool's "*.pm" files, one at a time in directory order; files written
// or deleted meanwhile may or may not show. Holds the directory open.
class SpoolListing {
public:
    SpoolListing();
    ~SpoolListing();
    SpoolListing(const SpoolListing&) = delete;
    SpoolListing& operator=(const SpoolListing&) = delete;
    // The next regular file's name and size; false at the end.
    [[nodiscard]] bool next(char (&name)[kFileNameSize], off_t* size);
    // Opens a listed file for exclusive reading: a file another transfer or
    // viewer holds fails (invalid File).
    [[nodiscard]] platform::File open_exclusive(const char* name) const;
    [[nodiscard]] int remove(const char* name) const;

private:
    void* dir_;  // DIR*
};

}  // namespace kv::mail
