#pragma once
// The admin connection record and the admin server's process-wide state. The
// admin server serves one request at a time on its own thread, so the record
// and the state are touched by that thread only (the restart routine reads the
// settings copy after the thread has answered).
#include <atomic>
#include <ctime>

#include "conn/connection_record.h"
#include "net/page_writer.h"

namespace kv::admin {

inline constexpr std::size_t kAdminRequestSize = 8192;
inline constexpr std::size_t kBodyAttributeSize = 42;
inline constexpr std::size_t kLastAdminPageSize = 32;
inline constexpr std::size_t kLastConfigPageSize = 120;

// One admin request: the common connection head plus the admin fields.
struct AdminRequest {
    conn::ConnectionRecord conn;           // client socket, addresses, work buffer
    char request[kAdminRequestSize + 1]{}; // up to and including the blank line
    char* path{};                          // request target, query string included
    int is_msie{};
    char* auth_header{};                   // "Authorization" line, name cut at its colon
    char* auth_value{};                    // the value, cut at its CR
    int auth_present{};
    const char* method = "GET";
    const char* scheme = "http";
    const char* host = "Korvanet";
    int status = 200;
    char user[32]{};                       // authenticated user name (empty: none)
    char password[128]{};                  // its password, as sent
};

// Admin server state.
struct AdminState {
    int started{};
    std::tm start_time{};                        // UTC
    char body_attribute[kBodyAttributeSize]{};   // inside every "<BODY %s>"
    char config_help_file[4096]{};               // config.htm beside the program
    char last_admin_page[kLastAdminPageSize] = "main";
    char last_config_page[kLastConfigPageSize] = "help#info";
    std::atomic<int> restart_pending{};
};
AdminState& state();

// Every page's opening: "HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n".
inline constexpr const char* kPageHead = "HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n";

// Adds "<BODY %s>\n" with the body attribute.
void send_body_line(net::PageWriter& out);

}  // namespace kv::admin
