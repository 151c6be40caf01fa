// The mail store: header reader, name checker, delivery through targets,
// groups and sorting rules, problem reports, durable file creation.
#include "mail/mail_store.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/bounded_text.h"
#include "tests/unit/test_support.h"

namespace kv::mail {
namespace {

namespace fs = std::filesystem;

TEST(ReadHeader, JoinsOccurrencesKeepsFoldingStopsAtEmptyLine) {
    struct Case {
        std::string message;
        const char* name;
        int found;
        std::string value;
    } cases[] = {
        {"To: a@b\r\nCc: c\r\n\r\nTo: body\r\n", "To:", 1, " a@b"},
        {"to: x\r\nSubject: s\r\nTO:y\r\n\r\n", "To:", 1, " xy"},
        {"To: a,\r\n\tb,\r\n c\r\nX: 1\r\n\r\n", "To:", 1, " a,\r\n\tb,\r\n c"},
        {"Subject: no empty line\r\nTo: last", "To:", 1, " last"},
        {"To: folded at end\r\n continued", "To:", 1, " folded at end\r\n continued"},
        {"Subject: s\r\n\r\nTo: in body\r\n", "To:", 0, ""},
        {"X-To: no\r\n\r\n", "To:", 0, ""},
        {"Apparently-To: u\r\n\r\n", "Apparently-To:", 1, " u"},
        {"To: " + std::string(153600, 'a') + "\r\n\r\n", "To:", 0, ""},
        {"To:" + std::string(153600, 'a') + "\r\n\r\n", "To:", 1, std::string(153600, 'a')},
        {"", "To:", 0, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        platform::File f = test::scratch_file("junk" + cases[i].message);
        std::string value;
        EXPECT_EQ(read_header(f.get(), 4, cases[i].name, value), cases[i].found) << "row " << i;
        if (cases[i].found) {
            EXPECT_EQ(value, cases[i].value) << "row " << i;
        }
    }
}

TEST(MailboxName, NothingAcceptedLeavesTheMailDirectory) {
    struct Case {
        std::string name;
        bool ok;
    } cases[] = {{"bob", true},   {"problems.log", true}, {"", false},    {".", false},
                 {"..", false},   {".hidden", false},     {"a/b", false}, {"a\\b", false},
                 {std::string("a\0b", 3), false},         {"b..", true},
                 {"../x", false}, {"a/../../b", false}, {"..\\", false}, {"/etc/passwd", false},
                 {"a/", false},   {"%2e%2e%2f", true}};  // never decoded: one literal name
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(mailbox_name_ok(cases[i].name.data(), cases[i].name.size()), cases[i].ok) << "row " << i;
}

TEST(NameDigits, SpoolAndMailboxForms) {
    for (int i = 0; i < 200; ++i) {
        char spool[9], box[8];
        draw_name_digits(true, spool, sizeof spool);
        draw_name_digits(false, box, sizeof box);
        EXPECT_TRUE(std::regex_match(spool, std::regex("[0-9]{8}"))) << spool;
        EXPECT_TRUE(std::regex_match(box, std::regex("[0-9]{7}"))) << box;
    }
}

// A MailDir with users ann and bob in group sales, cy in no group, and the
// group empty without members.
class Store : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(logs_.opened());
        config::Settings& s = config::live();
        (void)platform::copy_bounded(s.MailDir, dir_.path.c_str());
        (void)platform::copy_bounded(s.ProblemsTo, "problems.log");
        (void)platform::copy_bounded(s.PrimaryTo, "X-Envelope-To");
        config::ConfigLists& l = s.lists;
        config::reset_lists(l);
        ASSERT_GE(config::add_group(l, "sales"), 0);
        ASSERT_GE(config::add_group(l, "empty"), 0);
        for (const char* u : {"bob", "ann", "cy"}) ASSERT_GE(config::add_user(l, u, "pw"), 0);
        ASSERT_EQ(config::add_to_group(l, "ann", "sales"), 1);
        ASSERT_EQ(config::add_to_group(l, "bob", "sales"), 1);
    }
    void TearDown() override { config::reset_lists(config::live().lists); }

    void rules(std::vector<std::pair<const char*, const char*>> list) {
        config::live().lists.rules.clear();
        for (auto& [header, target] : list) {
            config::SortRule r{};
            (void)platform::copy_bounded(r.HeaderTo, header);
            (void)platform::copy_bounded(r.KorvanetAccount, target);
            config::live().lists.rules.push_back(r);
        }
    }
    // Every message file of a mailbox, by content.
    std::vector<std::string> box(const char* name) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir_.path / name, ec)) {
            EXPECT_TRUE(std::regex_match(e.path().filename().string(), std::regex("y[0-9]{7}\\.cnm")))
                << e.path();
            out.push_back(test::read_file(e.path()));
        }
        return out;
    }
    int entries(int code) {
        const std::string log = logs_.error_log();
        const std::string key = "Error " + std::to_string(code) + " severity";
        int n = 0;
        for (std::size_t at = 0; (at = log.find(key, at)) != std::string::npos; ++at) ++n;
        return n;
    }

    test::ScratchLogs logs_{"mail-store"};
    test::ScratchDir dir_{"kv-maildir"};
};

const std::string kMessage = "To: Sales Team <s@x>\r\nCc: other\r\nSubject: hi\r\n\r\n..dotted\r\nbody\r\n";

TEST_F(Store, DeliversToUsersGroupsAndRules) {
    platform::File src = test::scratch_file("ENVELOPE\r\n" + kMessage);
    EXPECT_EQ(deliver(src.get(), "cy", 10, nullptr, -1), kDelivered);
    EXPECT_EQ(box("cy"), std::vector<std::string>{kMessage});
    EXPECT_EQ(deliver(src.get(), "[sales]", 10, nullptr, -1), kDelivered);
    EXPECT_EQ(box("ann").size(), 1u);
    EXPECT_EQ(box("bob").size(), 1u);

    // A department word to the group, the default rule last to one user.
    rules({{"sales", "[sales]"}, {"@", "cy"}});
    platform::Socket progress, peer;
    test::unix_pair(progress, peer);
    EXPECT_EQ(deliver(src.get(), "{ RULE }", 10, nullptr, progress.get()), kDelivered);
    EXPECT_EQ(box("ann").size(), 2u);
    EXPECT_EQ(test::read_available(peer), "RULEs: [sales], ");
    platform::File other = test::scratch_file("To: nobody\r\n\r\nx\r\n");
    EXPECT_EQ(deliver(other.get(), "{ RULE }", 0, nullptr, -1), kDelivered);
    EXPECT_EQ(box("cy").size(), 2u);
    // The default rule first: no rule matched, so a problem report.
    rules({{"@", "cy"}, {"sales", "[sales]"}});
    EXPECT_EQ(deliver(other.get(), "{ RULE }", 0, nullptr, -1), kToProblems);
    EXPECT_EQ(entries(1012), 1);
    ASSERT_EQ(box("problems.log").size(), 1u);
    EXPECT_NE(box("problems.log")[0].find("Error description: no sorting rule matched mail recepients!\r\n"),
              std::string::npos);
    EXPECT_EQ(box("cy").size(), 2u);
}

TEST_F(Store, EnvelopeRecipientReplacesToAndCc) {
    rules({{"other", "cy"}, {"sales", "bob"}, {"@", "ann"}});
    platform::File src = test::scratch_file(kMessage);
    // To: matches bob's rule, Cc: matches cy's: both get a copy.
    EXPECT_EQ(deliver(src.get(), "{ RULE }", 0, nullptr, -1), kDelivered);
    EXPECT_EQ(box("bob").size(), 1u);
    EXPECT_EQ(box("cy").size(), 1u);
    // With an envelope recipient neither header is read.
    EXPECT_EQ(deliver(src.get(), "{ RULE }", 0, "someone@nowhere", -1), kDelivered);
    EXPECT_EQ(box("ann").size(), 1u);
    EXPECT_EQ(box("bob").size(), 1u);
    // PrimaryTo: only the first matching rule, the default one is ordinary.
    platform::File primary = test::scratch_file("X-Envelope-To: other sales\r\nTo: sales\r\n\r\nx\r\n");
    EXPECT_EQ(deliver(primary.get(), "{ RULE }", 0, nullptr, -1), kDelivered);
    EXPECT_EQ(box("cy").size(), 2u);
    EXPECT_EQ(box("bob").size(), 1u);
}

TEST_F(Store, ProblemReportsAreExactAndNamedByTheirBoundary) {
    platform::File src = test::scratch_file("Subject: none\r\n\r\nbody\r\n");
    rules({{"x", "cy"}});
    EXPECT_EQ(deliver(src.get(), "{ RULE }", 0, nullptr, -1), kToProblems);
    EXPECT_EQ(entries(1011), 1);
    EXPECT_EQ(deliver(src.get(), "[nogroup]", 0, nullptr, -1), kToProblems);
    EXPECT_EQ(entries(1008), 1);
    EXPECT_EQ(deliver(src.get(), "[empty]", 0, nullptr, -1), kToProblems);
    EXPECT_EQ(entries(1010), 1);
    EXPECT_EQ(deliver(src.get(), "[]", 0, nullptr, -1), kToProblems);
    EXPECT_EQ(entries(1008), 2);
    // A target that begins with "{" is sorted by the rules, whatever follows.
    EXPECT_EQ(deliver(src.get(), "{", 0, nullptr, -1), kToProblems);
    EXPECT_EQ(entries(1011), 2);
    EXPECT_NE(logs_.error_log().find("group [empty] doesn't contain users, e-mail saved in problems.log"),
              std::string::npos);

    std::error_code ec;
    int reports = 0;
    for (const auto& e : fs::directory_iterator(dir_.path / "problems.log", ec)) {
        const std::string name = e.path().filename().string();
        const std::string b = name.substr(1, 7);
        const std::string text = test::read_file(e.path());
        const std::regex head(
            "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
            "[-+][0-9]{2}00\r\nFrom: Korvanet\r\nTo: Postmaster <problems.log>\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/report; report-type=delivery-status; \r\n\tboundary=\"" + b +
            "\"\r\nSubject: Mail error\r\n\r\nThis is a MIME-encapsulated message\r\n\r\n--" + b +
            "\r\n\r\n\r\nError description: ([^\r]*)\r\n\r\nOriginal message is attached.\r\n\r\n--" + b +
            "\r\nContent-Type: message/rfc822\r\n\r\nSubject: none\r\n\r\nbody\r\n\r\n\r\n--" + b + "--\r\n");
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, head)) << text;
        ++reports;
    }
    EXPECT_EQ(reports, 5);
    const std::string all = [&] {
        std::string s;
        for (const auto& t : box("problems.log")) s += t;
        return s;
    }();
    for (const char* problem : {"mail header doesn't contain any To: or Cc: header !",
                                "group [nogroup] doesn't exist !", "group [empty] doesn't contain users !",
                                "group [] doesn't exist !"})
        EXPECT_NE(all.find(std::string("Error description: ") + problem + "\r\n"), std::string::npos) << problem;
}

TEST_F(Store, ProblemsFileCollectsAppendedReports) {
    (void)platform::copy_bounded(config::live().ProblemsTo, "problems.txt");
    platform::File src = test::scratch_file("$$ <a@b>\r\nT <c@d>\r\n\r\nReceived: x\r\n\r\nbody\r\n");
    EXPECT_EQ(return_to_problems(src.get(), "first"), kDelivered);
    EXPECT_EQ(deliver(src.get(), "problems.txt", 21, nullptr, -1), kDelivered);
    EXPECT_EQ(return_to_problems(src.get(), "second"), kDelivered);
    const std::string text = test::read_file(dir_.path / "problems.txt");
    const std::regex report("Date: [^\r]*\r\nFrom: Korvanet\r\nTo: Postmaster <problems.txt>\r\n"
                            "(?:[^\r]*\r\n){2}\tboundary=\"([0-9]{7})\"\r\nSubject: Mail error\r\n\r\n"
                            "This is a MIME-encapsulated message\r\n\r\n--\\1\r\n\r\n\r\nError description: (first|second)"
                            "\r\n\r\nOriginal message is attached.\r\n\r\n--\\1\r\nContent-Type: message/rfc822\r\n\r\n"
                            "Received: x\r\n\r\nbody\r\n\r\n\r\n--\\1--\r\n");
    const std::string r1_end = "--\r\n";
    const std::size_t first_end = text.find(r1_end) + r1_end.size();
    EXPECT_TRUE(std::regex_match(text.substr(0, first_end), report)) << text;
    const std::string plain = "Received: x\r\n\r\nbody\r\n";
    EXPECT_EQ(text.substr(first_end, plain.size()), plain);
    EXPECT_TRUE(std::regex_match(text.substr(first_end + plain.size()), report)) << text;
}

TEST_F(Store, RefusedNamesAndUnwritableMailboxesFailTheStore) {
    platform::File src = test::scratch_file("x\r\n");
    for (const char* name : {"", ".", "..", "../up", "a/b", ".hidden"}) {
        EXPECT_EQ(deliver(src.get(), name, 0, nullptr, -1), kStoreFailed) << name;
    }
    EXPECT_EQ(entries(1035), 6);
    EXPECT_FALSE(fs::exists(dir_.path.parent_path() / "up"));
    // A mailbox path that is a file: the directory can't be made.
    { std::ofstream(dir_.path / "blocked") << "file"; }
    EXPECT_EQ(deliver(src.get(), "blocked", 0, nullptr, -1), kStoreFailed);
    EXPECT_EQ(entries(1035), 7);
}

TEST_F(Store, NewFilesAppearOnlyWhenCommitted) {
    NewFile nf;
    int err = 0;
    ASSERT_EQ(create_new_file(dir_.path.c_str(), true, nf, &err), 1);
    EXPECT_TRUE(std::regex_match(nf.final_name, std::regex("[0-9]{8}\\.pm")));
    EXPECT_TRUE(fs::exists(dir_.path / nf.part_name));
    EXPECT_FALSE(fs::exists(dir_.path / nf.final_name));
    ASSERT_EQ(commit_new_file(nf), 1);
    EXPECT_TRUE(fs::exists(dir_.path / nf.final_name));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path), fs::directory_iterator()), 1);
    // Twenty names taken at once are twenty files; abandoned, they leave nothing.
    std::vector<NewFile> many(20);
    for (NewFile& f : many) ASSERT_EQ(create_new_file(dir_.path.c_str(), false, f, &err), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path), fs::directory_iterator()), 21);
    for (NewFile& f : many) abandon_new_file(f);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace kv::mail
