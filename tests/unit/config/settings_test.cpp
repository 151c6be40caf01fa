#include "config/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "platform/install_dir.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "tests/unit/test_support.h"

namespace kv::config {
namespace {

const std::string kHead = "Windows Registry Editor Version 5.00\n\n";
const std::string kSection = "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]\n";
// The installation directory of this test program, removed when it ends.
const kv::test::ScratchDir kHomeDir("kv-settings-home");
const std::string kHome = kHomeDir.with_slash();

// The installation directory is computed once per process: fix it before any test.
const bool kHomeSet = [] {
    setenv("KORVANET_HOME", kHome.c_str(), 1);
    return true;
}();

const SettingInfo& row_of(const char* name) {
    for (std::size_t i = 0; i < kSettingCount; ++i)
        if (std::strcmp(kSettingTable[i].name, name) == 0) return kSettingTable[i];
    ADD_FAILURE() << "no setting " << name;
    return kSettingTable[0];
}
int& number(Settings& s, const char* name) {
    return *reinterpret_cast<int*>(reinterpret_cast<char*>(&s) + row_of(name).offset);
}
std::string text(const Settings& s, const char* name) {
    return reinterpret_cast<const char*>(&s) + row_of(name).offset;
}
char* text_field(Settings& s, const char* name) { return reinterpret_cast<char*>(&s) + row_of(name).offset; }

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kHomeSet);
        setenv("KORVANET_REGISTRY", path_.c_str(), 1);
    }

    void write(const std::string& body) {
        std::ofstream f(path_, std::ios::binary);
        f << kHead << body;
    }
    std::string read() { return kv::test::read_file(path_); }
    // Settings holds a lock and the lists: one fresh record per use.
    static std::unique_ptr<Settings> fresh() { return std::make_unique<Settings>(); }

    const kv::test::ScratchDir scratch_{"kv-settings"};
    const std::string path_ = (scratch_.path / "registry.reg").string();
};

TEST_F(SettingsTest, FreshRegistryGivesDefaultsAndTheFirstSaveStoresThemAll) {
    EXPECT_STREQ(platform::install_dir(), kHome.c_str());
    auto s = fresh();
    EXPECT_EQ(load_settings(*s), 1);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const SettingInfo& r = kSettingTable[i];
        if (!r.is_text) {
            EXPECT_EQ(number(*s, r.name), r.default_number) << r.name;
        } else if (r.flags & kDefaultInInstallDir) {
            EXPECT_EQ(text(*s, r.name), kHome + (r.default_text + 2)) << r.name;
        } else {
            EXPECT_EQ(text(*s, r.name), r.default_text) << r.name;
        }
    }
    EXPECT_EQ(text(*s, "LogsDir"), kHome + "logs");
    ASSERT_EQ(s->lists.groups.size(), 1u);
    EXPECT_STREQ(s->lists.groups[0].name, "Admins");

    ASSERT_EQ(save_settings(*s), 1);
    ASSERT_EQ(platform::registry_open(path_.c_str()), 1);
    std::vector<std::string> names = platform::registry_value_names(kSettingsKey);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const SettingInfo& r = kSettingTable[i];
        bool stored = std::find(names.begin(), names.end(), r.name) != names.end();
        EXPECT_EQ(stored, !(r.flags & kReadOnly)) << r.name;
    }
    EXPECT_EQ(names.size(), kSettingCount - 3);
    EXPECT_NE(read().find("\"ProxyPort\"=dword:00000c38\n"), std::string::npos);
}

TEST_F(SettingsTest, StoredValuesLoadValidated) {
    struct Case {
        const char* line;  // as stored
        const char* name;
        const char* text;  // expected text, or null for a number
        int number;
    };
    const std::string kLongProblems = std::string(40, 'p');
    const std::string kMaxProblems = std::string(29, 'p');
    const std::string problems40 = "\"ProblemsTo\"=\"" + kLongProblems + "\"\n";
    const std::string problems29 = "\"ProblemsTo\"=\"" + kMaxProblems + "\"\n";
    const std::string mail = kHome + "mail";
    const std::string cache = kHome + "cache";
    const Case kCases[] = {
        {"\"Timeout\"=dword:00000001\n", "Timeout", nullptr, 2},
        {"\"Timeout\"=dword:00000028\n", "Timeout", nullptr, 40},
        {"\"Timeout\"=\"5\"\n", "Timeout", nullptr, 10},  // a text where a number belongs
        {"\"ConnectRetry\"=dword:00000009\n", "ConnectRetry", nullptr, 4},
        {"\"CacheSize\"=dword:00000000\n", "CacheSize", nullptr, 1},
        {"\"ProxyPort\"=dword:ffffffff\n", "ProxyPort", nullptr, 1},  // -1 clamps up
        {"\"SocksType\"=dword:00000007\n", "SocksType", nullptr, 7},  // no limits
        {"\"DnsServer\"=\"dns.example.net\"\n", "DnsServer", "", 0},
        {"\"DnsServer\"=\" 192.168.1.1 \"\n", "DnsServer", "192.168.1.1", 0},
        {"\"DnsServer\"=\"192.168.1\"\n", "DnsServer", "", 0},
        {problems40.c_str(), "ProblemsTo", "problems.log", 0},
        {problems29.c_str(), "ProblemsTo", kMaxProblems.c_str(), 0},
        {"\"ProblemsTo\"=dword:00000001\n", "ProblemsTo", "problems.log", 0},
        {"\"NewsServer\"=\" \\t news \"\n", "NewsServer", "\\t news", 0},
        {"\"EtrnNode\"=\"  node \"\n", "EtrnNode", "  node ", 0},  // not trimmed
        {"\"MailDir\"=\"/srv/mail/\"\n", "MailDir", "/srv/mail", 0},
        {"\"MailDir\"=\"   \"\n", "MailDir", mail.c_str(), 0},
        {"\"CacheDir\"=\"C:\\\\cache\\\\\"\n", "CacheDir", "C:\\cache", 0},
        {"\"CacheDir\"=\"\"\n", "CacheDir", cache.c_str(), 0},
        {"\"LogsDir\"=\"/var/log/kv/\"\n", "LogsDir", "/var/log/kv/", 0},  // keeps its slash
        {"\"RasPassword\"=\"9e9d9c\"\n", "RasPassword", "abc", 0},
        {"\"SmtpAuthPass\"=\"a\\\"b\\\\c\\\\\\\"\"\n", "SmtpAuthPass", "a\"b\\c\\\"", 0},
        {"\"SmtpServerPort\"=dword:0000024b\n", "SmtpServerPort", nullptr, 587},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        write(kSection + c.line);
        auto s = fresh();
        EXPECT_EQ(load_settings(*s), 1);
        if (c.text)
            EXPECT_EQ(text(*s, c.name), c.text) << "row " << i;
        else
            EXPECT_EQ(number(*s, c.name), c.number) << "row " << i;
    }
}

TEST_F(SettingsTest, HandEditedTextsSurviveARewrite) {
    const std::string kTricky = "C:\\Program Files\\\"quoted\" \\\\ end\\";
    std::string escaped;
    for (char c : kTricky) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    write(kSection + "\"RunOnDial\"=\"" + escaped + "\"\n\"HangUp\"=dword:0000002a\n; note\n");
    auto s = fresh();
    load_settings(*s);
    EXPECT_EQ(text(*s, "RunOnDial"), kTricky);
    EXPECT_EQ(number(*s, "HangUp"), 42);
    ASSERT_EQ(save_settings(*s), 1);
    EXPECT_NE(read().find("\"RunOnDial\"=\"" + escaped + "\"\n"), std::string::npos);
    EXPECT_NE(read().find("; note\n"), std::string::npos);
    auto again = fresh();
    load_settings(*again);
    EXPECT_EQ(text(*again, "RunOnDial"), kTricky);
    EXPECT_EQ(number(*again, "HangUp"), 42);
}

TEST_F(SettingsTest, ListsLoadAndSaveInTheirStoredForm) {
    write(kSection + "\n[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\Groups]\n"
                     "\"1\"=\"900<|>Admins<|>\"\n"
                     "\"2\"=\"901<|>Accounting<|>\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\Users]\n"
                     "\"1\"=\"000<|>alice<|>0123456789abcdef0123456789abcdef<|>900:901:<|>\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\Links]\n"
                     "\"1\"=\"8080<|>web.example<|>80<|><|>\"\n"
                     "\"2\"=\"53<|>10.0.0.1<|>53<|>UDP<|>\"\n"
                     "\"3\"=\"25<|>mail.example<|>25<|>0<|>\"\n"
                     "\"5\"=\"99<|>after a gap<|>99<|>TCP<|>\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\TTLs]\n"
                     "\"1\"=\"5<|>*.gif<|>\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\IP]\n"
                     "\"1\"=\"192.168.0.1-192.168.0.99<|>\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\Access]\n"
                     "\"1\"=\"*<|>900:<|>\"\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\Rules]\n"
                     "\"1\"=\"alice<|>*@example.com<|>\"\n");
    auto s = fresh();
    load_settings(*s);
    const ConfigLists& l = s->lists;
    ASSERT_EQ(l.groups.size(), 2u);  // the stored Admins is not a second one
    EXPECT_STREQ(l.groups[0].name, "Admins");
    EXPECT_STREQ(l.groups[0].id, "900");
    EXPECT_STREQ(l.groups[1].name, "Accounting");
    ASSERT_EQ(l.users.size(), 1u);
    EXPECT_STREQ(l.users[0].digest, "0123456789abcdef0123456789abcdef");
    EXPECT_STREQ(l.users[0].groups, "900:901:");
    ASSERT_EQ(l.links.size(), 3u);  // reading stops at the first missing number
    EXPECT_EQ(l.links[0].local_port, 25);
    EXPECT_STREQ(l.links[0].protocol, "TCP");  // "0"
    EXPECT_STREQ(l.links[1].protocol, "UDP");
    EXPECT_STREQ(l.links[2].protocol, "TCP");  // empty
    EXPECT_EQ(l.links[2].remote_port, 80);
    ASSERT_EQ(l.ttls.size(), 1u);
    EXPECT_EQ(l.ttls[0].days, 5);
    ASSERT_EQ(l.ips.size(), 1u);
    ASSERT_EQ(l.access.size(), 1u);
    EXPECT_STREQ(l.access[0].members, "900:");
    ASSERT_EQ(l.rules.size(), 1u);
    EXPECT_STREQ(l.rules[0].KorvanetAccount, "alice");
    EXPECT_STREQ(l.rules[0].HeaderTo, "*@example.com");

    ASSERT_EQ(save_settings(*s), 1);
    std::string text;
    const std::string groups = std::string(kSettingsKey) + "\\Groups";
    ASSERT_TRUE(platform::registry_get_text(groups.c_str(), "1", &text));
    EXPECT_EQ(text, "901<|>Accounting<|>");
    EXPECT_FALSE(platform::registry_get_text(groups.c_str(), "2", &text));
    const std::string links = std::string(kSettingsKey) + "\\Links";
    ASSERT_TRUE(platform::registry_get_text(links.c_str(), "3", &text));
    EXPECT_EQ(text, "8080<|>web.example<|>80<|>TCP<|>");
    EXPECT_FALSE(platform::registry_get_text(links.c_str(), "4", &text));
    const std::string users = std::string(kSettingsKey) + "\\Users";
    ASSERT_TRUE(platform::registry_get_text(users.c_str(), "1", &text));
    EXPECT_EQ(text, "000<|>alice<|>0123456789abcdef0123456789abcdef<|>900:901:<|>");
    const std::string ttls = std::string(kSettingsKey) + "\\TTLs";
    ASSERT_TRUE(platform::registry_get_text(ttls.c_str(), "1", &text));
    EXPECT_EQ(text, "5<|>*.gif<|>");
}

TEST_F(SettingsTest, Pop3PasswordsAreStoredScrambledAndLoadBack) {
    const std::string k30(30, 'x');
    struct Case {
        std::string password, loaded;
        std::size_t hex_digits;
    };
    const Case kCases[] = {
        {"", "", 0},
        {"abc", "abc", 16},  // 3 + 5 pad bytes
        {"abcd", "abcd", 18},
        {"abcde", "abcde", 10},
        {"\x01\x1f\x02 odd", "\x01\x1f\x02 odd", 14},
        {"p\xc3\xa4ss\"w\\rd", "p\xc3\xa4ss\"w\\rd", 20},
        {k30, k30, 60},
        {k30 + "yz", k30, 60},  // cut to the 30 that are stored
        {"x\x01\x1f\x02\x1e\x03" "1y", "x\x01\x1f\x02\x1e\x03" "1y", 16},  // the pad marker inside
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        unlink(path_.c_str());
        auto s = fresh();
        load_settings(*s);
        Pop3Account a{};
        std::snprintf(a.RemotePOP3User, sizeof a.RemotePOP3User, "user%zu", i);
        std::snprintf(a.Password, sizeof a.Password, "%s", c.password.c_str());
        std::snprintf(a.RemotePOP3Server, sizeof a.RemotePOP3Server, "pop.example:110");
        std::snprintf(a.KorvanetAccount, sizeof a.KorvanetAccount, "[Admins]");
        ASSERT_GE(insert_pop3_account(s->lists, a), 0);
        ASSERT_EQ(save_settings(*s), 1) << "row " << i;
        EXPECT_EQ(std::string(s->lists.pop3[0].Password), c.password.substr(0, 60)) << "row " << i;

        std::string stored;
        const std::string key = std::string(kSettingsKey) + "\\Pop3";
        ASSERT_TRUE(platform::registry_get_text(key.c_str(), "1", &stored));
        std::size_t first = stored.find("<|>"), second = stored.find("<|>", first + 3);
        std::string field = stored.substr(first + 3, second - first - 3);
        EXPECT_EQ(field.size(), c.hex_digits) << "row " << i;
        EXPECT_EQ(field.find_first_not_of("0123456789abcdef"), std::string::npos) << "row " << i;

        auto again = fresh();
        load_settings(*again);
        ASSERT_EQ(again->lists.pop3.size(), 1u);
        EXPECT_EQ(std::string(again->lists.pop3[0].Password), c.loaded) << "row " << i;
        EXPECT_STREQ(again->lists.pop3[0].KorvanetAccount, "[Admins]");
    }
}

TEST_F(SettingsTest, DialPasswordIsStoredAsComplementHex) {
    char buf[16] = "abc";
    scramble_dial_password(buf, sizeof buf);
    EXPECT_STREQ(buf, "9e9d9c");
    unscramble_dial_password(buf, sizeof buf);
    EXPECT_STREQ(buf, "abc");
    std::strcpy(buf, "9E9D9C");
    unscramble_dial_password(buf, sizeof buf);
    EXPECT_STREQ(buf, "abc");

    // The longest password (59) is stored as 118 digits and still loads back.
    auto s = fresh();
    load_settings(*s);
    const std::string longest(59, '#');
    std::snprintf(text_field(*s, "RasPassword"), 60, "%s", longest.c_str());
    ASSERT_EQ(save_settings(*s), 1);
    EXPECT_EQ(text(*s, "RasPassword"), longest);
    std::string stored;
    ASSERT_TRUE(platform::registry_get_text(kSettingsKey, "RasPassword", &stored));
    EXPECT_EQ(stored.size(), 118u);
    auto again = fresh();
    load_settings(*again);
    EXPECT_EQ(text(*again, "RasPassword"), longest);
}

TEST_F(SettingsTest, CorruptRegistryGivesDefaultsAndIsNotOverwritten) {
    const std::string body = kSection + "\"Timeout\"=dword:0000001e\n\"ProxyPort\"=\"unterminated\n";
    write(body);
    auto s = fresh();
    EXPECT_EQ(load_settings(*s), 1);
    EXPECT_EQ(number(*s, "Timeout"), 10);
    EXPECT_EQ(number(*s, "ProxyPort"), 3128);
    EXPECT_EQ(save_settings(*s), 0);
    EXPECT_EQ(read(), kHead + body);
}

TEST_F(SettingsTest, StatisticsSaveEveryCounterAndLoadAllButHoursSinceLast) {
    auto s = fresh();
    load_settings(*s);
    ASSERT_EQ(open_statistics(), 1);
    Statistics& st = statistics();
    st = Statistics{1, 2, 3, 4, 5, 6, 7, 8, 1, 1700000000u, 11, 12, 13};
    ASSERT_EQ(save_statistics(), 1);
    const std::string out = read();
    EXPECT_NE(out.find("[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\\Status]\n"), std::string::npos);
    EXPECT_NE(out.find("\"iv\"=dword:0000000a\n"), std::string::npos);
    EXPECT_NE(out.find("\"HoursSinceLast\"=dword:0000000d\n"), std::string::npos);

    st = Statistics{};
    ASSERT_EQ(platform::registry_open(path_.c_str()), 1);
    load_statistics();
    EXPECT_EQ(st.Hit, 1u);
    EXPECT_EQ(st.GopherMiss, 8u);
    EXPECT_EQ(st.HideOnStartup, 1u);
    EXPECT_EQ(st.LastMailSent, 1700000000u);
    EXPECT_EQ(st.LastGarbageMin, 12u);
    EXPECT_EQ(st.HoursSinceLast, 0u);

    // The settings save keeps the Status key it does not own.
    ASSERT_EQ(save_settings(*s), 1);
    EXPECT_NE(read().find("\"iv\"=dword:0000000a\n"), std::string::npos);
    st = Statistics{};
}

TEST_F(SettingsTest, ExportStreamFramesEachSetting) {
    auto s = fresh();
    load_settings(*s);
    number(*s, "LogAccess") = 1;
    std::snprintf(text_field(*s, "SecureInterface"), 256, "%s", "10.0.0.1");
    std::snprintf(text_field(*s, "RasPassword"), 60, "%s", "secret");
    std::snprintf(text_field(*s, "ExceptStrings"), 250, "%s", "intranet local");
    platform::Socket ours, peer;
    kv::test::unix_pair(ours, peer);
    ASSERT_EQ(export_settings(*s, ours.get()), 1);
    ours.reset();
    const std::string got = kv::test::drain(peer);

    using namespace std::string_literals;
    const std::string frame = "\x01\0\0\0\0\0\0\0\0\0"s;
    const std::string start = frame + "\x01LogAccess=1\0"s + "\x01ReverseLookup=0\0"s + "\x01Timeout=10\0"s +
                              "\x01SecureInterface=10.0.0.1\0"s + "\x01ProxyAutoconfig="s + kHome +
                              "proxy.pac\0"s;
    EXPECT_EQ(got.substr(0, start.size()), start);
    EXPECT_NE(got.find("\x01RasPassword=secret\0"s), std::string::npos);
    const std::string end = "\x01" "ExceptStrings=intranet local\0\0"s;
    ASSERT_GE(got.size(), end.size());
    EXPECT_EQ(got.substr(got.size() - end.size()), end);
    std::size_t records = 0;
    for (std::size_t i = frame.size(); i < got.size(); ++i)
        if (got[i] == '\x01') ++records;
    EXPECT_EQ(records, 48u);
}

TEST_F(SettingsTest, KilledWriterNeverLeavesAnUnreadableFile) {
    auto s = fresh();
    load_settings(*s);
    // Enough records that a write takes a while and can be cut anywhere.
    for (int i = 0; i < 400; ++i) {
        char pattern[256];
        std::snprintf(pattern, sizeof pattern, "*.example%d.com/%0200d", i, i);
        ASSERT_GE(add_ttl(s->lists, i % 30, pattern), 0);
    }
    number(*s, "HangUp") = 77;
    ASSERT_EQ(save_settings(*s), 1);

    std::mt19937 rng(12345);
    for (int round = 0; round < 30; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0; i < 100000; ++i) (void)save_settings(*s);
            _exit(0);
        }
        usleep(std::uniform_int_distribution<int>(0, 30000)(rng));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(platform::registry_open(path_.c_str()), 1) << "round " << round;
        std::uint32_t hang_up = 0;
        ASSERT_TRUE(platform::registry_get_dword(kSettingsKey, "HangUp", &hang_up)) << "round " << round;
        EXPECT_EQ(hang_up, 77u);
    }
    auto again = fresh();
    load_settings(*again);
    EXPECT_EQ(again->lists.ttls.size(), 400u);
}

TEST_F(SettingsTest, FullDiskLeavesTheOldSettings) {
    auto s = fresh();
    load_settings(*s);
    ASSERT_EQ(save_settings(*s), 1);
    const std::string before = read();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{512, 512};
        setrlimit(RLIMIT_FSIZE, &lim);
        number(*s, "HangUp") = 99;
        _exit(save_settings(*s) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read(), before);
    auto again = fresh();
    load_settings(*again);
    EXPECT_EQ(number(*again, "HangUp"), 10);
}

}  // namespace
}  // namespace kv::config
