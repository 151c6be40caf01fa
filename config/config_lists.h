#pragma once
// The eight configuration lists: users, groups, access list, TTL rules, mapped
// links, allowed IP list, POP3 download accounts and sorting rules. Each is a
// sorted container of fixed records (field widths bind the registry forms and
// the administration's input limits).
//
// Locking: all eight lists of one ConfigLists share one reader/writer lock,
// `lock`. Every function below takes it itself, exclusive for changes and
// shared for reads (finds, matches, password checks, dumps), so a reader never
// sees a half-changed list. The functions never call one another while holding
// it: a shared_mutex is not recursive, and a second shared lock queued behind a
// waiting writer would deadlock. Code that needs several reads to agree (the
// access decision) takes `lock` shared once and reads the vectors directly;
// wildcard_match and password_digest take no lock and may be used inside.
// An index returned by a lookup stays meaningful only while nothing changes the
// list (the administration thread is the only writer). Dumps send a copy taken
// under the lock, so a slow socket never holds the lock.
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <vector>

namespace kv::config {

inline constexpr int kNotFound = -1;
inline constexpr const char* kAdminsGroupId = "900";
inline constexpr const char* kAdminsGroupName = "Admins";
inline constexpr std::size_t kIdListMax = 76;  // 19 tokens of "ddd:"

struct UserRecord {
    char id[5];
    char name[129];
    char digest[33];
    char groups[81];
};
struct GroupRecord {
    char id[5];
    char name[129];
};
struct AccessRule {
    char pattern[257];
    char members[81];
};
struct TtlRule {
    char pattern[256];
    int days;
};
struct LinkRecord {
    char host[256];
    int local_port;
    int remote_port;
    char protocol[16];
};
struct IpEntry {
    char text[34];
    std::uint32_t start;
    std::uint32_t end;
};
struct Pop3Account {
    char RemotePOP3User[129];
    char RemotePOP3Server[257];
    char EMailAddress[257];
    char Password[61];
    char KorvanetAccount[129];
};
struct SortRule {
    char HeaderTo[101];
    char KorvanetAccount[129];
};

struct ConfigLists {
    mutable std::shared_mutex lock;
    std::vector<UserRecord> users;
    std::vector<GroupRecord> groups;
    std::vector<AccessRule> access;
    std::vector<TtlRule> ttls;
    std::vector<LinkRecord> links;
    std::vector<IpEntry> ips;
    std::vector<Pop3Account> pop3;
    std::vector<SortRule> rules;
};

// Empties every list and recreates the group "Admins" (id 900).
void reset_lists(ConfigLists& l);

// MD5 of name + ":Korvanet:" + password, 32 lowercase hex digits + NUL.
void password_digest(const char* name, const char* password, char out[33]);

// --- users ---------------------------------------------------------------
int add_user(ConfigLists& l, const char* name, const char* password);  // index or -1
int insert_user_record(ConfigLists& l, const UserRecord& r);           // sorted, no checks
int remove_user(ConfigLists& l, const char* name);                     // 1/0
int set_password(ConfigLists& l, const char* name, const char* password);
int check_password(const ConfigLists& l, const char* name, const char* password);
int find_user(const ConfigLists& l, const char* name);
int add_to_group(ConfigLists& l, const char* user, const char* group);
int remove_from_group(ConfigLists& l, const char* user, const char* group);
int is_group_member(const ConfigLists& l, const char* user, const char* group);

// --- groups --------------------------------------------------------------
int add_group(ConfigLists& l, const char* name);
int insert_group_record(ConfigLists& l, const GroupRecord& r);
int remove_group(ConfigLists& l, const char* name);
int find_group(const ConfigLists& l, const char* name);

// --- access list ---------------------------------------------------------
int add_access_rule(ConfigLists& l, const char* pattern, const char* selected);
int insert_access_rule(ConfigLists& l, const AccessRule& r);  // appended, no checks
int remove_access_rule(ConfigLists& l, const char* pattern);
int move_access_rule_up(ConfigLists& l, const char* pattern);
int move_access_rule_down(ConfigLists& l, const char* pattern);
int add_access_member(ConfigLists& l, const char* pattern, const char* id);
int remove_access_member(ConfigLists& l, const char* pattern, const char* id);
int is_access_member(const ConfigLists& l, const char* pattern, const char* id);
int first_matching_access_rule(const ConfigLists& l, const char* url);

// --- TTL rules -----------------------------------------------------------
int add_ttl(ConfigLists& l, int days, const char* pattern);
int add_ttl_from_text(ConfigLists& l, const char* text);
int remove_ttl_from_text(ConfigLists& l, const char* text);
// kind: 1 FTP, 2 Gopher, else HTTP; defaults are the given TTL settings.
int ttl_for_url(const ConfigLists& l, const char* url, int kind, int http_ttl, int ftp_ttl,
                int gopher_ttl);

// --- mapped links --------------------------------------------------------
int add_link(ConfigLists& l, int local_port, const char* host, int remote_port,
             const char* protocol);
int insert_link_record(ConfigLists& l, const LinkRecord& r);
int remove_link(ConfigLists& l, const char* list_text);
int find_link(const ConfigLists& l, int local_port);

// --- allowed IP list -----------------------------------------------------
int add_ip_entry(ConfigLists& l, const char* text);
int remove_ip_entry(ConfigLists& l, const char* text);

// --- POP3 download accounts ----------------------------------------------
int insert_pop3_account(ConfigLists& l, const Pop3Account& a);
int find_pop3_account(const ConfigLists& l, const char* user, const char* server);
int remove_pop3_account(ConfigLists& l, const char* account_text);
int remove_pop3_account_by_local(ConfigLists& l, const char* name);
int remove_pop3_account_by_item(ConfigLists& l, const char* first_part, const char* email);

// --- sorting rules -------------------------------------------------------
int add_sort_rule(ConfigLists& l, const char* header_to, const char* account);
int insert_sort_rule(ConfigLists& l, const SortRule& r);
int remove_sort_rule(ConfigLists& l, const char* header_to);
int remove_sort_rule_by_local(ConfigLists& l, const char* name);
int match_sort_rule(const ConfigLists& l, const char* address);

// --- dumps (to a socket) -------------------------------------------------
void dump_users(const ConfigLists& l, int fd);
void dump_groups(const ConfigLists& l, int fd);
void dump_access(const ConfigLists& l, int fd);
void dump_pop3(const ConfigLists& l, int fd);

// The first n characters of text as a strict dotted quad (four parts of 1-3
// digits, each 0-255) in host order; 0 when they are not one.
[[nodiscard]] int parse_dotted_address(const char* text, std::size_t n, std::uint32_t* out);

// '*'-only, case-blind pattern match of the access list and the TTL rules.
bool wildcard_match(const char* pattern, const char* text);

}  // namespace kv::config
