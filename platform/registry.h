#pragma once
// The registry: a tree of keys holding text and 32-bit values, kept in one text
// file in the regedit export format ("Windows Registry Editor Version 5.00",
// [HKEY_LOCAL_MACHINE\...] sections, "name"="text" and "name"=dword:0000abcd).
//
// Key paths are given relative to HKEY_LOCAL_MACHINE with '\' separators, e.g.
// "Software\\Tarnwick\\Korvanet\\Users"; key and value names compare without case,
// as the system's registry does. One process-wide lock guards the tree: every
// call below takes it.
#include <cstdint>
#include <string>
#include <vector>

namespace kv::platform {

// Loads the file at path into the process-wide tree (replacing what was there).
// A missing file gives an empty tree and succeeds. Returns 0 when the file
// cannot be read or does not parse (the tree is then left empty).
[[nodiscard]] int registry_open(const char* path);
// Writes the tree back to the file it came from: temporary file in the same
// directory, fsync, rename. 1 on success, 0 when nothing could be written (the
// old file is untouched then).
[[nodiscard]] int registry_flush();
// Removes the temporary files a writer killed mid-write left beside the file
// at path ("<name>.XXXXXX"); only for a process that holds the instance lock,
// before its first write. Returns how many went.
int registry_remove_stale_temps(const char* path);
// Path given to the last registry_open ("" before).
const char* registry_file();

bool registry_key_exists(const char* key);
// Whether the tree holds any key at all (of any root).
bool registry_has_keys();
void registry_create_key(const char* key);          // with missing parents
void registry_delete_key(const char* key);          // with its subkeys and values

// Reads; false when the value is missing or of the other type.
bool registry_get_dword(const char* key, const char* name, std::uint32_t* out);
bool registry_get_text(const char* key, const char* name, std::string* out);
// Writes create the key when missing.
void registry_set_dword(const char* key, const char* name, std::uint32_t value);
void registry_set_text(const char* key, const char* name, const char* value);
void registry_delete_value(const char* key, const char* name);
// Names of the values of a key, in file order.
std::vector<std::string> registry_value_names(const char* key);

}  // namespace kv::platform
