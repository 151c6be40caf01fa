#pragma once
// The one reader of form values in a request path (the query string stays
// part of it). The readers never change the text they read.
//
// Two rules find a field, and both are in use:
//   FieldMatch::kFieldStart  the name stands right after the query's '?' or
//       after a '&', and '=' follows it. The apply step reads every field so:
//       "Item" is never found inside "AddItem", nor inside a value.
//   FieldMatch::kAnywhere    the first place where the name is directly
//       followed by '=' (a name that ends the text also counts, without a
//       value), wherever it stands: the end of a longer name counts
//       ("Password" is found in "POP3Password=p").
//
// A value is always taken raw up to the next '&' and decoded after that cut,
// so an encoded '&' ("%26") inside a value never ends it early.
#include <cstddef>

namespace kv::admin {

enum class FieldMatch : unsigned char { kFieldStart, kAnywhere };

// What the max of a text reader counts.
enum class FieldCut : unsigned char {
    kDecoded,  // characters after decoding (up to 3 * max raw bytes are read)
    kRaw,      // raw characters, cut before decoding
};

struct FieldRule {
    FieldMatch match;
    FieldCut cut;
};
// The apply step's rule: every field of every configuration form.
inline constexpr FieldRule kApplyFields{FieldMatch::kFieldStart, FieldCut::kDecoded};
// The rule of the configuration pages that read their own parameters (the
// access editor, the membership views).
inline constexpr FieldRule kPageFields{FieldMatch::kAnywhere, FieldCut::kRaw};

// The raw value of the field: where it starts, and in *length (when given)
// its length up to '&' or the end. Null when the field is absent.
const char* field_value(const char* text, const char* name, FieldMatch match, std::size_t* length = nullptr);

// --- values as a browser sends them: '+' made a blank, then %XX decoded ----

// A text field, at most max characters (counted as rule.cut says), into out
// (size bytes). 0 and out unchanged when the field is absent.
[[nodiscard]] int form_text(const char* text, const char* name, FieldRule rule, std::size_t max, char* out, std::size_t size);
// A list item or name: the same, then trimmed; empty when absent.
void form_item(const char* text, const char* name, FieldRule rule, std::size_t max, char* out, std::size_t size);
// A number field: decimal digits only, the raw value as sent (empty gives 0),
// at most INT_MAX. 1 with *out set; 0 and *out unchanged when the field is
// absent or holds anything else ("12abc", "+1", "%31", a number too large).
[[nodiscard]] int form_number(const char* text, const char* name, FieldRule rule, int* out);
// A checkbox: 1 when the field is present (browsers send only ticked boxes).
[[nodiscard]] int form_checkbox(const char* text, const char* name, FieldRule rule);
// A port or count typed into a list form (an item already read and trimmed):
// its leading decimal digits, 0 when there are none ("12abc" reads 12). A
// number past INT_MAX reads 0, but one whose digits reach INT_MAX exactly on
// the way ("21474836470") reads INT_MAX.
[[nodiscard]] int leading_number(const char* text);

// --- the kAnywhere rule with %XX decoding only ('+' stays) ------------------

// Where the name of the field starts. Null when absent.
const char* find_field(const char* text, const char* name);
// The value (at most max raw characters, then %XX decoded) into out (size
// bytes). 0 and out unchanged when the field is absent.
int field_text(const char* text, const char* name, std::size_t max, char* out, std::size_t size);
// form_number and form_checkbox by the kAnywhere rule.
int field_number(const char* text, const char* name, int* out);
int field_checkbox(const char* text, const char* name);

}  // namespace kv::admin
