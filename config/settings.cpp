#include "config/settings.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "log/error_codes.h"
#include "log/logs.h"
#include "net/text_scan.h"
#include "platform/bounded_text.h"
#include "platform/install_dir.h"
#include "platform/registry.h"

namespace kv::config {

// Settings holds the lists (a lock and vectors), so it is not standard-layout;
// its setting fields are plain members at fixed offsets all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
const SettingInfo kSettingTable[] = {
#define KV_NUM_ROW(name, def, lo, hi, flags) {#name, false, offsetof(Settings, name), 0, def, nullptr, lo, hi, flags},
#define KV_TEXT_ROW(name, max, def, flags) {#name, true, offsetof(Settings, name), (max) + 1, 0, def, 0, 0, flags},
    KV_SETTINGS(KV_NUM_ROW, KV_TEXT_ROW)
#undef KV_NUM_ROW
#undef KV_TEXT_ROW
};
#pragma GCC diagnostic pop
const std::size_t kSettingCount = std::size(kSettingTable);

namespace {

constexpr const char* kSeparator = "<|>";
constexpr std::size_t kSeparatorLength = 3;
// A stored record is cut after the field that crosses this many characters.
constexpr std::size_t kRecordTextMax = 900;
// Far above any real list (user ids stop at 899); ends the read of a list whose
// values were multiplied by hand.
constexpr int kMaxListRecords = 100000;
constexpr std::size_t kKeyPathSize = 128;
constexpr std::size_t kRecordNameSize = 12;  // "100000" + NUL, with room
// The scrambled dial-up password: two hex digits for each of its 59 characters.
constexpr std::size_t kDialScrambledSize = 2 * sizeof(Settings::RasPassword) - 1;
constexpr std::size_t kPop3ScrambledSize = sizeof(Pop3Account::Password);

// The exported settings of /java/in, in the order the applet reads them.
constexpr const char* kExportOrder[] = {
    "LogAccess",     "ReverseLookup",   "Timeout",       "SecureInterface", "ProxyAutoconfig",
    "ParentProxy",   "ParentProxyPort", "MailDir",       "CacheDir",        "CacheSize",
    "MaxGopherSize", "MaxHttpSize",     "MaxFtpSize",    "EnableCache",     "ContinueAborted",
    "KeepAborted",   "ProxyPort",       "AdminPort",     "NewsServer",      "DnsServer",
    "SocksPort",     "SocksType",       "Telnet",        "TelnetPort",      "FTP",
    "FTPPort",       "RealAudio",       "RealAudioPort", "MailType",        "SMTPServer",
    "POP3Server",    "MailSendRcvType", "MailSendRcvTime", "AllowToDial",   "SMTP1",
    "SMTP2",         "ProblemsTo",      "GopherTTL",     "HttpTTL",         "FtpTTL",
    "ConnName",      "RasUsername",     "RasPassword",   "HangUp",          "HideConnected",
    "DialEvery",     "ExceptLocalNames", "ExceptStrings",
};
constexpr std::size_t kExportFrameSize = 10;

int& number_field(Settings& s, const SettingInfo& row) {
    return *reinterpret_cast<int*>(reinterpret_cast<char*>(&s) + row.offset);
}
const int& number_field(const Settings& s, const SettingInfo& row) {
    return *reinterpret_cast<const int*>(reinterpret_cast<const char*>(&s) + row.offset);
}
char* text_field(Settings& s, const SettingInfo& row) { return reinterpret_cast<char*>(&s) + row.offset; }
const char* text_field(const Settings& s, const SettingInfo& row) {
    return reinterpret_cast<const char*>(&s) + row.offset;
}

const SettingInfo* find_setting(const char* name) {
    for (std::size_t i = 0; i < kSettingCount; ++i)
        if (std::strcmp(kSettingTable[i].name, name) == 0) return &kSettingTable[i];
    return nullptr;
}

void set_default_text(Settings& s, const SettingInfo& row) {
    char* field = text_field(s, row);
    // These defaults read "%s<name>": the name joined to the installation directory.
    if ((row.flags & kDefaultInInstallDir) && std::strncmp(row.default_text, "%s", 2) == 0)
        platform::format_bounded(field, row.capacity, "%s%s", platform::install_dir(), row.default_text + 2);
    else
        platform::copy_bounded(field, row.default_text, row.capacity);
}

void load_setting(Settings& s, const SettingInfo& row) {
    if (!row.is_text) {
        std::uint32_t v = 0;
        number_field(s, row) = platform::registry_get_dword(kSettingsKey, row.name, &v) ? static_cast<int>(v)
                                                                                         : row.default_number;
        return;
    }
    std::string v;
    // The dial-up password is stored at twice its length (hex), and must fit as such.
    std::size_t max = (row.flags & kScrambled) ? kDialScrambledSize - 1 : row.capacity - 1;
    if (!platform::registry_get_text(kSettingsKey, row.name, &v) || v.size() > max) {
        set_default_text(s, row);
        return;
    }
    char* field = text_field(s, row);
    if (row.flags & kScrambled) {
        char scrambled[kDialScrambledSize];
        platform::copy_bounded(scrambled, v.c_str());
        unscramble_dial_password(scrambled, sizeof scrambled);
        platform::copy_bounded(field, scrambled, row.capacity);
    } else {
        platform::copy_bounded(field, v.c_str(), row.capacity);
    }
}

void save_setting(const Settings& s, const SettingInfo& row) {
    if (!row.is_text) {
        platform::registry_set_dword(kSettingsKey, row.name, static_cast<std::uint32_t>(number_field(s, row)));
        return;
    }
    if (row.flags & kScrambled) {
        // Scrambled in a copy: the record keeps the plain password the services use.
        char scrambled[kDialScrambledSize];
        platform::copy_bounded(scrambled, text_field(s, row));
        scramble_dial_password(scrambled, sizeof scrambled);
        platform::registry_set_text(kSettingsKey, row.name, scrambled);
        return;
    }
    platform::registry_set_text(kSettingsKey, row.name, text_field(s, row));
}

// --- lists --------------------------------------------------------------------

void list_key(const char* subkey, char (&out)[kKeyPathSize]) {
    platform::format_bounded(out, "%s\\%s", kSettingsKey, subkey);
}

// Splits a stored record at the separators into at most count fields; fields a
// short record lacks stay empty.
void split_record(const std::string& text, std::size_t count, std::vector<std::string>* fields) {
    fields->assign(count, std::string());
    std::size_t start = 0;
    for (std::size_t i = 0; i < count && start <= text.size(); ++i) {
        std::size_t end = text.find(kSeparator, start);
        if (end == std::string::npos) {
            (*fields)[i] = text.substr(start);
            break;
        }
        (*fields)[i] = text.substr(start, end - start);
        start = end + kSeparatorLength;
    }
}

// Decimal text to number as the lists store them: leading blanks and a sign,
// then digits; anything else ends the number (none gives 0).
int to_number(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Calls insert(fields) for each record "1", "2", ... of subkey until one is missing.
template <typename Insert>
void load_list(const char* subkey, std::size_t field_count, Insert insert) {
    char key[kKeyPathSize];
    list_key(subkey, key);
    platform::registry_create_key(key);
    std::vector<std::string> fields;
    for (int n = 1; n <= kMaxListRecords; ++n) {
        char name[kRecordNameSize];
        platform::format_bounded(name, "%d", n);
        std::string text;
        if (!platform::registry_get_text(key, name, &text)) break;
        split_record(text, field_count, &fields);
        insert(fields);
    }
}

void load_lists(ConfigLists& l) {
    reset_lists(l);
    load_list("Pop3", 5, [&](const std::vector<std::string>& f) {
        Pop3Account a{};
        platform::copy_bounded(a.RemotePOP3User, f[0].c_str());
        platform::copy_bounded(a.Password, f[1].c_str());
        unscramble_pop3_password(a.Password, sizeof a.Password);
        platform::copy_bounded(a.EMailAddress, f[2].c_str());
        platform::copy_bounded(a.RemotePOP3Server, f[3].c_str());
        platform::copy_bounded(a.KorvanetAccount, f[4].c_str());
        (void)insert_pop3_account(l, a);
    });
    load_list("Rules", 2, [&](const std::vector<std::string>& f) {
        SortRule r{};
        platform::copy_bounded(r.KorvanetAccount, f[0].c_str());
        platform::copy_bounded(r.HeaderTo, f[1].c_str());
        (void)insert_sort_rule(l, r);
    });
    load_list("TTLs", 2, [&](const std::vector<std::string>& f) { (void)add_ttl(l, to_number(f[0]), f[1].c_str()); });
    load_list("Groups", 2, [&](const std::vector<std::string>& f) {
        // "Admins" is built in and already first; a stored copy would be a second one.
        if (f[0] == kAdminsGroupId || strcasecmp(f[1].c_str(), kAdminsGroupName) == 0) return;
        GroupRecord g{};
        platform::copy_bounded(g.id, f[0].c_str());
        platform::copy_bounded(g.name, f[1].c_str());
        (void)insert_group_record(l, g);
    });
    load_list("Users", 4, [&](const std::vector<std::string>& f) {
        UserRecord u{};
        platform::copy_bounded(u.id, f[0].c_str());
        platform::copy_bounded(u.name, f[1].c_str());
        platform::copy_bounded(u.digest, f[2].c_str());
        platform::copy_bounded(u.groups, f[3].c_str());
        (void)insert_user_record(l, u);
    });
    load_list("Access", 2, [&](const std::vector<std::string>& f) {
        AccessRule r{};
        platform::copy_bounded(r.pattern, f[0].c_str());
        platform::copy_bounded(r.members, f[1].c_str());
        (void)insert_access_rule(l, r);
    });
    load_list("Links", 4, [&](const std::vector<std::string>& f) {
        LinkRecord r{};
        r.local_port = to_number(f[0]);
        platform::copy_bounded(r.host, f[1].c_str());
        r.remote_port = to_number(f[2]);
        platform::copy_bounded(r.protocol, (f[3].empty() || f[3] == "0") ? "TCP" : f[3].c_str());
        (void)insert_link_record(l, r);
    });
    load_list("IP", 1, [&](const std::vector<std::string>& f) { (void)add_ip_entry(l, f[0].c_str()); });
}

// Builds one stored record field by field; once the text has crossed the limit
// the later fields are dropped.
class RecordText {
public:
    void add(const char* field) {
        if (text_.size() > kRecordTextMax) return;
        text_ += field;
        text_ += kSeparator;
    }
    void add(int number) {
        char digits[16];  // "-2147483648" + NUL
        platform::format_bounded(digits, "%d", number);
        add(digits);
    }
    const char* c_str() const { return text_.c_str(); }

private:
    std::string text_;
};

// Replaces subkey with records "1", "2", ... made by fill(record, item).
template <typename Items, typename Fill>
void save_list(const char* subkey, const Items& items, Fill fill) {
    char key[kKeyPathSize];
    list_key(subkey, key);
    platform::registry_delete_key(key);
    platform::registry_create_key(key);
    int n = 0;
    for (const auto& item : items) {
        RecordText r;
        if (!fill(r, item)) continue;
        char name[kRecordNameSize];
        platform::format_bounded(name, "%d", ++n);
        platform::registry_set_text(key, name, r.c_str());
    }
}

void save_lists(const ConfigLists& l) {
    std::shared_lock<std::shared_mutex> guard(l.lock);
    save_list("Pop3", l.pop3, [](RecordText& r, const Pop3Account& a) {
        char password[kPop3ScrambledSize];
        platform::copy_bounded(password, a.Password);
        scramble_pop3_password(password, sizeof password);
        r.add(a.RemotePOP3User);
        r.add(password);
        r.add(a.EMailAddress);
        r.add(a.RemotePOP3Server);
        r.add(a.KorvanetAccount);
        return true;
    });
    save_list("Rules", l.rules, [](RecordText& r, const SortRule& s) {
        r.add(s.KorvanetAccount);
        r.add(s.HeaderTo);
        return true;
    });
    save_list("TTLs", l.ttls, [](RecordText& r, const TtlRule& t) {
        r.add(t.days);
        r.add(t.pattern);
        return true;
    });
    save_list("Groups", l.groups, [](RecordText& r, const GroupRecord& g) {
        if (std::strcmp(g.id, kAdminsGroupId) == 0) return false;  // built in, never stored
        r.add(g.id);
        r.add(g.name);
        return true;
    });
    save_list("Users", l.users, [](RecordText& r, const UserRecord& u) {
        r.add(u.id);
        r.add(u.name);
        r.add(u.digest);
        r.add(u.groups);
        return true;
    });
    save_list("Access", l.access, [](RecordText& r, const AccessRule& a) {
        r.add(a.pattern);
        r.add(a.members);
        return true;
    });
    save_list("Links", l.links, [](RecordText& r, const LinkRecord& k) {
        r.add(k.local_port);
        r.add(k.host);
        r.add(k.remote_port);
        r.add(k.protocol);
        return true;
    });
    save_list("IP", l.ips, [](RecordText& r, const IpEntry& e) {
        r.add(e.text);
        return true;
    });
}

bool is_dotted_ipv4(const char* text) {
    in_addr a;
    return inet_pton(AF_INET, text, &a) == 1;
}

bool send_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Settings& live() {
    static Settings s;
    return s;
}

Settings& admin_copy() {
    static Settings s;
    return s;
}

int load_settings(Settings& s) {
    if (!platform::registry_open(platform::registry_path()))
        log::error(log::kErrRegistryLoad, 3, 0, "can't open registry, using default values");
    platform::registry_create_key(kSettingsKey);
    for (std::size_t i = 0; i < kSettingCount; ++i) load_setting(s, kSettingTable[i]);
    load_lists(s.lists);
    validate_settings(s);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const SettingInfo& row = kSettingTable[i];
        if (!row.is_text) continue;
        char* field = text_field(s, row);
        if ((row.flags & kDefaultInInstallDir) && field[0] == '\0') set_default_text(s, row);
        if (row.flags & kNoTrailingSlash) net::trim_trailing_slash(field);
    }
    return 1;
}

int save_settings(Settings& s) {
    platform::registry_create_key(kSettingsKey);
    for (std::size_t i = 0; i < kSettingCount; ++i)
        if (!(kSettingTable[i].flags & kReadOnly)) save_setting(s, kSettingTable[i]);
    save_lists(s.lists);
    if (!platform::registry_flush()) {
        log::error(log::kErrRegistrySave, 3, errno, "can't open registry");
        return 0;
    }
    return 1;
}

void validate_settings(Settings& s) {
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const SettingInfo& row = kSettingTable[i];
        if (!row.is_text) {
            int& v = number_field(s, row);
            if (row.flags & kClamp) {
                if (v < row.lo) v = row.lo;
                if (v > row.hi) v = row.hi;
            }
            continue;
        }
        char* field = text_field(s, row);
        field[row.capacity - 1] = '\0';
        if (row.flags & kTrim) net::trim(field);
        // Only an address is accepted: a name would need the resolver this server names.
        if ((row.flags & kDottedIp) && !is_dotted_ipv4(field)) field[0] = '\0';
    }
}

int export_settings(const Settings& s, int socket_fd) {
    std::string out(kExportFrameSize, '\0');
    out[0] = 1;
    for (const char* name : kExportOrder) {
        const SettingInfo* row = find_setting(name);
        if (!row) continue;
        out += '\x01';
        out += name;
        out += '=';
        if (row->is_text) {
            out += text_field(s, *row);
        } else {
            char digits[16];  // "-2147483648" + NUL
            platform::format_bounded(digits, "%d", number_field(s, *row));
            out += digits;
        }
        out += '\0';
    }
    out += '\0';
    return send_all(socket_fd, out) ? 1 : 0;
}

}  // namespace kv::config
