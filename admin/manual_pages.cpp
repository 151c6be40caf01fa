// The manual page (dial, hang up, mail buttons) and the two actions behind
// it. Dialling and the mail transfer take the browser connection over: they
// report their progress on it and close it.
#include <cstring>
#include <utility>

#include "admin/admin_pages.h"
#include "config/settings.h"
#include "dial/dial_manager.h"
#include "mail/mail_schedule.h"
#include "net/page_writer.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr int kMsiePaddingLines = 7;
constexpr const char* kMsiePadding = "                                             <br>\n";
constexpr const char* kHangUpButton =
    "<br>&nbsp;&nbsp;&nbsp;<INPUT NAME=\"disconnect\" TYPE=\"SUBMIT\" VALUE=\" Hang Up \">";
constexpr std::size_t kDialQueryOffset = sizeof "/admin/dial/dial?" - 1;
// ConnName holds at most 59 characters; each may grow to "&gt;".
constexpr std::size_t kConnNameShownSize = 4 * 60;

// The line's state and the button that changes it; shown_name is ConnName escaped.
void add_line_state(net::PageWriter& out, const char* shown_name) {
    switch (dial::state()) {
        case 0:
            out.add("<b>not connected</b></center>\n");
            out.add("<br>&nbsp;&nbsp;&nbsp;<INPUT NAME=\"connect\" TYPE=\"SUBMIT\" VALUE=\" Dial to\">\n");
            out.addf("%s &nbsp;&nbsp; <INPUT NAME=\"DontHangup\" TYPE=\"CHECKBOX\">don't hang up on timeout\n",
                     shown_name);
            break;
        case 1:
            out.add("<b>connection in progress</b></center>\n");
            out.add(kHangUpButton);
            break;
        case 2:
            out.addf("connected to <b>%s</b></center>\n", shown_name);
            out.add(kHangUpButton);
            break;
        default:
            break;
    }
}

void add_dial_form(net::PageWriter& out) {
    out.add("<FORM ACTION=\"/admin/dial/dial\" METHOD=GET>");
    out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Dial up : </FONT></b>\n");
    const char* conn_name = config::live().ConnName;
    char shown_name[kConnNameShownSize];
    net::html_escape(conn_name, shown_name, sizeof shown_name);
    if (!dial::running())
        out.add("<b>RAS is not installed</b></center>");
    else if (std::strcmp(conn_name, "(none)") == 0)
        out.add("<b>Connection name is not set</b></center>");
    else
        add_line_state(out, shown_name);
    out.add("</FORM>");
}

void add_mail_form(net::PageWriter& out) {
    out.add("<FORM ACTION=\"/admin/mail\" METHOD=GET><hr>");
    out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail</FONT></b></center><br>\n");
    out.add("&nbsp;&nbsp;&nbsp;<INPUT NAME=\"BothMail\" TYPE=\"SUBMIT\" VALUE=\" Send and Receive \">");
    out.add("&nbsp;&nbsp;&nbsp;<INPUT NAME=\"ViewQueue\" TYPE=\"SUBMIT\" VALUE=\"View Queue\">");
    out.add("</FORM>");
}

}  // namespace

int manual_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    platform::copy_bounded(state().last_admin_page, "manual");
    out.add(kPageHead);
    send_body_line(out);
    add_dial_form(out);
    add_mail_form(out);
    return 1;
}

int dial_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add(kPageHead);
    send_body_line(out);
    // Enough text for the browser to start showing the page before the
    // dialling progress arrives.
    if (r.is_msie)
        for (int i = 0; i < kMsiePaddingLines; ++i) out.add(kMsiePadding);

    const char* query = std::strlen(r.path) >= kDialQueryOffset ? r.path + kDialQueryOffset : "";
    const bool dial = std::strstr(query, "connect=+Dial+to") != nullptr;
    if (dial) {
        out.add("<B>Dialling ...      </B><br><br>");
        dial::set_keep_up(std::strstr(r.path, "DontHangup") != nullptr);
    } else {
        out.add("<B>Disconnecting ... </B><P>\n");
        dial::set_keep_up(false);
    }
    // Our own lines are out before the manager owns the connection, so its
    // progress lines always follow them; nothing is added here after it.
    (void)out.flush();
    dial::set_progress_socket(std::move(r.conn.client));
    if (dial)
        dial::request_dial();
    else
        dial::request_hangup();
    return 0;
}

int mail_page(AdminRequest& r) {
    net::PageWriter out(r.conn.client.get());
    out.add(kPageHead);
    send_body_line(out);
    if (std::strstr(r.path, "ViewQueue=")) {
        out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Queue</FONT></b></center><hr>\n");
        // The queue writes itself straight to the socket, between our parts.
        (void)out.flush();
        mail::queue_view(out.fd());
        out.add("<hr><a href=\"/admin/manual\"><B>Back</b></a>\n</body>");
        return 1;
    }
    if (std::strstr(r.path, "BothMail=+")) {
        out.add("<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail Transfer</FONT></b></center><hr>\n");
        // Sent before the hand-over: afterwards the transfer alone writes here.
        out.add("</body>");
        (void)out.flush();
        mail::trigger_transfer(std::move(r.conn.client));
        return 0;
    }
    return 1;
}

}  // namespace kv::admin
