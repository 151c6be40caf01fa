#include "net/page_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/socket.h"
#include "tests/unit/test_support.h"

namespace kv::net {
namespace {

using kv::test::drain;

TEST(PageWriter, GathersEscapesAndCutsFormattedFragments) {
    platform::Socket ours, peer;
    kv::test::unix_pair(ours, peer);
    {
        PageWriter out(ours.get());
        out.add("<b>");
        out.add_escaped("a&b <c> \"d\"");
        out.add("</b>", 4);
        out.addf("%s|", std::string(400, 'x').c_str());  // a formatted fragment holds 299 characters
        EXPECT_EQ(out.flush(), 1);
        out.add_escaped("");
        out.add_tags_escaped("<i>&\"");
        out.add("end");
    }  // the writer flushes when it goes,
    ours.reset();  // then the socket closes
    EXPECT_EQ(drain(peer), "<b>a&amp;b &lt;c&gt; &quot;d&quot;</b>" + std::string(299, 'x') + "&lt;i&gt;&\"end");
}

TEST(PageWriter, RemembersTheFirstFailedSendAndDropsTheRest) {
    platform::Socket ours, gone;
    kv::test::unix_pair(ours, gone);
    gone.reset();  // the peer is gone
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
