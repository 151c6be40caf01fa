#pragma once
// The configuration frame set, menu, help page and form pages (/admin/config...),
// their shared page frame, and the apply step and restart.
#include <string>

#include "admin/admin_request.h"

namespace kv::admin {

// Serves a /admin/config... path when it is one of the configuration routes.
// Returns -1 when the path is not a configuration route, else 1 (close) or 0.
int config_route(AdminRequest& r);

// --- section tables and the standard page frame (config_frame.cpp) --------
struct SectionEntry {
    const char* marker;  // hidden form field naming the section ("__PROXY__")
    const char* title;   // page title and section link text
    const char* page;    // name under /admin/config/content/
};
// Each table ends with an entry whose marker is null.
extern const SectionEntry kMailSections[];
extern const SectionEntry kMailGatewaySections[];
extern const SectionEntry kMailServerSections[];
extern const SectionEntry kDialSections[];
extern const SectionEntry kProxySections[];
extern const SectionEntry kNetworkSections[];
extern const SectionEntry kAccountsSections[];
extern const SectionEntry kSecuritySections[];
extern const SectionEntry kAdvancedSections[];

// Standard page head of entry `index` (makes its page the last configuration
// page; message may be null) and standard page foot.
void page_head(AdminRequest& r, const SectionEntry* table, int index, const char* message);
void page_foot(AdminRequest& r);

// A value with &, ", < and > as entities, for VALUE="..." and page text.
std::string escaped(const char* text);

// Input templates. Every value written into VALUE="..." or a textarea is
// HTML-escaped (&, ", <, >) so any stored text shows and saves back unchanged.
void input_number(int fd, const char* name, int value, int size);
void input_text(int fd, const char* name, const char* value, int size);
void input_password(int fd, const char* name, const char* value, int size);
void input_checkbox(int fd, const char* name, int on);
void input_radio(int fd, const char* name, int choice, int current);
void input_button(int fd, const char* name, const char* caption);
// A labelled row: "<TR>", "<TD ALIGN=right><FONT SIZE=-1>", label, "<TD><FONT SIZE=-1>".
void row_begin(int fd, const char* label);
void table_begin(int fd);  // "<TABLE BORDER=0>\n\n"
void table_end(int fd);    // "\n</TABLE>\n\n"

// Items remembered between a page and its apply.
struct RememberedItems {
    char membership_user[52]{};
    char membership_group[52]{};
    char access_address[100]{};
    char pop3_item[256]{};
    int pop3_index = -1;
};
RememberedItems& remembered();

// --- pages (one function per /admin/config/content/<page>) ----------------
// config_pages_general.cpp
int config_help(AdminRequest& r);
int config_frameset(AdminRequest& r);
int config_menu(AdminRequest& r);  // also clears the restart pending flag
int page_proxy(AdminRequest& r);
int page_cache(AdminRequest& r);
int page_cttl(AdminRequest& r);
int page_access(AdminRequest& r);
int page_edit(AdminRequest& r);    // prefix route
int page_network(AdminRequest& r);
int page_maplink(AdminRequest& r);
int page_security(AdminRequest& r);
int page_advanced(AdminRequest& r);
// config_pages_accounts_mail.cpp
int page_users(AdminRequest& r);
int page_groups(AdminRequest& r);
int page_membership(AdminRequest& r);
int page_showmembership(AdminRequest& r);  // prefix route, both views
int page_dial(AdminRequest& r);
int page_dd(AdminRequest& r);
int page_dialadvanced(AdminRequest& r);
int page_mail(AdminRequest& r);
int page_mail_gateway(AdminRequest& r);
int page_mail_tunnel(AdminRequest& r);
int page_mail_server(AdminRequest& r);
int page_mail_pop3(AdminRequest& r);
int page_mail_pop3edit(AdminRequest& r);
int page_mail_rules(AdminRequest& r);
int page_mail_aspam(AdminRequest& r);
int page_mail_advanced(AdminRequest& r);

// --- apply and restart (config_apply.cpp, restart.cpp) ---------------------
int config_apply(AdminRequest& r);
int config_restart(AdminRequest& r);

}  // namespace kv::admin
