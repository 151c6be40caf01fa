// The eight configuration lists. Every public function takes the lists' lock
// itself; the helpers in the anonymous namespace never lock, so no public
// function calls another public one (a shared_mutex is not recursive, and a
// second shared lock behind a waiting writer would deadlock).
#include "config/config_lists.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "net/line_io.h"
#include "net/md5.h"
#include "platform/bounded_text.h"

namespace kv::config {
namespace {

using Shared = std::shared_lock<std::shared_mutex>;
using Exclusive = std::unique_lock<std::shared_mutex>;

constexpr int kUserIdFirst = 0;
constexpr int kUserIdEnd = 900;  // exclusive
constexpr int kGroupIdFirst = 900;
constexpr int kGroupIdEnd = 1000;
constexpr std::size_t kNameCompare = 128;
constexpr std::size_t kPatternCompare = 256;
constexpr std::size_t kEntryCompare = 34;
constexpr std::size_t kHeaderToCompare = 100;
constexpr std::size_t kServerCompare = 256;
constexpr const char* kDigestMarker = ":Korvanet:";
constexpr std::size_t kDumpLineSize = 1024;  // the widest record line fits whole

bool empty(const char* s) { return !s || !*s; }

// Sorted insertion: before the first record that the new one orders before,
// else at the end, so records that compare equal keep their insertion order.
// Every list only grows through here, so it is always in order and the place
// is found by halving: loading ten thousand users costs n log n compares.
template <typename T, typename Order>
int insert_sorted(std::vector<T>& v, const T& r, Order order) {
    const auto at = std::upper_bound(v.begin(), v.end(), r,
                                     [&](const T& a, const T& b) { return order(a, b) < 0; });
    const auto i = at - v.begin();
    v.insert(at, r);
    return static_cast<int>(i);
}

template <typename T, typename Pred>
int find_first(const std::vector<T>& v, Pred pred) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (pred(v[i])) return static_cast<int>(i);
    }
    return kNotFound;
}

template <typename T>
int remove_at(std::vector<T>& v, int i) {
    if (i < 0) return 0;
    v.erase(v.begin() + i);
    return 1;
}

int order_user(const UserRecord& a, const UserRecord& b) {
    return strncasecmp(a.name, b.name, kNameCompare);
}
int order_group(const GroupRecord& a, const GroupRecord& b) {
    const bool a_admins = std::strcmp(a.name, kAdminsGroupName) == 0;
    const bool b_admins = std::strcmp(b.name, kAdminsGroupName) == 0;
    if (a_admins != b_admins) return a_admins ? -1 : 1;
    return strncasecmp(a.name, b.name, kNameCompare);
}
int order_ttl(const TtlRule& a, const TtlRule& b) { return (a.days > b.days) - (a.days < b.days); }
int order_link(const LinkRecord& a, const LinkRecord& b) {
    return (a.local_port > b.local_port) - (a.local_port < b.local_port);
}
int order_ip(const IpEntry& a, const IpEntry& b) {
    return strncasecmp(a.text, b.text, kEntryCompare);
}
int order_pop3(const Pop3Account& a, const Pop3Account& b) {
    return strncasecmp(a.RemotePOP3User, b.RemotePOP3User, kNameCompare);
}
// The catch-all rule "@" goes last although '@' sorts before the letters.
int order_sort_rule(const SortRule& a, const SortRule& b) {
    const bool a_all = std::strcmp(a.HeaderTo, "@") == 0;
    const bool b_all = std::strcmp(b.HeaderTo, "@") == 0;
    if (a_all != b_all) return a_all ? 1 : -1;
    return strncasecmp(a.HeaderTo, b.HeaderTo, kHeaderToCompare);
}

int find_user_unlocked(const ConfigLists& l, const char* name) {
    if (empty(name)) return kNotFound;
    return find_first(l.users,
                      [&](const UserRecord& u) { return std::strncmp(u.name, name, kNameCompare) == 0; });
}
int find_group_unlocked(const ConfigLists& l, const char* name) {
    if (empty(name)) return kNotFound;
    return find_first(l.groups,
                      [&](const GroupRecord& g) { return std::strncmp(g.name, name, kNameCompare) == 0; });
}
int find_access_unlocked(const ConfigLists& l, const char* pattern) {
    if (empty(pattern)) return kNotFound;
    return find_first(l.access, [&](const AccessRule& r) {
        return strncasecmp(r.pattern, pattern, kPatternCompare) == 0;
    });
}

// Lowest number in [first, end) that no record's id, read as a decimal
// number, names; -1 when all are taken.
template <typename T>
int lowest_free_id(const std::vector<T>& v, int first, int end) {
    bool taken[kGroupIdEnd] = {};
    for (const T& r : v) {
        const int id = std::atoi(r.id);
        if (id >= first && id < end) taken[id] = true;
    }
    for (int candidate = first; candidate < end; ++candidate) {
        if (!taken[candidate]) return candidate;
    }
    return -1;
}

// An id list is a run of "ddd:" tokens; it grows only while shorter than
// kIdListMax characters, which bounds it to 19 tokens.
template <std::size_t N>
int id_list_append(char (&list)[N], const char* id) {
    static_assert(N > kIdListMax + 4);
    const std::size_t len = std::strlen(list);
    if (len >= kIdListMax || std::strlen(id) != 3) return 0;
    std::memcpy(list + len, id, 3);
    list[len + 3] = ':';
    list[len + 4] = '\0';
    return 1;
}
bool id_list_has(const char* list, const char* id) { return std::strstr(list, id) != nullptr; }
// Removes the first occurrence of id and the ':' that follows it.
int id_list_remove(char* list, const char* id) {
    char* at = std::strstr(list, id);
    if (!at) return 0;
    std::size_t n = std::strlen(id);
    if (at[n] == ':') ++n;
    std::memmove(at, at + n, std::strlen(at + n) + 1);
    return 1;
}

// Splits text at its first '@' into the two fields; 0 when there is none.
template <std::size_t A, std::size_t B>
int split_at_sign(const char* text, char (&before)[A], char (&after)[B]) {
    const char* at = std::strchr(text, '@');
    if (!at) return 0;
    const std::size_t n = std::min(static_cast<std::size_t>(at - text), A - 1);
    std::memcpy(before, text, n);
    before[n] = '\0';
    platform::copy_bounded(after, at + 1);
    return 1;
}

// Days before the at-sign: decimal digits only, empty meaning 0.
int parse_days(const char* text, std::size_t n, int* days) {
    *days = 0;
    return n == 0 || platform::parse_decimal(text, n, 0, INT_MAX, days);
}

void address_text(std::uint32_t a, char* out, std::size_t size) {
    platform::format_bounded(out, size, "%u.%u.%u.%u", (a >> 24) & 255u, (a >> 16) & 255u,
                        (a >> 8) & 255u, a & 255u);
}

int find_pop3_unlocked(const ConfigLists& l, const char* user, const char* server) {
    if (!user || !server) return kNotFound;
    return find_first(l.pop3, [&](const Pop3Account& a) {
        return (!*user || strncasecmp(a.RemotePOP3User, user, kNameCompare) == 0) &&
               (!*server || strncasecmp(a.RemotePOP3Server, server, kServerCompare) == 0);
    });
}

int remove_pop3_by_text_unlocked(ConfigLists& l, const char* text) {
    if (!text) return 0;
    char user[sizeof(Pop3Account::RemotePOP3User)];
    char server[sizeof(Pop3Account::RemotePOP3Server)];
    if (!split_at_sign(text, user, server)) return 0;
    return remove_at(l.pop3, find_pop3_unlocked(l, user, server));
}

// Dump lines may exceed one formatted send; format whole, then send.
void send_line(int fd, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void send_line(int fd, const char* fmt, ...) {
    char line[kDumpLineSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    (void)net::send_text(fd, line);
}

}  // namespace

void reset_lists(ConfigLists& l) {
    Exclusive lock(l.lock);
    l.users.clear();
    l.groups.clear();
    l.access.clear();
    l.ttls.clear();
    l.links.clear();
    l.ips.clear();
    l.pop3.clear();
    l.rules.clear();
    GroupRecord admins{};
    platform::copy_bounded(admins.id, kAdminsGroupId);
    platform::copy_bounded(admins.name, kAdminsGroupName);
    l.groups.push_back(admins);
}

void password_digest(const char* name, const char* password, char out[33]) {
    net::Md5 m;
    net::md5_init(m);
    if (name) net::md5_update(m, name, std::strlen(name));
    net::md5_update(m, kDigestMarker, std::strlen(kDigestMarker));
    if (password) net::md5_update(m, password, std::strlen(password));
    unsigned char digest[16];
    net::md5_final(m, digest);
    net::digest_to_hex(digest, out);
}

// --- users ---------------------------------------------------------------

int add_user(ConfigLists& l, const char* name, const char* password) {
    if (empty(name)) return kNotFound;
    Exclusive lock(l.lock);
    if (find_user_unlocked(l, name) >= 0) return kNotFound;
    const int id = lowest_free_id(l.users, kUserIdFirst, kUserIdEnd);
    if (id < 0) return kNotFound;
    UserRecord r{};
    platform::format_bounded(r.id, "%03d", id);
    platform::copy_bounded(r.name, name);
    // The digest is of the stored (possibly cut) name, as the check computes it.
    password_digest(r.name, password ? password : "", r.digest);
    return insert_sorted(l.users, r, order_user);
}

int insert_user_record(ConfigLists& l, const UserRecord& r) {
    Exclusive lock(l.lock);
    return insert_sorted(l.users, r, order_user);
}

int remove_user(ConfigLists& l, const char* name) {
    Exclusive lock(l.lock);
    return remove_at(l.users, find_user_unlocked(l, name));
}

int set_password(ConfigLists& l, const char* name, const char* password) {
    Exclusive lock(l.lock);
    const int i = find_user_unlocked(l, name);
    if (i < 0) return 0;
    UserRecord& u = l.users[static_cast<std::size_t>(i)];
    password_digest(u.name, password ? password : "", u.digest);
    return 1;
}

int check_password(const ConfigLists& l, const char* name, const char* password) {
    Shared lock(l.lock);
    const int i = find_user_unlocked(l, name);
    if (i < 0) return 0;
    const UserRecord& u = l.users[static_cast<std::size_t>(i)];
    char digest[33];
    password_digest(u.name, password ? password : "", digest);
    return std::strncmp(digest, u.digest, 32) == 0;
}

int find_user(const ConfigLists& l, const char* name) {
    Shared lock(l.lock);
    return find_user_unlocked(l, name);
}

int add_to_group(ConfigLists& l, const char* user, const char* group) {
    Exclusive lock(l.lock);
    const int u = find_user_unlocked(l, user);
    const int g = find_group_unlocked(l, group);
    if (u < 0 || g < 0) return 0;
    UserRecord& ur = l.users[static_cast<std::size_t>(u)];
    const GroupRecord& gr = l.groups[static_cast<std::size_t>(g)];
    if (id_list_has(ur.groups, gr.id)) return 0;
    return id_list_append(ur.groups, gr.id);
}

int remove_from_group(ConfigLists& l, const char* user, const char* group) {
    Exclusive lock(l.lock);
    const int u = find_user_unlocked(l, user);
    const int g = find_group_unlocked(l, group);
    if (u < 0 || g < 0) return 0;
    return id_list_remove(l.users[static_cast<std::size_t>(u)].groups,
                          l.groups[static_cast<std::size_t>(g)].id);
}

int is_group_member(const ConfigLists& l, const char* user, const char* group) {
    Shared lock(l.lock);
    const int u = find_user_unlocked(l, user);
    const int g = find_group_unlocked(l, group);
    if (u < 0 || g < 0) return 0;
    return id_list_has(l.users[static_cast<std::size_t>(u)].groups,
                       l.groups[static_cast<std::size_t>(g)].id);
}

// --- groups --------------------------------------------------------------

int add_group(ConfigLists& l, const char* name) {
    if (empty(name)) return kNotFound;
    Exclusive lock(l.lock);
    if (find_group_unlocked(l, name) >= 0) return kNotFound;
    const int id = lowest_free_id(l.groups, kGroupIdFirst, kGroupIdEnd);
    if (id < 0) return kNotFound;
    GroupRecord r{};
    platform::format_bounded(r.id, "%03d", id);
    platform::copy_bounded(r.name, name);
    return insert_sorted(l.groups, r, order_group);
}

int insert_group_record(ConfigLists& l, const GroupRecord& r) {
    Exclusive lock(l.lock);
    return insert_sorted(l.groups, r, order_group);
}

int remove_group(ConfigLists& l, const char* name) {
    Exclusive lock(l.lock);
    const int g = find_group_unlocked(l, name);
    if (g < 0) return 0;
    const GroupRecord& gr = l.groups[static_cast<std::size_t>(g)];
    if (std::strcmp(gr.name, kAdminsGroupName) == 0) return 0;
    for (UserRecord& u : l.users) {
        // Bounded: each pass removes one token from a list of at most 80 characters.
        while (id_list_remove(u.groups, gr.id)) {
        }
    }
    return remove_at(l.groups, g);
}

int find_group(const ConfigLists& l, const char* name) {
    Shared lock(l.lock);
    return find_group_unlocked(l, name);
}

// --- access list ---------------------------------------------------------

int add_access_rule(ConfigLists& l, const char* pattern, const char* selected) {
    if (empty(pattern)) return kNotFound;
    Exclusive lock(l.lock);
    if (find_access_unlocked(l, pattern) >= 0) return kNotFound;
    AccessRule r{};
    platform::copy_bounded(r.pattern, pattern);
    l.access.push_back(r);
    const int added = static_cast<int>(l.access.size()) - 1;
    const int sel = find_access_unlocked(l, selected);
    if (sel < 0 || sel == added) return added;
    // The new rule takes the selected rule's place; the selected one goes last.
    std::swap(l.access[static_cast<std::size_t>(sel)], l.access[static_cast<std::size_t>(added)]);
    return sel;
}

int insert_access_rule(ConfigLists& l, const AccessRule& r) {
    Exclusive lock(l.lock);
    l.access.push_back(r);
    return static_cast<int>(l.access.size()) - 1;
}

int remove_access_rule(ConfigLists& l, const char* pattern) {
    Exclusive lock(l.lock);
    return remove_at(l.access, find_access_unlocked(l, pattern));
}

int move_access_rule_up(ConfigLists& l, const char* pattern) {
    Exclusive lock(l.lock);
    const int i = find_access_unlocked(l, pattern);
    if (i <= 0) return 0;
    std::swap(l.access[static_cast<std::size_t>(i)], l.access[static_cast<std::size_t>(i - 1)]);
    return 1;
}

int move_access_rule_down(ConfigLists& l, const char* pattern) {
    Exclusive lock(l.lock);
    const int i = find_access_unlocked(l, pattern);
    if (i < 0 || static_cast<std::size_t>(i) + 1 >= l.access.size()) return 0;
    std::swap(l.access[static_cast<std::size_t>(i)], l.access[static_cast<std::size_t>(i + 1)]);
    return 1;
}

int add_access_member(ConfigLists& l, const char* pattern, const char* id) {
    if (!id) return 0;
    Exclusive lock(l.lock);
    const int i = find_access_unlocked(l, pattern);
    if (i < 0) return 0;
    return id_list_append(l.access[static_cast<std::size_t>(i)].members, id);
}

int remove_access_member(ConfigLists& l, const char* pattern, const char* id) {
    if (empty(id)) return 0;
    Exclusive lock(l.lock);
    const int i = find_access_unlocked(l, pattern);
    if (i < 0) return 0;
    return id_list_remove(l.access[static_cast<std::size_t>(i)].members, id);
}

int is_access_member(const ConfigLists& l, const char* pattern, const char* id) {
    if (empty(id)) return 0;
    Shared lock(l.lock);
    const int i = find_access_unlocked(l, pattern);
    if (i < 0) return 0;
    return id_list_has(l.access[static_cast<std::size_t>(i)].members, id);
}

int first_matching_access_rule(const ConfigLists& l, const char* url) {
    if (!url) return kNotFound;
    Shared lock(l.lock);
    return find_first(l.access, [&](const AccessRule& r) { return wildcard_match(r.pattern, url); });
}

// --- TTL rules -----------------------------------------------------------

int add_ttl(ConfigLists& l, int days, const char* pattern) {
    if (days < 0 || empty(pattern)) return kNotFound;
    TtlRule r{};
    platform::copy_bounded(r.pattern, pattern);
    r.days = days;
    Exclusive lock(l.lock);
    return insert_sorted(l.ttls, r, order_ttl);
}

int add_ttl_from_text(ConfigLists& l, const char* text) {
    if (!text) return kNotFound;
    const char* at = std::strchr(text, '@');
    int days = 0;
    if (!at || !parse_days(text, static_cast<std::size_t>(at - text), &days)) return kNotFound;
    return add_ttl(l, days, at + 1);
}

int remove_ttl_from_text(ConfigLists& l, const char* text) {
    if (!text) return 0;
    const char* at = std::strchr(text, '@');
    int days = 0;
    if (!at || !parse_days(text, static_cast<std::size_t>(at - text), &days)) return 0;
    const char* pattern = at + 1;
    Exclusive lock(l.lock);
    return remove_at(l.ttls, find_first(l.ttls, [&](const TtlRule& r) {
                         return r.days == days &&
                                (!*pattern ||
                                 strncasecmp(r.pattern, pattern, sizeof r.pattern - 1) == 0);
                     }));
}

int ttl_for_url(const ConfigLists& l, const char* url, int kind, int http_ttl, int ftp_ttl,
                int gopher_ttl) {
    if (url) {
        Shared lock(l.lock);
        // Sorted by days, so the matching rule with the fewest days wins.
        for (const TtlRule& r : l.ttls) {
            if (wildcard_match(r.pattern, url)) return r.days;
        }
    }
    if (kind == 1) return ftp_ttl;
    if (kind == 2) return gopher_ttl;
    return http_ttl;
}

// --- mapped links --------------------------------------------------------

int add_link(ConfigLists& l, int local_port, const char* host, int remote_port,
             const char* protocol) {
    if (empty(host) || !protocol || local_port == 0 || remote_port == 0) return kNotFound;
    LinkRecord r{};
    platform::copy_bounded(r.host, host);
    r.local_port = local_port;
    r.remote_port = remote_port;
    platform::copy_bounded(r.protocol, protocol);
    Exclusive lock(l.lock);
    const int dup = find_first(l.links, [&](const LinkRecord& k) {
        return k.local_port == local_port && strcasecmp(k.protocol, r.protocol) == 0;
    });
    if (dup >= 0) return kNotFound;
    return insert_sorted(l.links, r, order_link);
}

int insert_link_record(ConfigLists& l, const LinkRecord& r) {
    Exclusive lock(l.lock);
    return insert_sorted(l.links, r, order_link);
}

int remove_link(ConfigLists& l, const char* list_text) {
    if (!list_text) return 0;
    const char* space = std::strchr(list_text, ' ');
    if (!space) return 0;
    const char* p = space + 1;
    int port = 0;
    if (!platform::parse_decimal(p, std::strspn(p, "0123456789"), 0, INT_MAX, &port)) return 0;
    Exclusive lock(l.lock);
    return remove_at(l.links,
                     find_first(l.links, [&](const LinkRecord& k) { return k.local_port == port; }));
}

int find_link(const ConfigLists& l, int local_port) {
    Shared lock(l.lock);
    return find_first(l.links, [&](const LinkRecord& k) { return k.local_port == local_port; });
}

int parse_dotted_address(const char* text, std::size_t n, std::uint32_t* out) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= n || text[i] != '.') return 0;
            ++i;
        }
        const std::size_t digits = std::strspn(text + i, "0123456789");
        unsigned number = 0;
        if (digits > 3 || i + digits > n || !platform::parse_decimal(text + i, digits, 0, 255, &number)) return 0;
        i += digits;
        value = (value << 8) | number;
    }
    if (i != n) return 0;
    *out = value;
    return 1;
}

// --- allowed IP list -----------------------------------------------------

int add_ip_entry(ConfigLists& l, const char* text) {
    if (empty(text)) return kNotFound;
    const std::size_t n = std::strlen(text);
    IpEntry r{};
    if (const char* slash = std::strchr(text, '/')) {
        const std::size_t alen = static_cast<std::size_t>(slash - text);
        const char* bits_text = slash + 1;
        const char* bits_end = text + n;
        int bits = 0;
        if (!platform::parse_decimal(bits_text, static_cast<std::size_t>(bits_end - bits_text), 1, 32, &bits))
            return kNotFound;
        if (!parse_dotted_address(text, alen, &r.start)) return kNotFound;
        // Not aligned to the prefix: the range counts from the given address.
        const std::uint64_t last = std::uint64_t{r.start} + (std::uint64_t{1} << (32 - bits)) - 1;
        if (last > 0xFFFFFFFFu) return kNotFound;
        r.end = static_cast<std::uint32_t>(last);
        char a[16];
        char b[16];
        address_text(r.start, a, sizeof a);
        address_text(r.end, b, sizeof b);
        platform::format_bounded(r.text, "%s-%s", a, b);
    } else if (const char* dash = std::strchr(text, '-')) {
        if (!parse_dotted_address(text, static_cast<std::size_t>(dash - text), &r.start) ||
            !parse_dotted_address(dash + 1, std::strlen(dash + 1), &r.end))
            return kNotFound;
        platform::copy_bounded(r.text, text);
    } else {
        if (!parse_dotted_address(text, n, &r.start)) return kNotFound;
        r.end = r.start;
        platform::copy_bounded(r.text, text);
    }
    if (r.start > r.end) return kNotFound;
    Exclusive lock(l.lock);
    const int dup = find_first(
        l.ips, [&](const IpEntry& e) { return strncasecmp(e.text, r.text, kEntryCompare) == 0; });
    if (dup >= 0) return kNotFound;
    return insert_sorted(l.ips, r, order_ip);
}

int remove_ip_entry(ConfigLists& l, const char* text) {
    if (empty(text)) return 0;
    Exclusive lock(l.lock);
    return remove_at(l.ips, find_first(l.ips, [&](const IpEntry& e) {
                         return strncasecmp(e.text, text, kEntryCompare) == 0;
                     }));
}

// --- POP3 download accounts ----------------------------------------------

int insert_pop3_account(ConfigLists& l, const Pop3Account& a) {
    Exclusive lock(l.lock);
    return insert_sorted(l.pop3, a, order_pop3);
}

int find_pop3_account(const ConfigLists& l, const char* user, const char* server) {
    Shared lock(l.lock);
    return find_pop3_unlocked(l, user, server);
}

int remove_pop3_account(ConfigLists& l, const char* account_text) {
    Exclusive lock(l.lock);
    return remove_pop3_by_text_unlocked(l, account_text);
}

int remove_pop3_account_by_local(ConfigLists& l, const char* name) {
    if (!name) return 0;
    Exclusive lock(l.lock);
    return remove_at(l.pop3, find_first(l.pop3, [&](const Pop3Account& a) {
                         return std::strncmp(a.KorvanetAccount, name, kNameCompare) == 0;
                     }));
}

int remove_pop3_account_by_item(ConfigLists& l, const char* first_part, const char* email) {
    if (!first_part) return 0;
    Exclusive lock(l.lock);
    if (std::strcmp(first_part, "@") == 0) {
        if (!email) return 0;
        return remove_at(l.pop3, find_first(l.pop3, [&](const Pop3Account& a) {
                             return std::strncmp(a.EMailAddress, email,
                                                 sizeof a.EMailAddress - 1) == 0;
                         }));
    }
    return remove_pop3_by_text_unlocked(l, first_part);
}

// --- sorting rules -------------------------------------------------------

int add_sort_rule(ConfigLists& l, const char* header_to, const char* account) {
    if (empty(header_to) || empty(account)) return kNotFound;
    SortRule r{};
    platform::copy_bounded(r.HeaderTo, header_to);
    platform::copy_bounded(r.KorvanetAccount, account);
    Exclusive lock(l.lock);
    const int dup = find_first(l.rules, [&](const SortRule& k) {
        return strncasecmp(k.HeaderTo, header_to, kHeaderToCompare) == 0;
    });
    if (dup >= 0) return kNotFound;
    return insert_sorted(l.rules, r, order_sort_rule);
}

int insert_sort_rule(ConfigLists& l, const SortRule& r) {
    Exclusive lock(l.lock);
    return insert_sorted(l.rules, r, order_sort_rule);
}

int remove_sort_rule(ConfigLists& l, const char* header_to) {
    if (empty(header_to)) return 0;
    Exclusive lock(l.lock);
    return remove_at(l.rules, find_first(l.rules, [&](const SortRule& k) {
                         return strncasecmp(k.HeaderTo, header_to, kHeaderToCompare) == 0;
                     }));
}

int remove_sort_rule_by_local(ConfigLists& l, const char* name) {
    if (!name) return 0;
    Exclusive lock(l.lock);
    return remove_at(l.rules, find_first(l.rules, [&](const SortRule& k) {
                         return std::strncmp(k.KorvanetAccount, name, kNameCompare) == 0;
                     }));
}

int match_sort_rule(const ConfigLists& l, const char* address) {
    if (!address) return kNotFound;
    char upper[kHeaderToCompare + 1];
    platform::copy_bounded(upper, address);
    for (char* p = upper; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    Shared lock(l.lock);
    return find_first(l.rules, [&](const SortRule& k) {
        char rule[sizeof k.HeaderTo];
        platform::copy_bounded(rule, k.HeaderTo);
        for (char* p = rule; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
        return std::strstr(upper, rule) != nullptr;
    });
}

// --- dumps ---------------------------------------------------------------

// Each dump sends a copy taken under the lock, so a slow reader on the socket
// never holds up the administration's changes.
void dump_users(const ConfigLists& l, int fd) {
    std::vector<UserRecord> copy;
    {
        Shared lock(l.lock);
        copy = l.users;
    }
    (void)net::send_text(fd, "--------- DUMPING : User List -------\n");
    for (const UserRecord& u : copy)
        send_line(fd, "%s : %s : %s : %s\n", u.id, u.name, u.digest, u.groups);
}

void dump_groups(const ConfigLists& l, int fd) {
    std::vector<GroupRecord> copy;
    {
        Shared lock(l.lock);
        copy = l.groups;
    }
    (void)net::send_text(fd, "--------- DUMPING : Group List -------\n");
    for (const GroupRecord& g : copy) send_line(fd, "%s : %s\n", g.id, g.name);
    (void)net::send_text(fd, " \n");
}

void dump_access(const ConfigLists& l, int fd) {
    std::vector<AccessRule> copy;
    {
        Shared lock(l.lock);
        copy = l.access;
    }
    (void)net::send_text(fd, "--------- DUMPING : Access List -------\n");
    for (const AccessRule& r : copy) send_line(fd, "%s : %s\n", r.pattern, r.members);
}

void dump_pop3(const ConfigLists& l, int fd) {
    std::vector<Pop3Account> copy;
    {
        Shared lock(l.lock);
        copy = l.pop3;
    }
    (void)net::send_text(fd, "--------- DUMPING : mail List -------\n");
    int i = 0;
    for (const Pop3Account& a : copy) {
        send_line(fd, "%d %s %s %s %s %s\n", i++, a.RemotePOP3User, a.RemotePOP3Server,
                  a.EMailAddress, a.Password, a.KorvanetAccount);
    }
}

}  // namespace kv::config
