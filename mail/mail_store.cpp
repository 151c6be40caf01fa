#include "mail/mail_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "config/settings.h"
#include "log/error_codes.h"
#include "log/logs.h"
#include "net/line_io.h"
#include "platform/bounded_text.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/kill_point.h"

namespace kv::mail {
namespace {

constexpr const char* kProblemsFile = "problems.txt";
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t kPathSize = 600;
constexpr std::size_t kGroupNameMax = 39;
constexpr std::size_t kRuleValueMax = 100;
constexpr std::size_t kLoggedValueMax = 2000;

std::mutex g_delivery_lock;
std::once_flag g_started;
int g_bias_minutes = 0;

// Copies written under the delivery lock wait here for their sync and rename,
// which run after the lock is released so that deliveries sync in parallel.
struct PendingCopies {
    std::vector<NewFile> files;
    std::vector<std::string> paths;
};
thread_local PendingCopies* t_pending = nullptr;

const config::Settings& cfg() { return config::live(); }

void join_path(char (&out)[kPathSize], const char* dir, const char* name) {
    (void)platform::format_bounded(out, "%s/%s", dir, name);
}

bool ends_with(const char* s, const char* suffix) {
    const std::size_t n = std::strlen(s), m = std::strlen(suffix);
    return n >= m && std::strcmp(s + n - m, suffix) == 0;
}

void remove_part_files(const char* dir_path) {
    DIR* d = ::opendir(dir_path);
    if (!d) return;
    const int fd = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        if (ends_with(e->d_name, ".part")) (void)::unlinkat(fd, e->d_name, 0);
    }
    ::closedir(d);
}

void sweep_leftovers() {
    const char* root = cfg().MailDir;
    (void)::mkdir(root, 0700);
    DIR* d = ::opendir(root);
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char path[kPathSize];
        join_path(path, root, e->d_name);
        struct stat st {};
        if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) remove_part_files(path);
    }
    ::closedir(d);
}

void send_progress(int fd, const char* target) {
    if (fd >= 0) (void)net::send_formatted(fd, "%s, ", target);
}

// Upper-case substring test; an empty needle occurs everywhere.
bool occurs_in(const char* needle, const char* haystack) {
    std::string n(needle), h(haystack);
    for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return h.find(n) != std::string::npos;
}

off_t file_size(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Copies [start, end) of src to out at its position. 1, or 0 with errno.
int copy_range(int src, int out, off_t start, off_t end) {
    char block[kCopyBlock];
    for (off_t at = start; at < end;) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(end - at, kCopyBlock));
        const ssize_t n = ::pread(src, block, want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the source ended early: what was there is the message
        if (!platform::write_all(out, block, static_cast<std::size_t>(n))) return 0;
        if (at == start) platform::kill_point("mid-copy");
        at += n;
    }
    return 1;
}

int write_report_head(int fd, const char* mailbox, const char* boundary, const char* problem) {
    char date[64];
    format_mail_date(date, sizeof date);
    return net::write_formatted(fd,
                                "Date: %s\r\nFrom: Korvanet\r\nTo: Postmaster <%s>\r\nMIME-Version: 1.0\r\n"
                                "Content-Type: multipart/report; report-type=delivery-status; \r\n"
                                "\tboundary=\"%s\"\r\nSubject: Mail error\r\n\r\n",
                                date, mailbox, boundary) &&
           net::write_formatted(fd,
                                "This is a MIME-encapsulated message\r\n\r\n--%s\r\n\r\n\r\nError description: ",
                                boundary) &&
           platform::write_all(fd, problem, std::strlen(problem)) &&
           net::write_formatted(fd, "\r\n\r\nOriginal message is attached.\r\n\r\n--%s\r\n"
                                    "Content-Type: message/rfc822\r\n\r\n", boundary);
}

int write_report_tail(int fd, const char* boundary) {
    return net::write_formatted(fd, "\r\n\r\n--%s--\r\n", boundary);
}

// The body of a message file: report head, copy, report tail.
int write_message(int out, int src, off_t start, off_t end, const char* mailbox, const char* boundary,
                  const char* problem) {
    if (problem && !write_report_head(out, mailbox, boundary, problem)) return 0;
    if (!copy_range(src, out, start, end)) return 0;
    if (problem && !write_report_tail(out, boundary)) return 0;
    return 1;
}

// Appends to problems.txt, synced; a failed append is cut back.
int append_to_problems_file(int src, off_t start, off_t end, const char* problem) {
    char path[kPathSize];
    join_path(path, cfg().MailDir, kProblemsFile);
    platform::File f = platform::open_file(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (!f.valid()) {
        log::error(log::kErrDeliverCreate2, 3, errno, "can't create file : %s", path);
        return kStoreFailed;
    }
    const off_t old_length = file_size(f.get());
    char boundary[9];
    draw_name_digits(false, boundary, sizeof boundary);
    if (!write_message(f.get(), src, start, end, kProblemsFile, boundary, problem) || ::fsync(f.get()) != 0) {
        const int err = errno;
        (void)!::ftruncate(f.get(), old_length);
        (void)::fsync(f.get());
        log::error(log::kErrDeliverCreate, 3, err, "can't create file : %s", path);
        return kStoreFailed;
    }
    return kDelivered;
}

// Write to mailbox with the delivery lock held.
int write_to_mailbox_held(int src, const char* mailbox, off_t start, off_t end, const char* problem) {
    const char* root = cfg().MailDir;
    if (std::strcmp(mailbox, kProblemsFile) == 0) return append_to_problems_file(src, start, end, problem);
    char dir[kPathSize];
    join_path(dir, root, mailbox);
    if (!mailbox_name_ok(mailbox)) {
        log::error(log::kErrUserMailDir, 3, EINVAL, "can't create user's mail directory : %s", dir);
        return kStoreFailed;
    }
    if (::mkdir(dir, 0700) == 0) {
        // A new mailbox's name must survive a power loss too.
        const platform::File parent = platform::open_file(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent.valid()) (void)::fsync(parent.get());
    } else if (errno != EEXIST) {
        log::error(log::kErrUserMailDir, 3, errno, "can't create user's mail directory : %s", dir);
        return kStoreFailed;
    }
    NewFile nf;
    int err = 0;
    if (!create_new_file(dir, false, nf, &err)) {
        if (err == ENOTDIR) {
            log::error(log::kErrUserMailDir, 3, err, "can't create user's mail directory : %s", dir);
        } else if (err) {
            char path[kPathSize];
            join_path(path, dir, nf.final_name);
            log::error(log::kErrDeliverCreate, 3, err, "can't create file : %s", path);
        } else {
            log::error(log::kErrInternalDelivery, 5, 0, "internal error; contact tech support");
        }
        return kStoreFailed;
    }
    platform::kill_point("copy-open");
    char path[kPathSize];
    join_path(path, dir, nf.final_name);
    if (!write_message(nf.file.get(), src, start, end, mailbox, nf.digits, problem)) {
        const int e = errno;
        abandon_new_file(nf);
        log::error(log::kErrDeliverCreate, 3, e, "can't create file : %s", path);
        return kStoreFailed;
    }
    platform::kill_point("copy-written");
    t_pending->files.push_back(std::move(nf));
    t_pending->paths.emplace_back(path);
    return kDelivered;
}

int problem_report(int src, off_t offset, off_t end, const char* problem) {
    return write_to_mailbox_held(src, cfg().ProblemsTo, offset, end, problem) == kDelivered ? kToProblems
                                                                                             : kStoreFailed;
}

// Members of a group, in user-list order; -1 when there is no such group.
int group_members(const char* group, std::vector<std::string>& names) {
    const config::ConfigLists& l = cfg().lists;
    std::shared_lock<std::shared_mutex> lock(l.lock);
    const char* id = nullptr;
    for (const config::GroupRecord& g : l.groups)
        if (g.name[0] && std::strncmp(g.name, group, 128) == 0) id = g.id;
    if (!id) return -1;
    for (const config::UserRecord& u : l.users) {
        for (const char* p = u.groups; std::strlen(p) >= 3; p += 4) {
            if (std::strncmp(p, id, 3) == 0) {
                names.emplace_back(u.name);
                break;
            }
            if (p[3] != ':') break;
        }
    }
    return static_cast<int>(names.size());
}

int deliver_to_target(int src, const char* target, off_t offset, off_t end) {
    if (target[0] != '[' && target[0] != '{') return write_to_mailbox_held(src, target, offset, end, nullptr);
    char group[kGroupNameMax + 1] = "";
    const std::size_t n = std::strlen(target);
    if (n >= 2) {
        const std::size_t inner = std::min(n - 2, kGroupNameMax);
        std::memcpy(group, target + 1, inner);
        group[inner] = '\0';
    }
    std::vector<std::string> members;
    const int count = group_members(group, members);
    char problem[200];
    if (count < 0) {
        log::error(log::kErrGroupMissing, 3, 0, "group %s doesn't exist", group);
        (void)platform::format_bounded(problem, "group %s doesn't exist !", target);
        return problem_report(src, offset, end, problem);
    }
    if (count == 0) {
        log::error(log::kErrGroupEmpty, 2, 0, "group %s doesn't contain users, e-mail saved in %s", target,
                   cfg().ProblemsTo);
        (void)platform::format_bounded(problem, "group %s doesn't contain users !", target);
        return problem_report(src, offset, end, problem);
    }
    int result = kDelivered;
    for (const std::string& m : members) {
        if (write_to_mailbox_held(src, m.c_str(), offset, end, nullptr) == kStoreFailed) result = kStoreFailed;
    }
    return result;
}

// Combines outcomes: a failed store wins, then a problem report.
int worse(int a, int b) { return std::min(a, b); }

int sort_by_rules(int src, off_t offset, off_t end, const char* envelope_rcpt, int progress_fd) {
    const config::Settings& s = cfg();
    std::vector<config::SortRule> rules;
    {
        std::shared_lock<std::shared_mutex> lock(s.lists.lock);
        rules = s.lists.rules;
    }
    if (progress_fd >= 0) (void)net::send_text(progress_fd, "RULEs: ");
    std::string value;
    if (s.PrimaryTo[0]) {
        char name[128];
        (void)platform::format_bounded(name, "%s:", s.PrimaryTo);
        if (read_header(src, offset, name, value)) {
            std::string head = value.substr(0, kRuleValueMax);
            for (const config::SortRule& r : rules) {
                if (occurs_in(r.HeaderTo, head.c_str())) {
                    send_progress(progress_fd, r.KorvanetAccount);
                    return deliver_to_target(src, r.KorvanetAccount, offset, end);
                }
            }
            log::error(log::kErrNoSortRule, 2, 0, "no rule found for \"%s\", saving e-mail to %s",
                       value.substr(0, kLoggedValueMax).c_str(), s.ProblemsTo);
            std::string problem = "no sorting rule found for \"" + value + "\" !";
            return problem_report(src, offset, end, problem.c_str());
        }
    }
    bool had_text = false, matched = false, stopped_at_default = false;
    int result = kDelivered;
    auto scan = [&](const char* text) {
        had_text = true;
        for (const config::SortRule& r : rules) {
            if (std::strcmp(r.HeaderTo, "@") == 0) {
                stopped_at_default = true;
                break;
            }
            if (occurs_in(r.HeaderTo, text)) {
                matched = true;
                send_progress(progress_fd, r.KorvanetAccount);
                result = worse(result, deliver_to_target(src, r.KorvanetAccount, offset, end));
            }
        }
    };
    if (envelope_rcpt) {
        scan(envelope_rcpt);
    } else if (read_header(src, offset, "To:", value) || read_header(src, offset, "Apparently-To:", value)) {
        scan(value.c_str());
    }
    if (!envelope_rcpt && read_header(src, offset, "Cc:", value)) scan(value.c_str());
    if (!had_text) {
        log::error(log::kErrNoToHeader, 2, 0, "mail header doesn't contain any To: or Cc: header, saving e-mail to %s",
                   s.ProblemsTo);
        return problem_report(src, offset, end, "mail header doesn't contain any To: or Cc: header !");
    }
    if (!matched) {
        if (stopped_at_default && std::strcmp(rules.back().HeaderTo, "@") == 0) {
            send_progress(progress_fd, rules.back().KorvanetAccount);
            return deliver_to_target(src, rules.back().KorvanetAccount, offset, end);
        }
        log::error(log::kErrNoSortRule, 2, 0, "no soring rule found, saving e-mail to %s", s.ProblemsTo);
        return problem_report(src, offset, end, "no sorting rule matched mail recepients!");
    }
    return result;
}

// Syncs and renames the copies of one delivery; a copy that fails is removed
// and fails the delivery.
int commit_pending(PendingCopies& pending, int result) {
    for (std::size_t i = 0; i < pending.files.size(); ++i) {
        if (!commit_new_file(pending.files[i])) {
            log::error(log::kErrDeliverCreate, 3, errno, "can't create file : %s", pending.paths[i].c_str());
            abandon_new_file(pending.files[i]);
            result = kStoreFailed;
            continue;
        }
        platform::kill_point("copy-renamed");
    }
    return result;
}

}  // namespace

void mail_store_start() {
    std::call_once(g_started, [] {
        g_bias_minutes = platform::time_zone_bias_minutes();
        sweep_leftovers();
    });
}

int zone_bias_minutes() { return g_bias_minutes; }

void format_mail_date(char* out, std::size_t size) {
    const std::tm t = platform::local_now();
    (void)platform::format_bounded(out, size, "%s, %d %s %d %02d:%02d:%02d %+03d00", kDays[t.tm_wday % 7],
                                   t.tm_mday, kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                                   t.tm_sec, -g_bias_minutes / 60);
}

bool mailbox_name_ok(const char* name, std::size_t n) {
    if (n == 0 || name[0] == '.') return false;
    for (std::size_t i = 0; i < n; ++i)
        if (name[i] == '/' || name[i] == '\\' || name[i] == '\0') return false;
    return true;
}

bool mailbox_name_ok(const char* name) { return mailbox_name_ok(name, std::strlen(name)); }

void draw_name_digits(bool spool, char* out, std::size_t size) {
    std::uint32_t r[2] = {0, 0};
    if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
        // No entropy source: a per-thread generator seeded with nanoseconds and the thread.
        thread_local std::uint64_t state = 0;
        if (state == 0) {
            timespec ts{};
            ::clock_gettime(CLOCK_MONOTONIC, &ts);
            state = static_cast<std::uint64_t>(ts.tv_nsec) * 6364136223846793005ULL ^
                    reinterpret_cast<std::uintptr_t>(&state) ^ static_cast<std::uint64_t>(ts.tv_sec);
        }
        for (std::uint32_t& v : r) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            v = static_cast<std::uint32_t>(state >> 33);
        }
    }
    char text[32];
    (void)platform::format_bounded(text, "%u%u%s", r[1] % 10000, r[0] % 10000, spool ? "012345678" : "0123456789");
    (void)platform::copy_bounded(out, text, std::min<std::size_t>(size, spool ? 9 : 8));
}

int create_new_file(const char* dir_path, bool spool, NewFile& nf, int* sys_error) {
    *sys_error = 0;
    nf.dir = platform::open_file(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!nf.dir.valid()) {
        *sys_error = errno;
        return 0;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        if (attempt > 0) platform::sleep_ms(kNameRetryMs);
        draw_name_digits(spool, nf.digits, sizeof nf.digits);
        (void)platform::format_bounded(nf.final_name, spool ? "%s.pm" : "y%s.cnm", nf.digits);
        (void)platform::format_bounded(nf.part_name, "%s.part", nf.final_name);
        nf.file = platform::open_file_at(nf.dir.get(), nf.part_name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (!nf.file.valid()) {
            if (errno == EEXIST) continue;
            *sys_error = errno;
            return 0;
        }
        struct stat st {};
        if (::fstatat(nf.dir.get(), nf.final_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            abandon_new_file(nf);
            continue;
        }
        return 1;
    }
    return 0;
}

int commit_new_file(NewFile& nf) {
    if (::fsync(nf.file.get()) != 0) return 0;
    if (::renameat2(nf.dir.get(), nf.part_name, nf.dir.get(), nf.final_name, RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return 0;
        // File systems without the flag: a link never replaces either.
        if (::linkat(nf.dir.get(), nf.part_name, nf.dir.get(), nf.final_name, 0) != 0) return 0;
        (void)::unlinkat(nf.dir.get(), nf.part_name, 0);
    }
    nf.part_name[0] = '\0';
    return ::fsync(nf.dir.get()) == 0;
}

void abandon_new_file(NewFile& nf) {
    if (nf.part_name[0] && nf.dir.valid()) (void)::unlinkat(nf.dir.get(), nf.part_name, 0);
    nf.part_name[0] = '\0';
    nf.file.reset();
}

int deliver(int src_fd, const char* target, off_t offset, const char* envelope_rcpt, int progress_fd) {
    const off_t end = file_size(src_fd);
    if (end == 0) return kDelivered;
    PendingCopies pending;
    int result;
    {
        std::lock_guard<std::mutex> guard(g_delivery_lock);
        t_pending = &pending;
        if (target[0] != '{') {
            send_progress(progress_fd, target);
            result = deliver_to_target(src_fd, target, offset, end);
        } else {
            result = sort_by_rules(src_fd, offset, end, envelope_rcpt, progress_fd);
        }
        t_pending = nullptr;
    }
    return commit_pending(pending, result);
}

int write_to_mailbox(int src_fd, const char* mailbox, off_t start, off_t end, const char* problem) {
    PendingCopies pending;
    int result;
    {
        std::lock_guard<std::mutex> guard(g_delivery_lock);
        t_pending = &pending;
        result = write_to_mailbox_held(src_fd, mailbox, start, end, problem);
        t_pending = nullptr;
    }
    return commit_pending(pending, result);
}

int return_to_problems(int spool_fd, const char* problem) {
    const off_t end = file_size(spool_fd);
    char head[kCopyBlock];
    const ssize_t n = ::pread(spool_fd, head, sizeof head - 1, 0);
    off_t start = 0;
    if (n > 0 && head[0] == '$') {
        head[n] = '\0';
        // The envelope ends with the first empty line.
        const char* p = static_cast<const char*>(memmem(head, static_cast<std::size_t>(n), "\r\n\r\n", 4));
        if (p) start = (p - head) + 4;
    }
    return write_to_mailbox(spool_fd, cfg().ProblemsTo, start, end, problem);
}

int read_header(int fd, off_t offset, const char* name, std::string& value) {
    value.clear();
    const std::size_t name_len = std::strlen(name);
    char block[kCopyBlock];
    std::size_t line_pos = 0;
    bool candidate = false, in_value = false, found = false;
    std::size_t occurrence_start = 0;
    auto finish_occurrence = [&] {
        if (!in_value) return;
        in_value = false;
        if (value.size() > occurrence_start && value.back() == '\n') value.pop_back();
        if (value.size() > occurrence_start && value.back() == '\r') value.pop_back();
    };
    for (off_t at = offset;;) {
        const ssize_t n = ::pread(fd, block, sizeof block, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += n;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = block[i];
            if (line_pos == 0) {
                if (c == '\r' || c == '\n') {  // the empty line ends the header section
                    finish_occurrence();
                    return found && value.size() <= kMaxHeaderValue;
                }
                if (c != ' ' && c != '\t') {
                    finish_occurrence();
                    candidate = name_len > 0;
                }
            }
            if (candidate && line_pos < name_len) {
                if (std::toupper(static_cast<unsigned char>(c)) !=
                    std::toupper(static_cast<unsigned char>(name[line_pos]))) {
                    candidate = false;
                } else if (line_pos + 1 == name_len) {
                    candidate = false;
                    in_value = found = true;
                    occurrence_start = value.size();
                    line_pos = (c == '\n') ? 0 : line_pos + 1;
                    continue;
                }
            }
            if (in_value) {
                if (value.size() >= kMaxHeaderValue + 2) return 0;
                value.push_back(c);
            }
            line_pos = (c == '\n') ? 0 : line_pos + 1;
        }
    }
    finish_occurrence();
    return found && value.size() <= kMaxHeaderValue;
}

SpoolListing::SpoolListing() {
    char path[kPathSize];
    join_path(path, cfg().MailDir, "spool");
    dir_ = ::opendir(path);
}

SpoolListing::~SpoolListing() {
    if (dir_) ::closedir(static_cast<DIR*>(dir_));
}

bool SpoolListing::next(char (&name)[kFileNameSize], off_t* size) {
    if (!dir_) return false;
    DIR* d = static_cast<DIR*>(dir_);
    while (dirent* e = ::readdir(d)) {
        if (!ends_with(e->d_name, ".pm") || std::strlen(e->d_name) >= kFileNameSize) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        (void)platform::copy_bounded(name, e->d_name);
        *size = st.st_size;
        return true;
    }
    return false;
}

platform::File SpoolListing::open_exclusive(const char* name) const {
    if (!dir_) return platform::File();
    platform::File f = platform::open_file_at(::dirfd(static_cast<DIR*>(dir_)), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (f.valid() && ::flock(f.get(), LOCK_EX | LOCK_NB) != 0) f.reset();
    return f;
}

int SpoolListing::remove(const char* name) const {
    return dir_ && ::unlinkat(::dirfd(static_cast<DIR*>(dir_)), name, 0) == 0;
}

}  // namespace kv::mail
