#pragma once
// The configuration frame set, menu, help page and form pages (/admin/config...),
// their shared page frame, and the apply step and restart.
#include <span>

#include "admin/admin_request.h"
#include "config/settings.h"
#include "net/page_writer.h"

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
void page_head(net::PageWriter& w, const SectionEntry* table, int index, const char* message);
void page_foot(net::PageWriter& w);
// The opening of the pages that build their own frame: makes `page` the last
// configuration page, then the page head and "<BODY ... link=...>\n".
void own_frame_head(net::PageWriter& w, const char* page);
// The Save and Cancel buttons of the pages that build their own frame.
void save_cancel(net::PageWriter& w);

// Input templates. Every value written into VALUE="..." is HTML-escaped (&, ",
// <, >) so any stored text shows and saves back unchanged.
void input_number(net::PageWriter& w, const char* name, int value, int size);
void input_text(net::PageWriter& w, const char* name, const char* value, int size);
void input_password(net::PageWriter& w, const char* name, const char* value, int size);
void input_checkbox(net::PageWriter& w, const char* name, int on);
void input_radio(net::PageWriter& w, const char* name, int choice, int current);
void input_button(net::PageWriter& w, const char* name, const char* caption);
// A labelled row: "<TR>", "<TD ALIGN=right><FONT SIZE=-1>", label, "<TD><FONT SIZE=-1>".
void row_begin(net::PageWriter& w, const char* label);
void table_begin(net::PageWriter& w);  // "<TABLE BORDER=0>\n\n"
void table_end(net::PageWriter& w);    // "\n</TABLE>\n\n"

// --- field tables (config_frame.cpp draws and saves them) -----------------
// One table per configuration page lists what the page shows, in page order,
// and what its Save writes: the page is drawn from it and the apply step reads
// the same rows back. Every limit of a text comes from the settings table
// (config/settings.h) through the row's setting name.
struct FormField;
using FieldDraw = void (*)(net::PageWriter&, const config::Settings&, const FormField&);
using FieldSave = void (*)(const char* query, config::Settings&, const FormField&);

// What the Save writes.
enum class FieldKind : unsigned char {
    kLiteral,   // nothing: page text only
    kNumber,    // a number setting: decimal digits only, else unchanged
    kText,      // a text setting: as typed, at most the setting's length
    kPassword,  // kText in a password input
    kCheckbox,  // a 0/1 setting: 1 when the box is sent, else 0
    kRadio,     // a number setting, one of its choices (size is the choice's value)
    kCustom,    // the row's save function
};
// How the page shows it: first the label, then the input, then the trailing text.
enum class FieldLook : unsigned char {
    kRow,          // row_begin(label), then the input in capitals (input_number ...)
    kInline,       // the label as is, then the input in capitals
    kLower,        // the label as is, then <input name="n" type="text" value="v" size=s>
                   // (checkboxes: <input name="n" type="checkbox" checked>)
    kLowerValued,  // a checkbox: <input name="n" type="checkbox" value="v" checked>
    kSpliced,      // the label holds the tag up to the value; then the value
                   // (texts escaped, numbers, checkboxes "checked" or nothing)
    kDrawn,        // the label, then the row's draw function (a select, a list)
    kHidden,       // not shown: saved only
};
struct FormField {
    FieldKind kind;
    FieldLook look;
    const char* label = "";
    const char* name = nullptr;     // the form field (NAME="...")
    const char* setting = nullptr;  // the setting's registry name in config/settings.h
    int size = 0;                   // SIZE= of the input; kRadio: the choice
    const char* trailing = "";
    FieldDraw draw = nullptr;       // kDrawn
    FieldSave save = nullptr;       // kCustom
};
using FormFields = std::span<const FormField>;
inline constexpr FormField kTableBegin{FieldKind::kLiteral, FieldLook::kInline, "<TABLE BORDER=0>\n\n"};
inline constexpr FormField kTableEnd{FieldKind::kLiteral, FieldLook::kInline, "\n</TABLE>\n\n"};

// The setting a row names; null when the settings table has no such name.
const config::SettingInfo* field_setting(const FormField& f);
// The text of a row's text setting; "" when the row names no text setting.
const char* setting_text(const config::Settings& s, const FormField& f);
void draw_fields(net::PageWriter& w, FormFields fields, const config::Settings& s);
// Reads the rows from the query by the apply step's rule (kApplyFields).
void save_fields(const char* query, FormFields fields, config::Settings& s);
// A page of the standard head, one field table and the standard foot. 1.
int table_page(AdminRequest& r, const SectionEntry* sections, int index, const char* message, FormFields fields);
// A kText row's save: 1 when the field was present (and written).
[[nodiscard]] int save_text_field(const char* query, config::Settings& s, const FormField& f);

// The tables of the pages (config_pages_general.cpp, config_pages_mail_dial.cpp)
// and of the one section that has no page (config_apply.cpp).
extern const FormFields kProxyFields;
extern const FormFields kCacheFields;
extern const FormFields kNetworkFields;
extern const FormFields kSecurityFields;
extern const FormFields kAdvancedFields;
extern const FormFields kDialFields;
extern const FormFields kDemandDialFields;
extern const FormFields kDialAdvancedFields;
extern const FormFields kMailTypeFields;
extern const FormFields kMailGatewayFields;
extern const FormFields kMailTunnelFields;
extern const FormFields kMailServerFields;
extern const FormFields kMailAspamFields;
extern const FormFields kMailAdvancedFields;
extern const FormFields kWwwServerFields;

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
// config_pages_accounts.cpp
int page_users(AdminRequest& r);
int page_groups(AdminRequest& r);
int page_membership(AdminRequest& r);
int page_showmembership(AdminRequest& r);  // prefix route, both views
// config_pages_mail_dial.cpp
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

// --- apply and restart (config_apply.cpp, config_restart.cpp) --------------
int config_apply(AdminRequest& r);
// The Save of the mail server page's fields that are not read as typed.
void save_mail_send_type(const char* query, config::Settings& s, const FormField& f);   // "at" or every
void save_mail_send_times(const char* query, config::Settings& s, const FormField& f);  // the time list
void save_backup_mailbox(const char* query, config::Settings& s, const FormField& f);   // "(none)": none
int config_restart(AdminRequest& r);

}  // namespace kv::admin
