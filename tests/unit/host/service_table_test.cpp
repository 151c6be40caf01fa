#include "host/service_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_lists.h"
#include "config/settings.h"
#include "log/logs.h"
#include "platform/bounded_text.h"
#include "tests/unit/test_support.h"

#include <sys/socket.h>

#include <memory>
#include <thread>

namespace {


std::vector<std::string> row_names() {
    std::vector<std::string> names;
    for (int i = 0; i < kv::host::row_count(); ++i) names.push_back(kv::host::row(i).name);
    return names;
}

class HostTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(logs_.opened());
        kv::host::clear_service_table();
    }
    void TearDown() override { kv::host::clear_service_table(); }
    std::string error_log() { return logs_.error_log(); }
    kv::test::ScratchLogs logs_{"host"};
};

TEST_F(HostTableTest, The513thRowIsRefused) {
    for (int i = 0; i < kv::host::kMaxRows; ++i)
        ASSERT_EQ(kv::host::register_service(static_cast<std::uint16_t>(1000 + i), "ROW", nullptr, nullptr,
                                             kv::host::close_at_once), 1);
    EXPECT_EQ(kv::host::register_service(9999, "ONE TOO MANY", nullptr, nullptr, kv::host::close_at_once), 0);
    EXPECT_EQ(kv::host::row_count(), kv::host::kMaxRows);
    EXPECT_EQ(kv::host::row(kv::host::kMaxRows - 1).port, 1000 + kv::host::kMaxRows - 1);
}

TEST_F(HostTableTest, NameIsCutTo19Characters) {
    ASSERT_EQ(kv::host::register_service(1, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", nullptr, nullptr, kv::host::close_at_once), 1);
    EXPECT_STREQ(kv::host::row(0).name, "ABCDEFGHIJKLMNOPQRS");
}

TEST_F(HostTableTest, RowsFollowTheSettings) {
    struct Case {
        int mail_type;
        const char* smtp_server;
        const char* pop3_server;
        const char* smtp1;
        const char* smtp2;
        std::vector<std::string> rows;
        std::vector<std::string> entries;
    };
    const std::vector<Case> cases = {
        {3, "", "", "", "", {"PROXY"}, {}},
        {0, "", "", "", "", {"PROXY"}, {"Error 2905 ", "Error 2906 "}},
        {0, "smtp", "", "", "", {"PROXY"}, {"Error 2906 "}},
        {0, "smtp", "pop", "", "", {"PROXY", "POP3 GW", "SMTP GW"}, {}},
        {1, "", "", "", "", {"PROXY", "POP3", "SMTP", "MAIL TRANSFER"}, {}},
        {2, "", "", "", "x", {"PROXY"}, {"Error 2907 "}},
        {2, "", "", "x", "", {"PROXY"}, {"Error 2908 "}},
        {2, "", "", "a", "b", {"PROXY", "SMTP FW"}, {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto settings = std::make_unique<kv::config::Settings>();
        kv::config::reset_lists(settings->lists);
        settings->MailType = cases[i].mail_type;
        kv::platform::copy_bounded(settings->SMTPServer, cases[i].smtp_server);
        kv::platform::copy_bounded(settings->POP3Server, cases[i].pop3_server);
        kv::platform::copy_bounded(settings->SMTP1, cases[i].smtp1);
        kv::platform::copy_bounded(settings->SMTP2, cases[i].smtp2);
        kv::log::clear_error_log();
        kv::host::clear_service_table();
        kv::host::build_service_table(*settings);
        EXPECT_EQ(row_names(), cases[i].rows) << "row " << i;
        std::string log = error_log();
        for (const auto& e : cases[i].entries) EXPECT_NE(log.find(e), std::string::npos) << "row " << i << " " << e;
        if (cases[i].entries.empty()) {
            EXPECT_EQ(log, "") << "row " << i;
        }
    }
}

TEST_F(HostTableTest, OptionalServicesAndTcpLinksGetRows) {
    auto s = std::make_unique<kv::config::Settings>();
    kv::config::reset_lists(s->lists);
    s->Telnet = 1;
    s->FTP = 1;
    s->RealAudio = 1;
    s->Socks5 = 1;
    kv::platform::copy_bounded(s->NewsServer, "news");
    ASSERT_GE(kv::config::add_link(s->lists, 8001, "a", 80, "tcp"), 0);
    ASSERT_GE(kv::config::add_link(s->lists, 8002, "b", 53, "UDP"), 0);
    kv::host::build_service_table(*s);
    EXPECT_EQ(row_names(), (std::vector<std::string>{"PROXY", "TELNET GW", "NEWS GW", "REALAUDIO GW", "FTP GW",
                                                     "SOCKS", "MAPPED LINK"}));
    EXPECT_EQ(kv::host::row(kv::host::row_count() - 1).port, 8001);
}


}  // namespace
