// libFuzzer entry for the line editing of the socket's line mode. The first two bytes give the
// number of bytes received earlier, the third the size limit, the rest is the fresh input.
// The result is checked against a direct model of the editing: a column that moves over an
// array, with a low mark for the lowest column a backspace reached.
#include "net/WSocketLine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const std::size_t prior =
        static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1] & 3) << 8);
    const std::size_t limit = prior + data[2];
    const std::string_view fresh(reinterpret_cast<const char*>(data + 3), size - 3);

    const TLineEditResult edited = EditLineInput(prior, fresh, true, limit);
    if (edited.Kept > prior || edited.Kept + edited.Tail.size() > limit) std::abort();

    std::map<std::size_t, char> written;
    std::size_t column = prior;
    std::size_t low = prior;
    std::size_t echoed = 0;
    bool overflow = false;
    const auto put = [&](char byte) {
        if (column >= limit) return !(overflow = true);
        written[column++] = byte;
        return true;
    };
    for (const char byte : fresh) {
        if (byte == '\b') {
            if (column == 0) continue;
            echoed += 3;
            low = std::min(low, --column);
        } else if (byte == '\t') {
            bool fits = true;
            do {
                ++echoed;
                fits = put(' ');
            } while (fits && column % 8 != 0);
            if (!fits) break;
        } else {
            ++echoed;
            if (!put(byte)) break;
        }
    }
    if (edited.Overflow != overflow) std::abort();
    if (overflow) return 0;
    if (edited.Kept != low || edited.Kept + edited.Tail.size() != column) std::abort();
    for (std::size_t i = 0; i < edited.Tail.size(); ++i)
        if (written.at(low + i) != edited.Tail[i]) std::abort();
    if (edited.Echo.size() != echoed) std::abort();
    return 0;
}
