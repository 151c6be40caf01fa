#pragma once
// The settings record: every setting by its registry value name, plus the
// configuration lists. Two instances live for the whole run: the live settings
// that the services read, and the administration's copy that the configuration
// pages edit.
#include <cstddef>
#include <cstdint>

#include "config/config_lists.h"

namespace kv::config {

// Setting flags.
inline constexpr unsigned kTrim = 1;          // leading/trailing white space removed
inline constexpr unsigned kReadOnly = 2;      // loaded, never written back
inline constexpr unsigned kNoTrailingSlash = 4;  // one trailing '/' or '\' removed
inline constexpr unsigned kDefaultInInstallDir = 8;  // default is "%s..." in the installation directory
inline constexpr unsigned kClamp = 16;        // numbers clamped to [lo, hi]
inline constexpr unsigned kDottedIp = 32;     // cleared unless a dotted IPv4 address
inline constexpr unsigned kScrambled = 64;    // stored with the dial-up scrambling

// The table of settings, in load order.
//   NUM(name, default, lo, hi, flags)   numbers and flags (REG_DWORD)
//   TEXT(name, max, default, flags)     texts of at most max characters (REG_SZ)
#define KV_SETTINGS(NUM, TEXT)                                                     \
    NUM(LogAccess, 0, 0, 0, 0)                                                     \
    NUM(Timeout, 10, 2, 40, kClamp)                                                \
    NUM(ReverseLookup, 0, 0, 0, 0)                                                 \
    TEXT(ProxyAutoconfig, 255, "%sproxy.pac", kTrim | kDefaultInInstallDir)        \
    TEXT(MailDir, 255, "%smail", kTrim | kDefaultInInstallDir | kNoTrailingSlash)  \
    TEXT(CacheDir, 255, "%scache", kTrim | kDefaultInInstallDir | kNoTrailingSlash) \
    TEXT(LogsDir, 255, "%slogs", kTrim | kDefaultInInstallDir)                     \
    NUM(RunAsService, 0, 0, 0, 0)                                                  \
    NUM(CacheSize, 10, 1, 600, kClamp)                                             \
    NUM(MaxGopherSize, 256, 1, 10000, kClamp)                                      \
    NUM(MaxHttpSize, 256, 1, 10000, kClamp)                                        \
    NUM(MaxFtpSize, 256, 1, 10000, kClamp)                                         \
    NUM(CacheFtpDirOnly, 0, 0, 0, 0)                                               \
    NUM(EnableCache, 1, 0, 0, 0)                                                   \
    NUM(ContinueAborted, 0, 0, 0, 0)                                               \
    NUM(KeepAborted, 1, 0, 0, 0)                                                   \
    NUM(IgnoreNo_Cache, 0, 0, 0, 0)                                                \
    NUM(ProxyPort, 3128, 1, 20000, kClamp)                                         \
    NUM(AdminPort, 3129, 1, 20000, kClamp)                                         \
    TEXT(NewsServer, 63, "", kTrim)                                                \
    NUM(Socks4, 0, 0, 0, 0)                                                        \
    NUM(Socks5, 0, 0, 0, 0)                                                        \
    TEXT(DnsServer, 63, "", kTrim | kDottedIp)                                     \
    NUM(SocksPort, 1080, 1, 10000, kClamp)                                         \
    NUM(SocksType, 0, 0, 0, 0)                                                     \
    NUM(Telnet, 0, 0, 0, 0)                                                        \
    NUM(TelnetPort, 23, 1, 10000, kClamp)                                          \
    NUM(FTP, 0, 0, 0, 0)                                                           \
    NUM(FTPPort, 21, 1, 10000, kClamp)                                             \
    NUM(RealAudio, 0, 0, 0, 0)                                                     \
    NUM(RealAudioPort, 1090, 1, 10000, kClamp)                                     \
    NUM(WWWServerPort, 80, 1, 20000, kClamp)                                       \
    NUM(WWWServer, 0, 0, 0, 0)                                                     \
    TEXT(WWWServerDir, 255, "%swww", kTrim | kDefaultInInstallDir)                 \
    TEXT(WWWDefaultIndex, 198, "index.html index.htm default.htm", kTrim)          \
    NUM(WWWDirIndex, 1, 0, 0, 0)                                                   \
    NUM(MailType, 3, 0, 0, 0)                                                      \
    TEXT(SMTPServer, 63, "", kTrim)                                                \
    TEXT(POP3Server, 63, "", kTrim)                                                \
    NUM(MailSendRcvType, 1, 0, 1, kClamp)                                          \
    TEXT(MailSendRcvTime, 199, "00:05", kTrim)                                     \
    NUM(AllowToDial, 0, 0, 0, 0)                                                   \
    TEXT(SMTP1, 63, "", kTrim)                                                     \
    TEXT(SMTP2, 63, "", kTrim)                                                     \
    NUM(POP3DELE, 1, 0, 0, 0)                                                      \
    TEXT(ProblemsTo, 29, "problems.log", kTrim)                                    \
    NUM(HighPriorityMail, 1, 0, 0, 0)                                              \
    TEXT(PrimaryTo, 98, "X-Envelope-To", kTrim)                                    \
    NUM(SortMode, 0, 0, 0, 0)                                                      \
    NUM(ExceptWeekends, 0, 0, 0, 0)                                                \
    TEXT(EtrnNode, 127, "", 0)                                                     \
    NUM(LogMail, 0, 0, 0, 0)                                                       \
    NUM(LogMailSmtp, 0, 0, 0, 0)                                                   \
    NUM(LogMailSend, 0, 0, 0, 0)                                                   \
    TEXT(MailSmtpBackupMbox, 126, "", 0)                                           \
    TEXT(MailLocalDomains, 510, "", 0)                                             \
    TEXT(MailRelayIPs, 1022, "", 0)                                                \
    NUM(MailRelayAuthenticated, 1, 0, 0, 0)                                        \
    TEXT(MailHostname, 254, "mailhost", 0)                                         \
    TEXT(SmtpAuthUser, 126, "", 0)                                                 \
    TEXT(SmtpAuthPass, 126, "", 0)                                                 \
    NUM(SmtpServerPort, 25, 0, 0, kReadOnly)                                       \
    NUM(Pop3ServerPort, 110, 0, 0, kReadOnly)                                      \
    NUM(SmtpSendPort, 25, 0, 0, kReadOnly)                                         \
    NUM(GopherTTL, 20, 0, 1000, kClamp)                                            \
    NUM(HttpTTL, 20, 0, 1000, kClamp)                                              \
    NUM(FtpTTL, 20, 0, 1000, kClamp)                                               \
    TEXT(ConnName, 59, "(none)", kTrim)                                            \
    TEXT(RasUsername, 59, "", kTrim)                                               \
    TEXT(RasPassword, 59, "", kTrim | kScrambled)                                  \
    NUM(HangUp, 10, 1, 1000, kClamp)                                               \
    NUM(HideConnected, 0, 0, 0, 0)                                                 \
    NUM(DialEvery, 0, 0, 0, 0)                                                     \
    NUM(ExceptLocalNames, 1, 0, 0, 0)                                              \
    TEXT(ExceptStrings, 249, "", kTrim)                                            \
    NUM(LogDial, 0, 0, 0, 0)                                                       \
    TEXT(RunOnDial, 255, "", kTrim)                                                \
    NUM(RunOnDialMode, 0, 0, 0, 0)                                                 \
    TEXT(DemandDialSun, 127, "00:00-23:59", 0)                                     \
    TEXT(DemandDialMon, 127, "00:00-23:59", 0)                                     \
    TEXT(DemandDialTue, 127, "00:00-23:59", 0)                                     \
    TEXT(DemandDialWed, 127, "00:00-23:59", 0)                                     \
    TEXT(DemandDialThu, 127, "00:00-23:59", 0)                                     \
    TEXT(DemandDialFri, 127, "00:00-23:59", 0)                                     \
    TEXT(DemandDialSat, 127, "00:00-23:59", 0)                                     \
    NUM(LogSecurity, 0, 0, 0, 0)                                                   \
    TEXT(SecureInterface, 255, "", kTrim)                                          \
    NUM(ConnectRetry, 2, 1, 4, kClamp)                                             \
    NUM(SocksAuthentication, 0, 0, 0, 0)                                           \
    NUM(InternalResolver, 0, 0, 0, 0)                                              \
    TEXT(ParentProxy, 63, "", kTrim)                                               \
    NUM(ParentProxyPort, 3128, 1, 50000, kClamp)                                   \
    TEXT(ParentProxyUsername, 254, "", 0)                                          \
    TEXT(ParentProxyPassword, 254, "", 0)                                          \
    NUM(RefreshStatusPage, 8, 0, 0, 0)                                             \
    NUM(UseBackground, 1, 0, 0, 0)                                                 \
    NUM(WaitDial, 0, 0, 0, 0)                                                      \
    NUM(HardRestart, 0, 0, 0, 0)

struct Settings {
#define KV_SETTING_NUM(name, def, lo, hi, flags) int name = def;
#define KV_SETTING_TEXT(name, max, def, flags) char name[(max) + 1] = {};
    KV_SETTINGS(KV_SETTING_NUM, KV_SETTING_TEXT)
#undef KV_SETTING_NUM
#undef KV_SETTING_TEXT
    ConfigLists lists;
};

// One row per setting, in load order, for the table-driven load/save/validate.
struct SettingInfo {
    const char* name;
    bool is_text;
    std::size_t offset;    // of the field inside Settings
    std::size_t capacity;  // texts: max + 1
    int default_number;
    const char* default_text;
    int lo, hi;
    unsigned flags;
};
extern const SettingInfo kSettingTable[];
extern const std::size_t kSettingCount;

// The live settings, read by every service without a lock.
Settings& live();
// The administration's copy.
Settings& admin_copy();

// Registry key of the settings.
inline constexpr const char* kSettingsKey = "Software\\Tarnwick\\Korvanet";

// Loads every setting and list of s from the registry (defaults for what is
// missing or unusable), validates, fills empty directories. Always returns 1;
// writes entry 1501 when the registry cannot be opened.
int load_settings(Settings& s);
// Writes every setting (but the read-only ones) and every list. 0 and entry
// 1500 when the registry cannot be written.
[[nodiscard]] int save_settings(Settings& s);
// Trims and clamps as the table says.
void validate_settings(Settings& s);

// Statistics kept in the Status key.
struct Statistics {
    std::uint32_t Hit, HttpHit, FtpHit, GopherHit;
    std::uint32_t Miss, HttpMiss, FtpMiss, GopherMiss;
    std::uint32_t HideOnStartup;
    std::uint32_t LastMailSent;
    std::uint32_t GarbageCount, LastGarbageMin, HoursSinceLast;
};
Statistics& statistics();
int open_statistics();     // opens (creates) the key and loads
void load_statistics();
int save_statistics();     // writes every value and "iv" = 10
void close_statistics();   // saves

// The export stream of /java/in, written to a socket. 1 on success.
int export_settings(const Settings& s, int socket_fd);

// POP3 password scrambling (in place; capacity is the buffer size).
void scramble_pop3_password(char* text, std::size_t capacity);
void unscramble_pop3_password(char* text, std::size_t capacity);
// Dial-up password scrambling (in place).
void scramble_dial_password(char* text, std::size_t capacity);
void unscramble_dial_password(char* text, std::size_t capacity);

}  // namespace kv::config
