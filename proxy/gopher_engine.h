#pragma once
// gopher:// addresses for browsers: speaks Gopher over the server socket the
// intake has connected and answers in HTTP. Menus become HTML pages with one
// icon link per item, documents pass byte for byte under a head chosen by the
// item type, CSO phone books and search items get an ISINDEX form. Everything
// for the browser goes through the send with cache copy, except the closing
// "</BODY>" of a menu.
#include <cstddef>

#include "conn/connection_record.h"

namespace kv::proxy {

// A menu line is at most this many bytes, its LF included: 199 bytes that
// arrived without one end the menu as broken.
inline constexpr std::size_t kMenuLineLimit = 199;
// The escaped selector of one link is cut to this many characters.
inline constexpr std::size_t kEscapedSelectorLimit = 8092;
// One formatted item line: every field of a 199-byte line escaped at its
// widest ("&amp;" for a display byte, "%hh" for a link byte) still fits.
inline constexpr std::size_t kMenuItemHtmlSize = 4096;

// What the browser asked for, cut from the request path in place.
struct GopherRequest {
    bool root = false;            // the bare path "/": the server's root menu
    char type = '\0';             // the item type (second character of the path)
    const char* selector = "";    // from the path's third character, cut at CR, LF or NUL
    const char* query = nullptr;  // types '2' and '7': the text after the first '?'; null without one
};

// Splits the request path (which begins with "/") in place. For types '2'
// and '7' the raw path is split at its first '?' before unescaping, and '+' in
// the query becomes a blank; every other path is unescaped whole. Selector and
// query end at their first CR or LF (a NUL from "%00" ends them as well), so
// no request line of the browser's making can carry a second one.
void split_gopher_path(char* path, GopherRequest* out);

// What goes to the Gopher server first, into out (size bytes): "\r\n" for the
// root; nothing for a type '2' or '7' without query; "ph QUERY\nquit\n" for a
// CSO query; "SELECTOR\tQUERY\r\n" for a search; otherwise "SELECTOR\r\n".
// Returns the length; 0 when there is nothing to send or it does not fit.
std::size_t format_gopher_request(const GopherRequest& req, char* out, std::size_t size);

// One menu item, its fields cut from the line in place.
struct MenuItem {
    char type = '\0';
    const char* display = "";
    const char* selector = "";
    const char* host = "";
    const char* port = "";
};

// Splits one menu line (its LF and the CR before it already removed) at tabs
// into type, display text, selector, host and port; the port ends at the next
// tab or CR, so a fifth field is dropped. 1, or 0 when a field is missing.
[[nodiscard]] int parse_menu_line(char* line, MenuItem* out);

// Types '3' (error) and '7' (search) get no line on the menu page.
bool menu_item_shown(char type);

// The icon's base name under /admin/images/ for an item type.
const char* icon_for_type(char type);

// The HTML line of a menu item into out (size bytes):
//   <A HREF="gopher://HOST:PORT/TSELECTOR"><IMG ALIGN=absbottom BORDER=0
//   SRC="http://IFACE:ADMINPORT/admin/images/ICON.gif"> DISPLAY</A>CR LF
// with host, port, type and selector %-escaped for the link and the display
// text HTML-escaped. Returns the length; 0 when it does not fit.
std::size_t format_menu_item(const MenuItem& item, const char* interface_text, int admin_port, char* out,
                             std::size_t size);

// Where the next menu line ends in the bytes received so far.
enum class MenuLineState { kComplete, kNeedMore, kTooLong };
// Looks at data[0 .. have): kComplete with *length = the line's bytes without
// its LF (and without a CR before it) and *taken = the bytes through the LF;
// kNeedMore when fewer than kMenuLineLimit bytes came without an LF;
// kTooLong when kMenuLineLimit bytes came without one.
MenuLineState find_menu_line(const char* data, std::size_t have, std::size_t* length, std::size_t* taken);

// Runs the whole exchange over r.server and answers r.client. 1 when the
// answer ran to its end, 0 otherwise (the browser sees the page end where it
// stood). Writes error-log entry 2001 for a failed receive or a broken menu
// and 2000 for a document block the browser refused; no access-log entry.
[[nodiscard]] int gopher_engine(conn::ConnectionRecord& r);

}  // namespace kv::proxy
