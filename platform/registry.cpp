#include "platform/registry.h"

#include <dirent.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/file_io.h"
#include "platform/kill_point.h"
#include "platform/socket.h"

namespace kv::platform {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kRoot = "HKEY_LOCAL_MACHINE\\";
// Far beyond any settings file; a bigger file is not ours and is refused
// rather than read into memory.
constexpr std::size_t kMaxFileSize = 16u << 20;
constexpr std::size_t kPathSize = 4096;

enum class Kind { Text, Dword, Other, Comment };

// One line of a section. Text and Dword are values we understand; Other keeps a
// well-formed value of another type ("x"=hex:..., "x"=-) byte for byte, with its
// continuation lines; Comment keeps a ';' line.
struct Entry {
    Kind kind;
    std::string name;  // value name ("" for the default value "@" and comments)
    std::string text;  // Text: the value; Other, Comment: the raw line(s)
    std::uint32_t dword = 0;
};

struct Key {
    std::string path;  // full path, e.g. "HKEY_LOCAL_MACHINE\Software\Tarnwick\Korvanet"
    std::vector<Entry> entries;
    // Each value's name, lower-cased, to its place in entries (comments are
    // not there): a list key of ten thousand numbered records is looked up
    // once per record while it loads and saves.
    std::unordered_map<std::string, std::size_t> places;
};

struct Tree {
    std::vector<std::string> preamble;  // comment lines between the header and the first key
    std::vector<Key> keys;
};

std::mutex g_registry_lock;
Tree g_tree;
char g_file[kPathSize] = "";
// A file that exists but could not be read or parsed is never overwritten: the
// admin's hand edits stay on disk to be fixed, and saving fails as opening did.
bool g_open_failed = false;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const std::string& a, const char* b, std::size_t n) {
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool same_name(const std::string& a, const char* b) { return same_name(a, b, std::strlen(b)); }

bool same_name(const std::string& a, const std::string& b) { return same_name(a, b.c_str(), b.size()); }

// True when path is ancestor itself or lies below it.
bool is_at_or_below(const std::string& path, const std::string& ancestor) {
    if (path.size() < ancestor.size()) return false;
    for (std::size_t i = 0; i < ancestor.size(); ++i)
        if (lower(path[i]) != lower(ancestor[i])) return false;
    return path.size() == ancestor.size() || path[ancestor.size()] == '\\';
}

std::string full_path(const char* key) {
    std::string p = kRoot;
    p += key ? key : "";
    while (!p.empty() && p.back() == '\\') p.pop_back();
    return p;
}

Key* find_key(const std::string& path) {
    for (auto& k : g_tree.keys)
        if (same_name(k.path, path)) return &k;
    return nullptr;
}

Key& create_key(const std::string& path) {
    if (Key* k = find_key(path)) return *k;
    g_tree.keys.push_back(Key{path, {}, {}});
    return g_tree.keys.back();
}

std::string folded(const std::string& name) {
    std::string out = name;
    for (char& c : out) c = lower(c);
    return out;
}

Entry* find_value(Key& k, const char* name) {
    const auto it = k.places.find(folded(name));
    return it == k.places.end() ? nullptr : &k.entries[it->second];
}

Entry& add_value(Key& k, Entry e) {
    k.places[folded(e.name)] = k.entries.size();
    k.entries.push_back(std::move(e));
    return k.entries.back();
}

void index_values(Key& k) {
    k.places.clear();
    for (std::size_t i = 0; i < k.entries.size(); ++i)
        if (k.entries[i].kind != Kind::Comment) k.places[folded(k.entries[i].name)] = i;
}

// --- parsing ----------------------------------------------------------------

// Reads a quoted string starting at line[*pos] == '"'. Only \\ and \" are escapes;
// a backslash before any other character stands for itself, as a hand editor
// writing "C:\dir" means it. Returns false when the closing quote is missing.
bool parse_quoted(const std::string& line, std::size_t* pos, std::string* out) {
    std::size_t i = *pos;
    if (i >= line.size() || line[i] != '"') return false;
    ++i;
    out->clear();
    while (i < line.size()) {
        char c = line[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
            out->push_back(line[i + 1]);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    return false;
}

bool only_blanks_from(const std::string& line, std::size_t pos) {
    for (std::size_t i = pos; i < line.size(); ++i)
        if (line[i] != ' ' && line[i] != '\t') return false;
    return true;
}

void skip_blanks(const std::string& line, std::size_t* pos) {
    while (*pos < line.size() && (line[*pos] == ' ' || line[*pos] == '\t')) ++*pos;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits the file into lines: LF or CRLF, a UTF-8 byte-order mark dropped.
std::vector<std::string> split_lines(const std::string& data) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        if (end == std::string::npos) end = data.size();
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// Parses one value line into e. Returns false when the line is not a value line
// of a form we can keep.
bool parse_value_line(const std::string& line, Entry* e) {
    std::size_t pos = 0;
    if (line[0] == '@') {
        e->name.clear();
        pos = 1;
    } else if (!parse_quoted(line, &pos, &e->name)) {
        return false;
    }
    skip_blanks(line, &pos);
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    skip_blanks(line, &pos);
    if (pos >= line.size()) return false;
    if (line[pos] == '"') {
        if (!parse_quoted(line, &pos, &e->text) || !only_blanks_from(line, pos)) return false;
        e->kind = Kind::Text;
        return true;
    }
    if (line.compare(pos, 6, "dword:") == 0) {
        pos += 6;
        std::uint32_t v = 0;
        std::size_t digits = 0;
        while (pos < line.size() && hex_digit(line[pos]) >= 0) {
            v = (v << 4) | static_cast<std::uint32_t>(hex_digit(line[pos]));
            ++pos;
            ++digits;
        }
        if (digits != 8 || !only_blanks_from(line, pos)) return false;
        e->kind = Kind::Dword;
        e->dword = v;
        return true;
    }
    // Other types keep their line as it is: "-" (delete), or a type word such as
    // hex, hex(2), qword followed by ':'.
    if (line[pos] == '-' && only_blanks_from(line, pos + 1)) {
        e->kind = Kind::Other;
        e->text = line;
        return true;
    }
    std::size_t t = pos;
    while (t < line.size() && (std::isalnum(static_cast<unsigned char>(line[t])) || line[t] == '(' ||
                               line[t] == ')'))
        ++t;
    if (t == pos || t >= line.size() || line[t] != ':') return false;
    e->kind = Kind::Other;
    e->text = line;
    return true;
}

// Parses the whole file into tree. False on any line that is not ours to keep.
bool parse(const std::string& data, Tree* tree) {
    // A text export never holds a NUL byte; a name or text with one inside
    // could not be looked up or written back as it was read.
    if (data.find('\0') != std::string::npos) return false;
    std::vector<std::string> lines = split_lines(data);
    std::size_t i = 0;
    while (i < lines.size() && only_blanks_from(lines[i], 0)) ++i;
    if (i >= lines.size() || lines[i] != kHeader) return false;
    ++i;
    Key* current = nullptr;
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (only_blanks_from(line, 0)) continue;
        if (line[0] == ';') {
            if (current)
                current->entries.push_back(Entry{Kind::Comment, "", line, 0});
            else
                tree->preamble.push_back(line);
            continue;
        }
        if (line[0] == '[') {
            std::size_t close = line.rfind(']');
            if (close == std::string::npos || close < 2 || !only_blanks_from(line, close + 1)) return false;
            std::string path = line.substr(1, close - 1);
            if (path.find('[') != std::string::npos || path.find(']') != std::string::npos) return false;
            while (!path.empty() && path.back() == '\\') path.pop_back();
            if (path.empty()) return false;
            // A key named twice is one key: later lines add to it.
            current = nullptr;
            for (auto& k : tree->keys)
                if (same_name(k.path, path)) current = &k;
            if (!current) {
                tree->keys.push_back(Key{path, {}, {}});
                current = &tree->keys.back();
            }
            continue;
        }
        if (!current) return false;  // a value outside any key
        Entry e{Kind::Text, "", "", 0};
        if (!parse_value_line(line, &e)) return false;
        // Multi-line hex data continues with lines ending in '\'.
        if (e.kind == Kind::Other) {
            while (!e.text.empty() && e.text.back() == '\\' && i + 1 < lines.size()) {
                ++i;
                e.text += '\n';
                e.text += lines[i];
            }
            if (!e.text.empty() && e.text.back() == '\\') return false;
        }
        // The last of two values with one name wins, as on import.
        if (Entry* old = find_value(*current, e.name.c_str())) {
            e.name = old->name;  // the first spelling stays, as a later write keeps it
            *old = std::move(e);
        } else {
            add_value(*current, std::move(e));
        }
    }
    return true;
}

// --- writing ----------------------------------------------------------------

void append_quoted(std::string* out, const std::string& text) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// Parents before children, siblings in case-blind name order, as an export lists them.
bool key_order(const Key& a, const Key& b) {
    std::size_t n = std::min(a.path.size(), b.path.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto rank = [](char c) { return c == '\\' ? 1 : static_cast<unsigned char>(lower(c)) + 1; };
        int ra = rank(a.path[i]), rb = rank(b.path[i]);
        if (ra != rb) return ra < rb;
    }
    return a.path.size() < b.path.size();
}

std::string render(const Tree& tree) {
    std::string out = kHeader;
    out += "\n\n";
    for (const auto& line : tree.preamble) {
        out += line;
        out += '\n';
    }
    if (!tree.preamble.empty()) out += '\n';
    std::vector<const Key*> keys;
    for (const auto& k : tree.keys) keys.push_back(&k);
    std::stable_sort(keys.begin(), keys.end(), [](const Key* a, const Key* b) { return key_order(*a, *b); });
    for (const Key* k : keys) {
        out += '[';
        out += k->path;
        out += "]\n";
        for (const auto& e : k->entries) {
            switch (e.kind) {
                case Kind::Text:
                case Kind::Dword:
                    if (e.name.empty())
                        out += '@';
                    else
                        append_quoted(&out, e.name);
                    out += '=';
                    if (e.kind == Kind::Text) {
                        append_quoted(&out, e.text);
                    } else {
                        char digits[16];  // "dword:" follows; 8 hex digits + NUL
                        std::snprintf(digits, sizeof digits, "%08x", e.dword);
                        out += "dword:";
                        out += digits;
                    }
                    break;
                case Kind::Other:
                case Kind::Comment:
                    out += e.text;
                    break;
            }
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

// Creates dir and its missing parents (mode 0755). True when it exists afterwards.
// The directory a file path names: "." for a bare name, "/" for a file at the root.
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

bool make_directories(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Each prefix ending before a '/' is a parent; the walk is bounded by the path length.
    for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        std::string parent = dir.substr(0, slash);
        if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the whole file. 1 with data, 0 on a read error, -1 when it does not exist
// (nor its directory).
int read_file(const char* path, std::string* data) {
    File f(::open(path, O_RDONLY | O_CLOEXEC));
    if (!f) return (errno == ENOENT || errno == ENOTDIR) ? -1 : 0;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(f.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (n == 0) return 1;
        data->append(buf, static_cast<std::size_t>(n));
        if (data->size() > kMaxFileSize) return 0;
    }
}

}  // namespace

int registry_open(const char* path) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    g_tree = Tree{};
    g_open_failed = false;
    std::snprintf(g_file, sizeof g_file, "%s", path ? path : "");
    if (!path || !*path || std::strlen(path) >= sizeof g_file) {
        g_open_failed = true;
        return 0;
    }
    std::string data;
    int r = read_file(path, &data);
    if (r < 0) return 1;  // a first start: nothing stored yet
    Tree parsed;
    if (r == 0 || !parse(data, &parsed)) {
        g_open_failed = true;
        return 0;
    }
    g_tree = std::move(parsed);
    return 1;
}

namespace {

// A save writes "<file>.XXXXXX.tmp", then renames it over the file.
constexpr const char* kTempLetters = "XXXXXX";
constexpr const char* kTempSuffix = ".tmp";

}  // namespace

int registry_flush() {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    if (g_open_failed || g_file[0] == '\0') return 0;
    const std::string target = g_file;
    const std::string dir = directory_of(target);
    if (!make_directories(dir)) return 0;

    std::string data = render(g_tree);
    std::string temp_name = target + "." + kTempLetters + kTempSuffix;
    std::vector<char> temp(temp_name.begin(), temp_name.end());
    temp.push_back('\0');
    File f(::mkostemps(temp.data(), static_cast<int>(std::strlen(kTempSuffix)), O_CLOEXEC));
    if (!f) return 0;
    // Keep the permissions an admin gave the file; a new one holds passwords and
    // stays private (mkostemp's 0600).
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) (void)::fchmod(f.get(), st.st_mode & 07777);
    bool ok = platform::write_all(f.get(), data.data(), data.size()) && ::fsync(f.get()) == 0;
    int fd = f.release();
    if (::close(fd) != 0) ok = false;
    kill_point("registry-temp-written");
    if (!ok || ::rename(temp.data(), target.c_str()) != 0) {
        int saved = errno;
        ::unlink(temp.data());
        errno = saved;
        return 0;
    }
    kill_point("registry-renamed");
    // The rename itself must reach the disk before we call the write done.
    File d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d) (void)::fsync(d.get());
    return 1;
}

namespace {

// "<base>.", six of mkostemps's letters and digits, and the suffix: an
// admin's "registry.reg.backup" never looks like it, and every one of ours
// does, whatever letters it drew.
bool is_temp_of(const char* name, const std::string& base) {
    if (std::strncmp(name, base.c_str(), base.size()) != 0 || name[base.size()] != '.') return false;
    const char* tail = name + base.size() + 1;
    const std::size_t letters = std::strlen(kTempLetters);
    if (std::strlen(tail) != letters + std::strlen(kTempSuffix) || std::strcmp(tail + letters, kTempSuffix) != 0)
        return false;
    for (std::size_t i = 0; i < letters; ++i)
        if (!std::isalnum(static_cast<unsigned char>(tail[i]))) return false;
    return true;
}

}  // namespace

int registry_remove_stale_temps(const char* path) {
    const std::string target = path;
    const std::string dir = directory_of(target);
    const std::string base = target.substr(target.rfind('/') + 1);  // npos + 1 is 0: the whole name
    DIR* d = ::opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        if (is_temp_of(e->d_name, base) && ::unlinkat(::dirfd(d), e->d_name, 0) == 0) ++removed;
    }
    ::closedir(d);
    return removed;
}

const char* registry_file() { return g_file; }

bool registry_key_exists(const char* key) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    std::string path = full_path(key);
    for (const auto& k : g_tree.keys)
        if (is_at_or_below(k.path, path)) return true;
    return false;
}

bool registry_has_keys() {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    return !g_tree.keys.empty();
}

// Parents exist implicitly as long as a key below them exists, as in an export
// that lists only the keys holding values.
void registry_create_key(const char* key) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    create_key(full_path(key));
}

void registry_delete_key(const char* key) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    std::string path = full_path(key);
    auto& keys = g_tree.keys;
    keys.erase(std::remove_if(keys.begin(), keys.end(), [&](const Key& k) { return is_at_or_below(k.path, path); }),
               keys.end());
}

bool registry_get_dword(const char* key, const char* name, std::uint32_t* out) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    Key* k = find_key(full_path(key));
    Entry* e = k ? find_value(*k, name) : nullptr;
    if (!e || e->kind != Kind::Dword) return false;
    *out = e->dword;
    return true;
}

bool registry_get_text(const char* key, const char* name, std::string* out) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    Key* k = find_key(full_path(key));
    Entry* e = k ? find_value(*k, name) : nullptr;
    if (!e || e->kind != Kind::Text) return false;
    *out = e->text;
    return true;
}

void registry_set_dword(const char* key, const char* name, std::uint32_t value) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    Key& k = create_key(full_path(key));
    Entry* e = find_value(k, name);
    if (!e) e = &add_value(k, Entry{Kind::Dword, name, "", 0});
    e->kind = Kind::Dword;
    e->text.clear();
    e->dword = value;
}

void registry_set_text(const char* key, const char* name, const char* value) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    Key& k = create_key(full_path(key));
    Entry* e = find_value(k, name);
    if (!e) e = &add_value(k, Entry{Kind::Text, name, "", 0});
    e->kind = Kind::Text;
    e->dword = 0;
    e->text = value ? value : "";
    // One value is one line of the file: a line break inside a text (a pasted
    // multi-line field) would end the string and make the whole file unreadable.
    for (char& c : e->text)
        if (c == '\n' || c == '\r') c = ' ';
}

void registry_delete_value(const char* key, const char* name) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    Key* k = find_key(full_path(key));
    if (!k) return;
    auto& v = k->entries;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const Entry& e) { return e.kind != Kind::Comment && same_name(e.name, name); }),
            v.end());
    index_values(*k);
}

std::vector<std::string> registry_value_names(const char* key) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    std::vector<std::string> names;
    Key* k = find_key(full_path(key));
    if (!k) return names;
    for (const auto& e : k->entries)
        if (e.kind != Kind::Comment) names.push_back(e.name);
    return names;
}

}  // namespace kv::platform
