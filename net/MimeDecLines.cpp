#include "net/MimeDec.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// A longer run of bytes without LF is handed on in pieces of this size, so that a count
// always fits the events' 32-bit signed length and the buffer stays bounded.
constexpr size_t kMaxLine = size_t{1} << 30;

} // namespace

// Splits the input into lines (LF ends a line, a CR right before it goes with it) and joins
// header continuation lines (RFC 5322 section 2.2.3 folding) in place before dispatching.
void TMimeDecode::ReadLines() {
    for (;;) {
        char* buf = buffer_.get();
        const void* hit = scan_ < tail_ ? std::memchr(buf + scan_, '\n', tail_ - scan_) : nullptr;
        if (!hit) {
            scan_ = tail_;
            if (tail_ - head_ >= kMaxLine) {
                HandleLine(buf + head_, tail_ - head_);
                head_ = scan_ = tail_;
                continue;
            }
            if (endOfStream_ || !FillBuffer(SIZE_MAX)) {
                // The last line of the input has no LF; it is kept as it is, CR included.
                if (tail_ > head_) {
                    const size_t start = head_;
                    head_ = scan_ = tail_;
                    HandleLine(buffer_.get() + start, tail_ - start);
                }
                return;
            }
            continue;
        }
        size_t lf = static_cast<size_t>(static_cast<const char*>(hit) - buf);
        size_t end = lf > head_ && buf[lf - 1] == '\r' ? lf - 1 : lf;
        if (headerMode_ && end > head_) {
            if (lf + 1 == tail_ && !endOfStream_) {
                // Exactly one byte decides whether the next line continues this one.
                const size_t lfAt = lf - head_;
                const size_t endAt = end - head_;
                FillBuffer(1);
                buf = buffer_.get();
                lf = head_ + lfAt;
                end = head_ + endAt;
            }
            if (lf + 1 < tail_ && (buf[lf + 1] == ' ' || buf[lf + 1] == '\t')) {
                std::memset(buf + end, ' ', lf + 2 - end);
                scan_ = lf + 2;
                continue;
            }
        }
        const size_t start = head_;
        head_ = scan_ = lf + 1;
        HandleLine(buf + start, end - start);
    }
}

namespace {

constexpr std::uintptr_t kHugePage = 2u << 20;
constexpr std::uintptr_t kPage = 4096;

// A buffer for a line of tens of megabytes is backed by huge pages where the system allows
// it: faulting such a block in 4 KB page by page costs more than decoding the line, most of
// all on virtual machines. The advice covers every page the block touches, so the block's
// mapping stays in one piece and can still grow in place.
void AdviseHugePages(char* block, std::size_t size) {
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t begin = start & ~(kPage - 1);
    const std::uintptr_t end = (start + size + kPage - 1) & ~(kPage - 1);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace

void TMimeDecode::TFree::operator()(char* p) const noexcept {
    std::free(p);
}

// Reads up to maxBytes into the free end of the buffer; false at the end of the stream.
bool TMimeDecode::FillBuffer(size_t maxBytes) {
    if (tail_ == size_) MakeRoom();
    const size_t want = std::min(size_ - tail_, maxBytes);
    int64_t got = stream_->Read(buffer_.get() + tail_, static_cast<int64_t>(want));
    if (got <= 0) {
        endOfStream_ = true;
        return false;
    }
    tail_ += std::min(static_cast<size_t>(got), want);
    return true;
}

// The buffer is full. When more than three quarters of it has been consumed the unfinished
// line moves to the front; otherwise that line is long, and the buffer doubles so that a
// line of any length costs time linear in its length.
void TMimeDecode::MakeRoom() {
    const size_t keep = tail_ - head_;
    const bool grow = head_ <= size_ / 4 * 3;
    if (head_ > 0) std::memmove(buffer_.get(), buffer_.get() + head_, keep);
    if (grow) {
        const size_t grown = size_ * 2;
        char* bigger = static_cast<char*>(std::realloc(buffer_.get(), grown + 1));
        if (!bigger) throw std::bad_alloc();
        if (grown >= 2 * kHugePage) AdviseHugePages(bigger, grown + 1);
        (void)buffer_.release();
        buffer_.reset(bigger);
        size_ = grown;
    }
    scan_ -= head_;
    tail_ = keep;
    head_ = 0;
}
