// Feeds arbitrary bytes through the SMTP client's receive buffer, reply-line parser and
// multi-line assembly, in reads of varying size, as a hostile server would send them.
#include "net/SmtpParse.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the read size, so reads split lines and CR LF pairs anywhere.
    const std::size_t step = static_cast<std::size_t>(data[0] % 64) + 1;
    ++data;
    --size;
    TSmtpReceiveBuffer buffer;
    TSmtpReplyAssembler reply;
    std::string line;
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t room = buffer.Room();
        if (room == 0) break;
        const std::size_t count = std::min({step, room, size - offset});
        std::memcpy(buffer.Space(), data + offset, count);
        buffer.Commit(count);
        offset += count;
        for (;;) {
            const TSmtpReceiveBuffer::TNext next = buffer.NextLine(line);
            if (next == TSmtpReceiveBuffer::kOverflow) return 0;
            if (next == TSmtpReceiveBuffer::kNone) break;
            const TSmtpReplyLine parsed = SmtpParseReplyLine(line);
            if (parsed.Kind != TSmtpLineKind::Malformed && (parsed.Code < 200 || parsed.Code > 599))
                __builtin_trap();
            if (reply.Add(line) && !reply.Malformed()) {
                if (reply.Lines().Count() > TSmtpReplyAssembler::kMaxLines) __builtin_trap();
                (void)SmtpHasExtension(reply.Lines(), "PIPELINING");
                (void)SmtpHasAuthMechanism(reply.Lines(), "CRAM-MD5");
            }
        }
    }
    return 0;
}
