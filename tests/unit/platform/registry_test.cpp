#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/unit/test_support.h"

namespace kv::platform {
namespace {

constexpr const char* kKey = "Software\\Tarnwick\\Korvanet";
const std::string kHead = "Windows Registry Editor Version 5.00\n\n";

class RegistryTest : public ::testing::Test {
protected:
    void write(const std::string& text, const std::string& path = "") {
        std::ofstream f(path.empty() ? path_ : path, std::ios::binary);
        f << text;
    }
    std::string read(const std::string& path = "") { return kv::test::read_file(path.empty() ? path_ : path); }

    const kv::test::ScratchDir scratch_{"kv-registry"};
    const std::string dir_ = scratch_.path.string(), path_ = dir_ + "/registry.reg";
};

TEST_F(RegistryTest, MissingFileIsAnEmptyTreeAndFlushCreatesIt) {
    std::string nested = dir_ + "/etc/korvanet/registry.reg";
    ASSERT_EQ(registry_open(nested.c_str()), 1);
    EXPECT_STREQ(registry_file(), nested.c_str());
    EXPECT_FALSE(registry_key_exists(kKey));
    registry_set_dword(kKey, "ProxyPort", 3128);
    registry_set_text(kKey, "CacheDir", "/var/lib/korvanet/cache");
    ASSERT_EQ(registry_flush(), 1);
    EXPECT_EQ(read(nested),
              kHead +
                  "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]\n"
                  "\"ProxyPort\"=dword:00000c38\n"
                  "\"CacheDir\"=\"/var/lib/korvanet/cache\"\n\n");
    struct stat st;
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds passwords
}

TEST_F(RegistryTest, HandEditedFileReadsBackAndSurvivesARewrite) {
    const std::string file = "\xEF\xBB\xBF" + kHead +
                             "; kept comment\r\n"
                             "\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]\r\n"
                             "\"Quoted\"=\"say \\\"hi\\\" to C:\\\\dir\\\\\"\r\n"
                             "\"Loose\"=\"C:\\temp\"\n"
                             "\"Port\"=dword:0000ABCD\n"
                             "; inside\n"
                             "\"Blob\"=hex:01,02,\\\n"
                             "  03,04\n"
                             "@=\"default\"\n"
                             "\"Gone\"=-\n"
                             "\"Dup\"=\"first\"\n"
                             "\"dup\"=\"second\"\n"
                             "\n"
                             "[HKEY_CURRENT_USER\\Other]\n"
                             "\"x\"=dword:00000001\n";
    write(file);
    ASSERT_EQ(registry_open(path_.c_str()), 1);
    const std::string key_upper = "SOFTWARE\\TARNWICK\\KORVANET";
    for (int pass = 0; pass < 2; ++pass) {
        std::string text;
        std::uint32_t v = 0;
        ASSERT_TRUE(registry_get_text(kKey, "Quoted", &text)) << "pass " << pass;
        EXPECT_EQ(text, "say \"hi\" to C:\\dir\\");
        ASSERT_TRUE(registry_get_text(key_upper.c_str(), "LOOSE", &text));
        EXPECT_EQ(text, "C:\\temp");
        ASSERT_TRUE(registry_get_dword(kKey, "port", &v));
        EXPECT_EQ(v, 0xabcdu);
        ASSERT_TRUE(registry_get_text(kKey, "Dup", &text));
        EXPECT_EQ(text, "second");
        EXPECT_FALSE(registry_get_text(kKey, "Port", &text));  // another type
        EXPECT_FALSE(registry_get_dword(kKey, "Blob", &v));
        if (pass == 0) {
            EXPECT_EQ(registry_value_names(kKey),
                      (std::vector<std::string>{"Quoted", "Loose", "Port", "Blob", "", "Gone", "Dup"}));
        }
        // Rewrite, then read the written file again.
        registry_set_text(kKey, "Added", "a\\b");
        ASSERT_EQ(registry_flush(), 1);
        ASSERT_EQ(registry_open(path_.c_str()), 1);
    }
    std::string out = read();
    EXPECT_NE(out.find("; kept comment\n"), std::string::npos);
    EXPECT_NE(out.find("; inside\n"), std::string::npos);
    EXPECT_NE(out.find("\"Blob\"=hex:01,02,\\\n  03,04\n"), std::string::npos);
    EXPECT_NE(out.find("\"Port\"=dword:0000abcd\n"), std::string::npos);
    EXPECT_NE(out.find("\"Quoted\"=\"say \\\"hi\\\" to C:\\\\dir\\\\\"\n"), std::string::npos);
    EXPECT_NE(out.find("@=\"default\"\n"), std::string::npos);
    EXPECT_NE(out.find("[HKEY_CURRENT_USER\\Other]\n\"x\"=dword:00000001\n"), std::string::npos);
    EXPECT_EQ(out.find('\r'), std::string::npos);
}

TEST_F(RegistryTest, CorruptFilesFailToOpenAndAreNeverOverwritten) {
    const std::string section = "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]\n";
    const std::string kCorrupt[] = {
        "",                                                               // no header
        "Windows Registry Editor Version 4.00\n\n" + section,              // wrong header
        "REGEDIT4\n",                                                     // old header
        std::string("\xFF\xFEW\0i\0n\0", 8),                              // UTF-16 export
        kHead + section + "\"a\"=\"unterminated\n",                        // open string
        kHead + section + "\"a\"=\"x\" trailing\n",                        // text after the string
        kHead + section + "\"a\"=\"x\\\"\n",                               // escaped closing quote
        kHead + section + "\"a\"=dword:123\n",                            // short dword
        kHead + section + "\"a\"=dword:0000000g\n",                       // not hex
        kHead + section + "\"a\"=dword:000000001\n",                      // nine digits
        kHead + "\"a\"=\"outside\"\n" + section,                         // value before any key
        kHead + section + "\"a\"=\n",                                    // no value
        kHead + section + "\"a\"=bogus\n",                               // no type
        kHead + section + "\"a\"\n",                                     // no '='
        kHead + section + "\"unterminated name=\"x\"\n",                 // open name
        kHead + section + "plain garbage\n",                             // not a value line
        kHead + "[HKEY_LOCAL_MACHINE\\Software\n",                      // open key
        kHead + "[]\n",                                                  // empty key
        kHead + section + "\"a\"=hex:01,\\\n",                           // continuation at end
        kHead + section + std::string("\"a\"=\"x\0y", 8),     // NUL, no close
        kHead + std::string("[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet\0\\Links]\n", 55),  // NUL in a key
        kHead + section + std::string("\"a\"=\"x\0y\"\n", 10),  // NUL in a text
    };
    for (std::size_t i = 0; i < std::size(kCorrupt); ++i) {
        write(kCorrupt[i]);
        EXPECT_EQ(registry_open(path_.c_str()), 0) << "row " << i;
        EXPECT_FALSE(registry_key_exists(kKey)) << "row " << i;
        registry_set_dword(kKey, "ProxyPort", 1);
        EXPECT_EQ(registry_flush(), 0) << "row " << i;
        EXPECT_EQ(read(), kCorrupt[i]) << "row " << i;
    }
}

TEST_F(RegistryTest, KeysDeleteWithTheirSubkeysAndParentsExistThroughChildren) {
    ASSERT_EQ(registry_open(path_.c_str()), 1);
    const std::string users = std::string(kKey) + "\\Users";
    registry_create_key(users.c_str());
    EXPECT_TRUE(registry_key_exists(kKey));
    EXPECT_TRUE(registry_key_exists("software\\tarnwick"));
    EXPECT_FALSE(registry_key_exists("Software\\Tarn"));
    registry_set_text(users.c_str(), "1", "000<|>alice<|>");
    registry_set_dword(kKey, "Timeout", 10);
    registry_set_text(kKey, "Timeout", "now a text");
    std::string text;
    std::uint32_t v;
    EXPECT_FALSE(registry_get_dword(kKey, "Timeout", &v));
    ASSERT_TRUE(registry_get_text(kKey, "Timeout", &text));
    registry_set_text(kKey, "Multi", "line one\r\nline two");
    ASSERT_EQ(registry_flush(), 1);
    ASSERT_EQ(registry_open(path_.c_str()), 1);
    ASSERT_TRUE(registry_get_text(kKey, "Multi", &text));
    EXPECT_EQ(text, "line one  line two");
    // Parents are written before children.
    std::string out = read();
    EXPECT_LT(out.find("Korvanet]"), out.find("Korvanet\\Users]"));

    registry_delete_value(kKey, "TIMEOUT");
    EXPECT_FALSE(registry_get_text(kKey, "Timeout", &text));
    // The values after a deleted one are still found, each as itself.
    ASSERT_TRUE(registry_get_text(kKey, "multi", &text));
    EXPECT_EQ(text, "line one  line two");
    registry_set_text(kKey, "Timeout", "back");
    ASSERT_TRUE(registry_get_text(kKey, "Timeout", &text));
    EXPECT_EQ(text, "back");
    registry_delete_key(kKey);
    EXPECT_FALSE(registry_key_exists(users.c_str()));
    EXPECT_FALSE(registry_get_text(users.c_str(), "1", &text));
}

TEST_F(RegistryTest, FailedWriteLeavesTheOldFileWhole) {
    ASSERT_EQ(registry_open(path_.c_str()), 1);
    registry_set_text(kKey, "Keep", "old");
    ASSERT_EQ(registry_flush(), 1);
    const std::string before = read();

    // A file size limit makes the temporary file's write fail, as a full disk does.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{16, 16};
        setrlimit(RLIMIT_FSIZE, &lim);
        registry_set_text(kKey, "Keep", std::string(4096, 'n').c_str());
        _exit(registry_flush() == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read(), before);
    EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0) << "temporary file left";

    // A directory that cannot exist (its parent is a file).
    std::string blocked = path_ + "/registry.reg";
    ASSERT_EQ(registry_open(blocked.c_str()), 1);
    registry_set_text(kKey, "Keep", "new");
    EXPECT_EQ(registry_flush(), 0);
    EXPECT_EQ(read(), before);
}

TEST_F(RegistryTest, StaleTemporaryFilesOfThisFileAloneAreRemoved) {
    const struct {
        const char* name;
        bool removed;
    } files[] = {
        {"registry.reg.Ab12Cd.tmp", true},
        {"registry.reg.XXXXX9.tmp", true},
        {"registry.reg.ubvnfm.tmp", true},  // six lower-case letters are drawn too
        {"registry.reg.backup", false},
        {"registry.reg.lock", false},
        {"registry.reg.Ab12Cd", false},
        {"registry.reg.Ab12C.tmp", false},
        {"registry.reg.Ab12Cde.tmp", false},
        {"registry.reg.Ab-2Cd.tmp", false},
        {"registry.reg.Ab12Cd.tmpx", false},
        {"other.reg.Ab12Cd.tmp", false},
        {"registry.regAb12Cd.tmp", false},
    };
    for (const auto& f : files) write("x", dir_ + "/" + f.name);
    write(kHead);
    EXPECT_EQ(registry_remove_stale_temps(path_.c_str()), 3);
    for (const auto& f : files)
        EXPECT_EQ(std::filesystem::exists(dir_ + "/" + f.name), !f.removed) << f.name;
    EXPECT_TRUE(std::filesystem::exists(path_));
}

}  // namespace
}  // namespace kv::platform
