// The manual page (dial, hang up, mail buttons) and the two actions behind
// it. Dialling and the mail transfer take the browser connection over: they
// report their progress on it and close it.
#include <cstring>
#include <utility>

#include "admin/admin_pages.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "mail/mail_schedule.h"
#include "net/line_io.h"
#include "net/text_utils.h"

namespace kv::admin {
namespace {

constexpr int kMsiePaddingLines = 7;
constexpr const char* kMsiePadding = "                                             <br>\n";
constexpr const char* kHangUpButton =
    "<br>&nbsp;&nbsp;&nbsp;<INPUT NAME=\"disconnect\" TYPE=\"SUBMIT\" VALUE=\" Hang Up \">";
constexpr std::size_t kDialQueryOffset = sizeof "/admin/dial/dial?" - 1;
// ConnName holds at most 59 characters; each may grow to "&gt;".
constexpr std::size_t kConnNameShownSize = 4 * 60;

}  // namespace

int manual_page(AdminRequest& r) {
    const int fd = r.conn.client.get();
    platform::copy_bounded(state().last_admin_page, "manual");
    (void)net::send_text(fd, kPageHead);
    (void)send_body_line(r);
    (void)net::send_text(fd, "<FORM ACTION=\"/admin/dial/dial\" METHOD=GET>");
    (void)net::send_text(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Dial up : </FONT></b>\n");

    const char* conn_name = config::live().ConnName;
    char shown_name[kConnNameShownSize];
    net::html_escape(conn_name, shown_name, sizeof shown_name);
    if (!dial::running()) {
        (void)net::send_text(fd, "<b>RAS is not installed</b></center>");
    } else if (std::strcmp(conn_name, "(none)") == 0) {
        (void)net::send_text(fd, "<b>Connection name is not set</b></center>");
    } else {
        switch (dial::state()) {
            case 0:
                (void)net::send_text(fd, "<b>not connected</b></center>\n");
                (void)net::send_text(
                    fd, "<br>&nbsp;&nbsp;&nbsp;<INPUT NAME=\"connect\" TYPE=\"SUBMIT\" VALUE=\" Dial to\">\n");
                (void)net::send_formatted(
                    fd, "%s &nbsp;&nbsp; <INPUT NAME=\"DontHangup\" TYPE=\"CHECKBOX\">don't hang up on timeout\n",
                    shown_name);
                break;
            case 1:
                (void)net::send_text(fd, "<b>connection in progress</b></center>\n");
                (void)net::send_text(fd, kHangUpButton);
                break;
            case 2:
                (void)net::send_formatted(fd, "connected to <b>%s</b></center>\n", shown_name);
                (void)net::send_text(fd, kHangUpButton);
                break;
            default:
                break;
        }
    }

    (void)net::send_text(fd, "</FORM>");
    (void)net::send_text(fd, "<FORM ACTION=\"/admin/mail\" METHOD=GET><hr>");
    (void)net::send_text(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail</FONT></b></center><br>\n");
    (void)net::send_text(fd,
                         "&nbsp;&nbsp;&nbsp;<INPUT NAME=\"BothMail\" TYPE=\"SUBMIT\" VALUE=\" Send and Receive \">");
    (void)net::send_text(fd, "&nbsp;&nbsp;&nbsp;<INPUT NAME=\"ViewQueue\" TYPE=\"SUBMIT\" VALUE=\"View Queue\">");
    (void)net::send_text(fd, "</FORM>");
    return 1;
}

int dial_page(AdminRequest& r) {
    const int fd = r.conn.client.get();
    (void)net::send_text(fd, kPageHead);
    (void)send_body_line(r);
    // Enough text for the browser to start showing the page before the
    // dialling progress arrives.
    if (r.is_msie)
        for (int i = 0; i < kMsiePaddingLines; ++i) (void)net::send_text(fd, kMsiePadding);

    const char* query = std::strlen(r.path) >= kDialQueryOffset ? r.path + kDialQueryOffset : "";
    const bool dial = std::strstr(query, "connect=+Dial+to") != nullptr;
    if (dial) {
        (void)net::send_text(fd, "<B>Dialling ...      </B><br><br>");
        dial::set_keep_up(std::strstr(r.path, "DontHangup") != nullptr);
    } else {
        (void)net::send_text(fd, "<B>Disconnecting ... </B><P>\n");
        dial::set_keep_up(false);
    }
    // Our own lines are out before the manager owns the connection, so its
    // progress lines always follow them.
    dial::set_progress_socket(std::move(r.conn.client));
    if (dial)
        dial::request_dial();
    else
        dial::request_hangup();
    return 0;
}

int mail_page(AdminRequest& r) {
    const int fd = r.conn.client.get();
    (void)net::send_text(fd, kPageHead);
    (void)send_body_line(r);
    if (std::strstr(r.path, "ViewQueue=")) {
        (void)net::send_text(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Queue</FONT></b></center><hr>\n");
        mail::queue_view(fd);
        (void)net::send_text(fd, "<hr><a href=\"/admin/manual\"><B>Back</b></a>\n</body>");
        return 1;
    }
    if (std::strstr(r.path, "BothMail=+")) {
        (void)net::send_text(fd, "<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Transfer</FONT></b></center><hr>\n");
        // Sent before the hand-over: afterwards the transfer alone writes here.
        (void)net::send_text(fd, "</body>");
        mail::trigger_transfer(std::move(r.conn.client));
        return 0;
    }
    return 1;
}

}  // namespace kv::admin
