// The frame shared by the configuration form pages: the section tables that
// tie each page to its form marker, the standard page head and foot, the input
// templates, the drawing and saving of the field tables, and the items
// remembered between a page and its apply.
#include <cstring>

#include "admin/config_pages.h"
#include "admin/form_fields.h"
#include "net/line_io.h"
#include "net/text_escape.h"
#include "platform/bounded_text.h"

namespace kv::admin {
namespace {

constexpr const char* kSpacer = "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp";

// <INPUT NAME="name" TYPE="type" VALUE="...  (the value follows)
void input_open(net::PageWriter& w, const char* name, const char* type) {
    w.add("<INPUT NAME=\"");
    w.add(name);
    w.add("\" TYPE=\"");
    w.add(type);
    w.add("\" VALUE=\"");
}

void input_close(net::PageWriter& w, int size) { w.addf("\" SIZE=%d>", size); }

const char* checked(int on) { return on ? "checked" : ""; }

}  // namespace

const SectionEntry kMailSections[] = {
    {"__MAIL_TYPE__", "Mail", "mail"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kMailGatewaySections[] = {
    {"__MAIL_GATEWAY__", "Mail Gateway", "mail/gateway"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kMailServerSections[] = {
    {"__MAIL_SERVER__", "General", "mail/server"},
    {"__MAILPOP3__", "POP3 downloads", "mail/pop3"},
    {"__RULES__", "Sorting rules", "mail/rules"},
    {"__ASPAM__", "SMTP Relay restrictions", "mail/aspam"},
    {"__MAIL_ADVANCED__", "Advanced", "mail/advanced"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kDialSections[] = {
    {"__DIAL__", "General", "dial"},
    {"__DD__", "Demand Dial", "dd"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kProxySections[] = {
    {"__PROXY__", "General", "proxy"},
    {"__CACHE__", "Cache", "cache"},
    {"__CTTL__", "Cache TTL", "cttl"},
    {"__ACCESS__", "Access", "access"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kNetworkSections[] = {
    {"__NETWORK__", "General", "network"},
    {"__MAPL__", "Mapped links", "maplink"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kAccountsSections[] = {
    {"__ACCOUNTS__", "Users", "users"},
    {"__ACCOUNTS__", "Groups", "groups"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kSecuritySections[] = {
    {"__SECURITY__", "Security", "security"},
    {nullptr, nullptr, nullptr},
};
const SectionEntry kAdvancedSections[] = {
    {"__ADVANCED__", "Advanced", "advanced"},
    {nullptr, nullptr, nullptr},
};

void page_head(net::PageWriter& w, const SectionEntry* table, int index, const char* message) {
    const SectionEntry& entry = table[index];
    platform::copy_bounded(state().last_config_page, entry.page);
    w.add(kPageHead);
    w.add("<HEAD>\n<TITLE>\n");
    w.add(entry.title);
    w.add("\n</TITLE>\n</HEAD>\n\n<BODY ");
    w.add(state().body_attribute);
    w.add(" link=\"#0044FF\" vlink=\"#0044FF\">\n\n<FONT SIZE=-1>\n\n<B>\n");
    for (int i = 0; table[i].marker; ++i) {
        if (i == index) {
            w.add("[");
        } else {
            w.add("<a href=\"/admin/config/content/");
            w.add(table[i].page);
            w.add("\">[");
        }
        w.add(table[i].title);
        w.add(i == index ? "]&nbsp;&nbsp;\n" : "]</a>&nbsp;&nbsp;\n");
    }
    w.add("</B>\n\n<HR>\n\n");
    if (message) {
        w.add(message);
        w.add("\n\n<HR>\n\n");
    }
    w.add("<FORM ACTION=\"/admin/config/apply\" METHOD=GET>\n\n<INPUT TYPE=\"HIDDEN\" NAME=\"");
    w.add(entry.marker);
    w.add("\">\n\n<!-- PAGE DATA BEGIN -->\n\n");
}

void page_foot(net::PageWriter& w) {
    w.add("\n\n<!-- PAGE DATA END -->\n\n<HR><P>\n\n<CENTER>\n");
    w.add("<INPUT NAME=\"Save\" TYPE=\"SUBMIT\" VALUE=\"   Save  \">\n");
    w.add(kSpacer);
    w.add("<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" VALUE=\" Cancel \">\n");
    w.add(kSpacer);
    w.add("<a href=\"/admin/config/content/help#");
    w.add(state().last_config_page);
    w.add("\"> <b>Help</b> </a>\n</CENTER>\n\n</FORM>\n\n</BODY>\n");
}


void own_frame_head(net::PageWriter& w, const char* page) {
    platform::copy_bounded(state().last_config_page, page);
    w.add(kPageHead);
    w.add("<BODY ");
    w.add(state().body_attribute);
    w.add(" link=\"#0044FF\" vlink=\"#0044FF\">\n");
}

void save_cancel(net::PageWriter& w) {
    w.add("<INPUT NAME=\"Save\" TYPE=\"SUBMIT\" VALUE=\"   Save  \">\n");
    w.add(kSpacer);
    w.add("<INPUT NAME=\"CancelA\" TYPE=\"SUBMIT\" VALUE=\" Cancel \">\n");
}

void input_number(net::PageWriter& w, const char* name, int value, int size) {
    input_open(w, name, "text");
    w.addf("%d", value);
    input_close(w, size);
}

void input_text(net::PageWriter& w, const char* name, const char* value, int size) {
    input_open(w, name, "text");
    w.add_escaped(value);
    input_close(w, size);
}

void input_password(net::PageWriter& w, const char* name, const char* value, int size) {
    input_open(w, name, "password");
    w.add_escaped(value);
    input_close(w, size);
}

void input_checkbox(net::PageWriter& w, const char* name, int on) {
    w.add("<INPUT NAME=\"");
    w.add(name);
    w.add("\" TYPE=\"checkbox\" ");
    w.add(checked(on));
    w.add(">");
}

void input_radio(net::PageWriter& w, const char* name, int choice, int current) {
    w.add("<INPUT NAME=\"");
    w.add(name);
    w.addf("\" TYPE=\"radio\" VALUE=\"%d\" %s>", choice, checked(choice == current));
}

void input_button(net::PageWriter& w, const char* name, const char* caption) {
    w.add("<INPUT TYPE=\"submit\" NAME=\"");
    w.add(name);
    w.add("\" VALUE=\"");
    w.add(caption);
    w.add("\">");
}

void row_begin(net::PageWriter& w, const char* label) {
    w.add("<TR><TD ALIGN=right><FONT SIZE=-1>");
    w.add(label);
    w.add("<TD><FONT SIZE=-1>");
}

void table_begin(net::PageWriter& w) { w.add("<TABLE BORDER=0>\n\n"); }

void table_end(net::PageWriter& w) { w.add("\n</TABLE>\n\n"); }

// --- field tables ------------------------------------------------------------

namespace {

const char* text_of(const config::Settings& s, const config::SettingInfo& info) {
    return reinterpret_cast<const char*>(&s) + info.offset;
}
char* text_of(config::Settings& s, const config::SettingInfo& info) { return reinterpret_cast<char*>(&s) + info.offset; }
int number_of(const config::Settings& s, const config::SettingInfo& info) {
    return *reinterpret_cast<const int*>(text_of(s, info));
}
int& number_of(config::Settings& s, const config::SettingInfo& info) {
    return *reinterpret_cast<int*>(text_of(s, info));
}

// The input of kRow and kInline rows.
void capital_input(net::PageWriter& w, const FormField& f, const config::Settings& s, const config::SettingInfo& info) {
    switch (f.kind) {
        case FieldKind::kCheckbox: input_checkbox(w, f.name, number_of(s, info)); break;
        case FieldKind::kRadio: input_radio(w, f.name, f.size, number_of(s, info)); break;
        case FieldKind::kPassword: input_password(w, f.name, text_of(s, info), f.size); break;
        default:
            if (info.is_text) input_text(w, f.name, text_of(s, info), f.size);
            else input_number(w, f.name, number_of(s, info), f.size);
            break;
    }
}

// The input of kLower and kLowerValued rows.
void lower_input(net::PageWriter& w, const FormField& f, const config::Settings& s, const config::SettingInfo& info) {
    w.add("<input name=\"");
    w.add(f.name);
    if (f.kind == FieldKind::kCheckbox) {
        const int on = number_of(s, info);
        w.add("\" type=\"checkbox\" ");
        if (f.look == FieldLook::kLowerValued) w.addf("value=\"%d\" ", on);
        w.add(checked(on));
        w.add(">");
        return;
    }
    w.add("\" type=\"text\" value=\"");
    if (info.is_text) w.add_escaped(text_of(s, info));
    else w.addf("%d", number_of(s, info));
    w.addf("\" size=%d>", f.size);
}

// The value of a kSpliced row.
void spliced_value(net::PageWriter& w, const FormField& f, const config::Settings& s, const config::SettingInfo& info) {
    if (f.kind == FieldKind::kCheckbox) w.add(checked(number_of(s, info)));
    else if (info.is_text) w.add_escaped(text_of(s, info));
    else w.addf("%d", number_of(s, info));
}

void draw_input(net::PageWriter& w, const FormField& f, const config::Settings& s) {
    if (f.look == FieldLook::kDrawn) {
        if (f.draw) f.draw(w, s, f);
        return;
    }
    const config::SettingInfo* info = field_setting(f);
    if (f.kind == FieldKind::kLiteral || !info) return;
    switch (f.look) {
        case FieldLook::kRow:
        case FieldLook::kInline: capital_input(w, f, s, *info); break;
        case FieldLook::kLower:
        case FieldLook::kLowerValued: lower_input(w, f, s, *info); break;
        case FieldLook::kSpliced: spliced_value(w, f, s, *info); break;
        case FieldLook::kDrawn:
        case FieldLook::kHidden: break;
    }
}

void draw_field(net::PageWriter& w, const FormField& f, const config::Settings& s) {
    if (f.look == FieldLook::kHidden) return;
    if (f.look == FieldLook::kRow) row_begin(w, f.label);
    else w.add(f.label);
    draw_input(w, f, s);
    w.add(f.trailing);
}

}  // namespace

const config::SettingInfo* field_setting(const FormField& f) {
    if (!f.setting) return nullptr;
    for (std::size_t i = 0; i < config::kSettingCount; ++i)
        if (std::strcmp(config::kSettingTable[i].name, f.setting) == 0) return &config::kSettingTable[i];
    return nullptr;
}

const char* setting_text(const config::Settings& s, const FormField& f) {
    const config::SettingInfo* info = field_setting(f);
    return info && info->is_text ? text_of(s, *info) : "";
}

void draw_fields(net::PageWriter& w, FormFields fields, const config::Settings& s) {
    for (const FormField& f : fields) draw_field(w, f, s);
}

int save_text_field(const char* query, config::Settings& s, const FormField& f) {
    const config::SettingInfo* info = field_setting(f);
    if (!info || !info->is_text) return 0;
    return form_text(query, f.name, kApplyFields, info->capacity - 1, text_of(s, *info), info->capacity);
}

void save_fields(const char* query, FormFields fields, config::Settings& s) {
    for (const FormField& f : fields) {
        const config::SettingInfo* info = field_setting(f);
        const bool number = info && !info->is_text;
        switch (f.kind) {
            case FieldKind::kNumber:
            case FieldKind::kRadio:  // every choice reads the same field: the same number
                if (number) (void)form_number(query, f.name, kApplyFields, &number_of(s, *info));
                break;
            case FieldKind::kCheckbox:
                if (number) number_of(s, *info) = form_checkbox(query, f.name, kApplyFields);
                break;
            case FieldKind::kText:
            case FieldKind::kPassword: (void)save_text_field(query, s, f); break;
            case FieldKind::kCustom:
                if (f.save) f.save(query, s, f);
                break;
            case FieldKind::kLiteral: break;
        }
    }
}

// The pages made of the standard head, one field table and the standard foot.
int table_page(AdminRequest& r, const SectionEntry* sections, int index, const char* message, FormFields fields) {
    net::PageWriter w(r.conn.client.get());
    page_head(w, sections, index, message);
    draw_fields(w, fields, config::admin_copy());
    page_foot(w);
    return 1;
}

RememberedItems& remembered() {
    static RememberedItems items;
    return items;
}

}  // namespace kv::admin
