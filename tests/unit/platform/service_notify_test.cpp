#include "platform/service_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/socket.h"
#include "tests/unit/test_support.h"

namespace kv::platform {
namespace {

TEST(ServiceNotify, TargetReadings) {
    const std::string longest_path = "/" + std::string(sizeof(sockaddr_un::sun_path) - 2, 'p');
    const std::string longest_name = "@" + std::string(sizeof(sockaddr_un::sun_path) - 1, 'n');
    struct Case {
        std::string value;
        bool usable;
        std::string path;  // sun_path bytes of a usable target
    } cases[] = {
        {"/run/systemd/notify", true, std::string("/run/systemd/notify") + '\0'},
        {"@kv", true, std::string("\0kv", 3)},
        {longest_path, true, longest_path + '\0'},
        {longest_path + "p", false, ""},  // no room for the NUL
        {longest_name, true, '\0' + longest_name.substr(1)},
        {longest_name + "n", false, ""},
        {"", false, ""},
        {"@", false, ""},
        {"run/notify", false, ""},
        {"./notify", false, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const NotifyTarget t = notify_target(cases[i].value.c_str());
        EXPECT_EQ(t.length != 0, cases[i].usable) << "row " << i;
        if (!cases[i].usable || t.length == 0) continue;
        EXPECT_EQ(t.length, offsetof(sockaddr_un, sun_path) + cases[i].path.size()) << "row " << i;
        EXPECT_EQ(std::string(t.address.sun_path, cases[i].path.size()), cases[i].path) << "row " << i;
    }
    EXPECT_EQ(notify_target(nullptr).length, 0u);
}

// A datagram socket bound to the target, as the service manager holds it.
Socket bound_receiver(const NotifyTarget& t) {
    Socket s(::socket(AF_UNIX, SOCK_DGRAM, 0));
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&t.address), t.length) != 0) s.reset();
    return s;
}

std::string next_datagram(const Socket& s) {
    char buf[512];
    const ssize_t n = ::recv(s.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

TEST(ServiceNotify, OneDatagramPerNotificationToPathAndAbstractName) {
    test::ScratchDir dir;
    const std::string path = (dir.path / "notify").string();
    const std::string abstract = "@kv-notify-test-" + std::to_string(::getpid());
    for (const std::string& value : {path, abstract}) {
        Socket receiver = bound_receiver(notify_target(value.c_str()));
        ASSERT_TRUE(receiver.valid()) << value;
        ASSERT_TRUE(notify_init(value.c_str())) << value;
        notify("READY=1\nSTATUS=0 connection");
        notify("STATUS=1 connection");
        EXPECT_EQ(next_datagram(receiver), "READY=1\nSTATUS=0 connection") << value;
        EXPECT_EQ(next_datagram(receiver), "STATUS=1 connection") << value;
        EXPECT_EQ(next_datagram(receiver), "") << value;
    }
}

TEST(ServiceNotify, UnreachableOrUnreadPeersNeverBlockOrFail) {
    test::ScratchDir dir;
    // Nobody bound there, then a file that is no socket: dropped.
    const std::string nobody = (dir.path / "nobody").string();
    ASSERT_TRUE(notify_init(nobody.c_str()));
    notify("STATUS=Korvanet : starting");
    const std::string plain = (dir.path / "plain").string();
    { std::ofstream(plain) << "x"; }
    ASSERT_TRUE(notify_init(plain.c_str()));
    notify("STATUS=Korvanet : starting");
    EXPECT_EQ(test::read_file(plain), "x");

    // A peer that never reads: its queue fills, later datagrams are dropped
    // without waiting.
    const std::string deaf = (dir.path / "deaf").string();
    Socket receiver = bound_receiver(notify_target(deaf.c_str()));
    ASSERT_TRUE(receiver.valid());
    ASSERT_TRUE(notify_init(deaf.c_str()));
    for (int i = 0; i < 5000; ++i) notify("STATUS=1 connection");
    EXPECT_EQ(next_datagram(receiver), "STATUS=1 connection");

    EXPECT_FALSE(notify_init("relative"));
    notify("READY=1");  // no target: nothing happens
}

}  // namespace
}  // namespace kv::platform
