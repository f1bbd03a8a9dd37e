// mime_linearity: decoding time of one huge line against the same bytes as ordinary lines.
//
// A 50 MB body line without LF and a 1 MB header folded into one logical line must cost about
// what 50 MB of body lines / 1 MB of header lines cost; a line buffer that grew by a constant
// step would make them quadratic. Prints the best of three runs of each.
#include "net/MimeDec.h"
#include "ui/Streams.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct TResult {
    double Seconds;
    unsigned long long Bytes;
};

TResult Time(TMemoryStream& stream) {
    TMimeDecode decoder;
    unsigned long long bytes = 0;
    decoder.OnPartLine = [&](TObject*, const char*, int len) {
        bytes += static_cast<unsigned>(len);
    };
    decoder.OnHeaderLine = [&](TObject*) { bytes += decoder.CurrentLine().size(); };
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        bytes = 0;
        stream.SetPosition(0);
        const auto start = std::chrono::steady_clock::now();
        decoder.DecodeStream(stream);
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        best = std::min(best, spent.count());
    }
    return {best, bytes};
}

// Allocating and touching fresh memory of the given size (the line buffer a one-line decode
// needs): the floor for any decoder that hands a line over in one piece. Blocks above the
// allocator's mmap threshold are faulted in anew each time, which virtual machines make slow.
double TouchFreshMemory(size_t size) {
    double best = 1e9;
    unsigned long long sum = 0;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        std::unique_ptr<char[]> block(new char[size]);
        std::memset(block.get(), static_cast<int>(start.time_since_epoch().count() & 0x7F), size);
        for (size_t i = 0; i < size; i += 4096)
            sum += static_cast<unsigned char>(block[i]);
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        best = std::min(best, spent.count());
    }
    if (sum == 1) std::printf(" ");
    return best;
}

// floorBytes: size of the line buffer the one-line decode ends with (0: not shown).
void Row(const char* what, size_t size, size_t floorBytes, const std::string& single,
         const std::string& lines) {
    TMemoryStream a, b;
    a.WriteString(single);
    b.WriteString(lines);
    const TResult one = Time(a);
    const TResult many = Time(b);
    if (one.Bytes != many.Bytes && std::string(what) == "body")
        std::printf("bytes differ: %llu / %llu\n", one.Bytes, many.Bytes);
    char floor[32] = "-";
    if (floorBytes) std::snprintf(floor, sizeof floor, "%.1f", TouchFreshMemory(floorBytes) * 1e3);
    std::printf("| %s | %.2f MB | %.1f | %.1f | %s | %.2f |\n", what, size / 1048576.0,
                one.Seconds * 1e3, many.Seconds * 1e3, floor, one.Seconds / many.Seconds);
}

void Body(size_t size) {
    std::string single = "Subject: s\r\n\r\n";
    single.append(size, 'x');
    std::string lines = "Subject: s\r\n\r\n";
    lines.reserve(single.size());
    while (lines.size() + 78 <= single.size())
        lines.append(76, 'x').append("\r\n");
    lines.append(single.size() - lines.size(), 'x');
    size_t buffer = 2048;
    while (buffer < single.size())
        buffer *= 2;
    Row("body", size, buffer + 1, single, lines);
}

void Header(size_t size) {
    std::string folded = "Subject: a";
    while (folded.size() + 4 <= size)
        folded += "\r\n b";
    folded += "\r\n\r\n";
    std::string ordinary;
    while (ordinary.size() + 78 <= folded.size())
        ordinary += "X-H: " + std::string(71, 'b') + "\r\n";
    ordinary.append(folded.size() - ordinary.size() - 4, 'b');
    ordinary += "\r\n\r\n";
    Row("header", size, 0, folded, ordinary);
}

} // namespace

int main() {
    std::printf("| input | size | one line ms | ordinary lines ms | fresh line buffer ms | "
                "one/ordinary |\n|---|---:|---:|---:|---:|---:|\n");
    for (size_t mb : {12u, 25u, 50u})
        Body((mb << 20) + (mb == 12 ? 1u << 19 : 0));
    for (size_t kb : {256u, 512u, 1024u})
        Header(kb << 10);
    return 0;
}
