// The field tables of the configuration pages: each row names a setting of
// its kind, and a Save cuts texts at the length the settings table gives.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "admin/config_pages.h"

namespace kv::admin {
namespace {

struct NamedTable {
    const char* name;
    const FormFields* fields;
};
const NamedTable kTables[] = {
    {"proxy", &kProxyFields},           {"cache", &kCacheFields},
    {"network", &kNetworkFields},       {"security", &kSecurityFields},
    {"advanced", &kAdvancedFields},     {"dial", &kDialFields},
    {"dd", &kDemandDialFields},         {"dialadvanced", &kDialAdvancedFields},
    {"mail", &kMailTypeFields},         {"mail/gateway", &kMailGatewayFields},
    {"mail/tunnel", &kMailTunnelFields}, {"mail/server", &kMailServerFields},
    {"mail/aspam", &kMailAspamFields},  {"mail/advanced", &kMailAdvancedFields},
    {"www", &kWwwServerFields},
};

bool names_text_setting(FieldKind kind) { return kind == FieldKind::kText || kind == FieldKind::kPassword; }

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

TEST(FieldTables, EveryRowNamesASettingOfItsKind) {
    for (const NamedTable& t : kTables) {
        for (std::size_t i = 0; i < t.fields->size(); ++i) {
            const FormField& f = (*t.fields)[i];
            if (f.kind == FieldKind::kLiteral) continue;
            const config::SettingInfo* info = field_setting(f);
            ASSERT_NE(info, nullptr) << t.name << " row " << i;
            ASSERT_NE(f.name, nullptr) << t.name << " row " << i;
            if (f.kind != FieldKind::kCustom) {
                EXPECT_EQ(info->is_text, names_text_setting(f.kind)) << t.name << " row " << i;
            }
            // Rows whose label holds the tag must name the field the Save reads.
            if (f.look == FieldLook::kSpliced || f.look == FieldLook::kDrawn) {
                EXPECT_NE(lower(f.label).find(lower(std::string("name=\"") + f.name + "\"")), std::string::npos)
                    << t.name << " row " << i;
            }
        }
    }
}

TEST(FieldTables, SaveCutsTextsAtTheSettingLength) {
    const std::string long_value(1500, 'x');
    for (const NamedTable& t : kTables) {
        for (const FormField& f : *t.fields) {
            if (!names_text_setting(f.kind)) continue;
            auto s = std::make_unique<config::Settings>();
            const std::string query = std::string("/admin/config/apply?") + f.name + "=" + long_value;
            save_fields(query.c_str(), FormFields(&f, 1), *s);
            EXPECT_EQ(std::strlen(setting_text(*s, f)), field_setting(f)->capacity - 1) << t.name << " " << f.name;
            // A field the form does not send leaves the setting as it was.
            save_fields("/admin/config/apply?other=1", FormFields(&f, 1), *s);
            EXPECT_EQ(std::strlen(setting_text(*s, f)), field_setting(f)->capacity - 1) << t.name << " " << f.name;
        }
    }
}

}  // namespace
}  // namespace kv::admin
