#include "net/page_writer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/socket.h"

namespace kv::net {
namespace {

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

TEST(PageWriter, GathersEscapesAndCutsFormattedFragments) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    platform::Socket peer(fds[1]);
    {
        platform::Socket ours(fds[0]);
        PageWriter out(ours.get());
        out.add("<b>");
        out.add_escaped("a&b <c> \"d\"");
        out.add("</b>", 4);
        out.addf("%s|", std::string(400, 'x').c_str());  // a formatted fragment holds 299 characters
        EXPECT_EQ(out.flush(), 1);
        out.add_escaped("");
        out.add_tags_escaped("<i>&\"");
        out.add("end");
    }  // the writer flushes when it goes, then the socket closes
    EXPECT_EQ(read_all(peer.get()), "<b>a&amp;b &lt;c&gt; &quot;d&quot;</b>" + std::string(299, 'x') + "&lt;i&gt;&\"end");
}

TEST(PageWriter, RemembersTheFirstFailedSendAndDropsTheRest) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    platform::Socket ours(fds[0]);
    { platform::Socket gone(fds[1]); }  // the peer is gone
    PageWriter out(ours.get());
    out.add("lost");
    EXPECT_EQ(out.flush(), 0);
    EXPECT_NE(out.error(), 0);
    out.add("dropped");
    EXPECT_EQ(out.flush(), 0);
    EXPECT_FALSE(out.ok());
}

}  // namespace
}  // namespace kv::net
