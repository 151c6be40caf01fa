#pragma once
// The pure rules of dialling on demand: whether a weekday's window list holds
// a minute of the day, and whether a host name is one that never dials.
namespace kv::dial {

// A list of ranges "H:MM-H:MM" split by commas, semicolons, blanks or tabs.
// true when the first range holding `minute` (hour * 60 + minute) comes
// before any range that does not parse; a range holds its start minute and
// not its end minute. An empty list, or a scan ended by a bad range, is
// closed (false).
bool window_contains(const char* list, int minute);

// Excepted: except_local and no dot in the name, or a word of
// except_strings occurring in it (case-blind).
bool excepted_name(const char* name, bool except_local, const char* except_strings);

}  // namespace kv::dial
