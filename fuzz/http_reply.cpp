// Feeds arbitrary bytes as an HTTP response header: the line buffer in reads of varying size,
// the status line, header fields and their numbers, and every Location value through the
// relocation rules, direct and through a proxy, as a hostile server would send them.
#include "net/HttpParse.h"
#include "net/HttpUrl.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// A relocated request target must never carry a byte that ends or splits the request line.
void CheckTarget(const THttpTarget& t) {
    for (char c : t.Path)
        if (static_cast<unsigned char>(c) <= ' ') __builtin_trap();
}

void TakeLine(std::string_view line, THttpTarget& direct, THttpTarget& proxied) {
    int code = -1;
    std::string reason;
    if (ParseStatusLine(line, code, reason) == THttpStatusLine::Status && (code < 0 || code > 999))
        __builtin_trap();
    std::string name;
    std::string_view value;
    if (!SplitHeaderField(line, name, value)) return;
    std::int64_t length = -1;
    if (ParseContentLength(value, length) && length < 0) __builtin_trap();
    std::string begin, end;
    ParseContentRange(value, begin, end);
    (void)IsBareHtml(line);
    if (Relocate(direct, value) == THttpRelocation::Accepted) CheckTarget(direct);
    if (Relocate(proxied, value) == THttpRelocation::Accepted) CheckTarget(proxied);
    (void)DocNameOfPath(direct.Path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the read size, so reads split lines and CR LF pairs anywhere.
    const std::size_t step = static_cast<std::size_t>(data[0] % 64) + 1;
    ++data;
    --size;
    THttpTarget direct{"", "www", "80", "www", "/a/b.html", "", "u", "p"};
    THttpTarget proxied{"proxy", "proxy", "3128", "www", "http://www/a/b.html", "", "", ""};
    THttpLineBuffer buffer;
    std::size_t offset = 0;
    std::size_t headerBytes = 0;
    int lines = 0;
    while (offset < size) {
        const std::size_t count = std::min({step, buffer.Room(), size - offset});
        if (count == 0) return 0; // full without a line end: the client gives up here
        std::memcpy(buffer.Space(), data + offset, count);
        buffer.Commit(count);
        offset += count;
        std::string_view line;
        std::size_t taken = 0;
        while (buffer.PeekLine(line, taken)) {
            if (taken > kHttpLineLimit || line.size() >= taken) __builtin_trap();
            headerBytes += taken;
            if (++lines > kHttpMaxHeaderLines || headerBytes > kHttpMaxHeaderBytes) return 0;
            TakeLine(line, direct, proxied);
            buffer.Consume(taken);
        }
    }
    return 0;
}
