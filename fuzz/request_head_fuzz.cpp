// Feeds arbitrary bytes to the proxy's request-head reader and parser, as if
// they had arrived from a browser. Besides the sanitizers' checks, the block
// reader's result must equal the byte-at-a-time reader's, and a parsed request
// must have every field inside the request buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "conn/connection_record.h"
#include "proxy/request_parse.h"
#include "testing/bytewise_head_model.h"

namespace {

using kv::proxy::ParseSettings;

void check(bool ok) {
    if (!ok) std::abort();
}

bool inside(const kv::conn::ProxyFields& p, const char* s) {
    return s >= p.request && s < p.request + kv::conn::kResponseAreaOffset;
}

void check_text(const kv::conn::ProxyFields& p, const char* s) {
    check(s != nullptr);
    if (std::strcmp(s, "https") == 0) return;  // CONNECT's scheme lives outside
    check(inside(p, s));
    check(s + std::strlen(s) < p.request + kv::conn::kResponseAreaOffset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // First byte: the settings the parse reads.
    const ParseSettings settings{data[0] & 1, (data[0] & 2) ? 80 : 3129, (data[0] >> 2) & 1};
    const std::string_view raw(reinterpret_cast<const char*>(data + 1), size - 1);

    static auto fields = std::make_unique<kv::conn::ProxyFields>();
    kv::conn::ProxyFields& p = *fields;
    p.~ProxyFields();
    new (&p) kv::conn::ProxyFields();

    const std::size_t n = raw.size() < kv::proxy::kHeadLimit ? raw.size() : kv::proxy::kHeadLimit;
    std::memcpy(p.request, raw.data(), n);
    const int state = kv::proxy::take_request_head(p, n);

    std::string model_head;
    std::size_t consumed = 0;
    check(state == kv::proxy::model::bytewise_head(raw.substr(0, n), &model_head, &consumed));
    if (state == kv::proxy::kHeadTooLong) check(p.error == kv::proxy::kErrorHeadTooLong);
    if (state != kv::proxy::kHeadComplete) return 0;
    check(std::strlen(p.request) <= model_head.size());
    check(std::memcmp(p.request, model_head.data(), model_head.size()) == 0);
    check(p.body == p.request + model_head.size() + 1);
    check(static_cast<std::size_t>(p.body_length) == n - consumed);
    check(std::memcmp(p.body, raw.data() + consumed, n - consumed) == 0);

    static char work[kv::conn::kWorkBufferSize];
    if (!kv::proxy::parse_request_head(p, work, sizeof work, settings)) return 0;
    check(p.parsed == 1);
    check_text(p, p.method);
    check_text(p, p.scheme);
    check_text(p, p.host);
    check_text(p, p.path);
    check_text(p, p.version);
    if (p.ftp_user) check_text(p, p.ftp_user);
    if (p.ftp_password) check_text(p, p.ftp_password);
    check(std::strlen(p.host) <= kv::proxy::kMaxHostLength);
    check(p.header_count >= 0 && p.header_count <= kv::proxy::kMaxUsableHeaders);
    for (int i = 0; i < p.header_count; ++i) {
        check_text(p, p.headers[i].name);
        check_text(p, p.headers[i].value);
    }
    check(p.kind <= kv::conn::kKindHttps);
    (void)kv::proxy::find_request_header(p, "Authorization");
    check(kv::proxy::request_cacheable(p, settings) == p.cacheable);
    if (!settings.enable_cache) check(p.cacheable == 0);
    return 0;
}
