// The socket's line layer: assembly of received bytes into lines, echo and editing, and the
// delivery of what is buffered when the mode changes or the input ends.
#include "net/WSocketLine.h"

#include "net/WSocket.h"

#include <algorithm>
#include <cstring>
#include <exception>

TLineEditResult EditLineInput(std::size_t Prior, std::string_view Fresh, bool WithEcho,
                              std::size_t Limit) {
    TLineEditResult result;
    result.Kept = Prior;
    const auto column = [&] { return result.Kept + result.Tail.size(); };
    const auto put = [&](char byte) {
        if (column() >= Limit) {
            result.Overflow = true;
            return false;
        }
        result.Tail.push_back(byte);
        return true;
    };
    for (const char byte : Fresh) {
        if (byte == '\b') {
            if (column() == 0) continue;
            if (WithEcho) result.Echo.append("\b \b");
            if (!result.Tail.empty())
                result.Tail.pop_back();
            else
                --result.Kept;
        } else if (byte == '\t') {
            do {
                if (WithEcho) result.Echo.push_back(' ');
                if (!put(' ')) return result;
            } while (column() % 8 != 0);
        } else {
            if (WithEcho) result.Echo.push_back(byte);
            if (!put(byte)) return result;
        }
    }
    return result;
}

namespace {

// Largest single read into the line buffer; the receive loop comes back for more.
constexpr std::size_t kMaxLineRead = 262144;

} // namespace

// Marks a line delivery on the stack. Whatever way it ends, no line stays "being delivered";
// one that ends by an exception after taking bytes asks for the rest to be offered again.
class TLineDelivery {
public:
    explicit TLineDelivery(TCustomLineWSocket& socket)
        : socket_(socket), taken_(socket.taken_), exceptions_(std::uncaught_exceptions()) {
        ++socket_.delivering_;
    }
    ~TLineDelivery() {
        socket_.lineLength_ = 0;
        if (std::uncaught_exceptions() > exceptions_ && socket_.taken_ != taken_)
            socket_.redeliver_ = true;
        if (--socket_.delivering_ == 0 && socket_.redeliver_) {
            socket_.redeliver_ = false;
            if (socket_.count_ > 0) PostMessage(socket_.window_, WM_SOCKET_LINE_DATA, 0, 0);
        }
    }
    TLineDelivery(const TLineDelivery&) = delete;
    TLineDelivery& operator=(const TLineDelivery&) = delete;

private:
    TCustomLineWSocket& socket_;
    std::uint64_t taken_;
    int exceptions_;
};

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomTlsWSocket(AOwner) {}

TCustomLineWSocket::~TCustomLineWSocket() {
    Destroying();
    ReleaseBuffer();
}

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == lineMode_) return;
    lineMode_ = Value;
    if (count_ > 0 || lineLength_ > 0) PostMessage(window_, WM_SOCKET_LINE_DATA, 0, 0);
}

void TCustomLineWSocket::SetLineEnd(const std::string& Value) {
    if (Value == lineEnd_) return;
    lineEnd_ = Value;
    scanned_ = false;
    if (count_ > 0) PostMessage(window_, WM_SOCKET_LINE_DATA, 0, 0);
}

int TCustomLineWSocket::RcvdCount() {
    if (LineActive()) return static_cast<int>(lineLength_);
    if (count_ > 0) return static_cast<int>(count_);
    return TCustomTlsWSocket::RcvdCount();
}

void TCustomLineWSocket::StartTls() {
    taken_ += count_;
    count_ = 0;
    start_ = 0;
    lineLength_ = 0;
    Terminate();
    TCustomTlsWSocket::StartTls();
}

// ---- The buffer ----

bool TCustomLineWSocket::Reserve(std::size_t Extra) {
    if (Extra > kLineBufferCeiling - 1 - count_) return false;
    const std::size_t need = count_ + Extra + 1;
    if (start_ + need <= capacity_) return true;
    if (need <= capacity_) {
        std::memmove(buffer_.get(), buffer_.get() + start_, count_);
        start_ = 0;
        return true;
    }
    // Doubling keeps a long line from costing a copy of everything per read.
    const std::size_t grown =
        std::min(std::max({need, capacity_ * 2, std::size_t{4096}}), kLineBufferCeiling);
    auto bigger = std::make_unique_for_overwrite<char[]>(grown);
    if (count_ > 0) std::memcpy(bigger.get(), buffer_.get() + start_, count_);
    buffer_ = std::move(bigger);
    capacity_ = grown;
    start_ = 0;
    return true;
}

void TCustomLineWSocket::Terminate() noexcept {
    if (buffer_) buffer_[start_ + count_] = '\0';
}

void TCustomLineWSocket::Consume(std::size_t Count) noexcept {
    start_ += Count;
    count_ -= Count;
    lineLength_ -= std::min(lineLength_, Count);
    taken_ += Count;
    if (count_ == 0) {
        start_ = 0;
        Terminate();
    }
}

void TCustomLineWSocket::ReleaseBuffer() noexcept {
    buffer_.reset();
    capacity_ = 0;
    start_ = 0;
    count_ = 0;
    lineLength_ = 0;
}

// ---- Reading ----

int TCustomLineWSocket::RawReceive(void* Buffer, int BufferSize) {
    std::size_t available = count_;
    if (LineActive()) {
        // Between deliveries the buffered bytes wait for their line end; handing out newer
        // bytes from the platform meanwhile would reorder the stream.
        if (lineLength_ == 0 && count_ > 0) {
            winsock::WSASetLastError(WSAEWOULDBLOCK);
            return SOCKET_ERROR;
        }
        available = lineLength_;
    }
    if (available == 0) return TCustomTlsWSocket::RawReceive(Buffer, BufferSize);
    const std::size_t n = std::min(available, static_cast<std::size_t>(std::max(BufferSize, 0)));
    if (n > 0) std::memcpy(Buffer, buffer_.get() + start_, n);
    Consume(n);
    return static_cast<int>(n);
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t Error) {
    if (!LineActive()) {
        if (count_ == 0) return TCustomTlsWSocket::TriggerDataAvailable(Error);
        // Bytes left from line mode go first, then once more for what the platform holds,
        // since reads served from the buffer do not ask the platform for more.
        while (count_ > 0 && !LineActive()) {
            const std::size_t before = count_;
            if (!TCustomTlsWSocket::TriggerDataAvailable(Error)) return false;
            if (count_ == before) return true;
        }
        if (LineActive()) return true;
        return TCustomTlsWSocket::TriggerDataAvailable(Error);
    }

    if (count_ >= kLineBufferCeiling - 1) {
        FailOverflow();
        return true;
    }
    // A fixed-size read rather than one sized by the pending count: the platform returns what
    // is there, and the count would cost a system call per read.
    const std::size_t want = std::min(kMaxLineRead, kLineBufferCeiling - 1 - count_);
    Reserve(want);
    const int n =
        TCustomTlsWSocket::RawReceive(buffer_.get() + start_ + count_, static_cast<int>(want));
    if (n <= 0) {
        if (n < 0) lastError_ = winsock::WSAGetLastError();
        return true;
    }
    std::size_t fresh = static_cast<std::size_t>(n);
    std::string echo;
    if (lineEdit_) {
        if (!ApplyLineEditing(fresh, echo)) {
            FailOverflow();
            return true;
        }
    } else if (lineEcho_) {
        echo.assign(buffer_.get() + start_ + count_, fresh);
    }
    // Bytes already searched in vain need no second look, except for a line end that
    // arrived split across two reads.
    std::size_t searchFrom = 0;
    if (scanned_ && count_ > lineEnd_.size()) searchFrom = count_ - lineEnd_.size();
    count_ += fresh;
    Terminate();
    if (!echo.empty()) SendText(echo);
    // A delivery further up the stack (its handler pumped the event loop) scans these bytes
    // itself once its line is read.
    if (delivering_ == 0) DeliverLines(searchFrom);
    return true;
}

bool TCustomLineWSocket::ApplyLineEditing(std::size_t& Fresh, std::string& Echo) {
    // The line being delivered, if any, is no longer editable.
    const std::size_t base = lineLength_;
    TLineEditResult edit =
        EditLineInput(count_ - base, std::string_view(buffer_.get() + start_ + count_, Fresh),
                      lineEcho_, kLineBufferCeiling - 1 - base);
    if (edit.Overflow) return false;
    count_ = base + edit.Kept;
    if (!Reserve(edit.Tail.size())) return false;
    if (!edit.Tail.empty())
        std::memcpy(buffer_.get() + start_ + count_, edit.Tail.data(), edit.Tail.size());
    Fresh = edit.Tail.size();
    Echo = std::move(edit.Echo);
    return true;
}

// ---- Delivery ----

bool TCustomLineWSocket::DeliverLine(std::size_t LineLength) {
    lineLength_ = LineLength;
    while (LineActive() && lineLength_ > 0) {
        const std::size_t before = lineLength_;
        // Without a handler, or with one that reads nothing, the line stays for the next
        // notification rather than being offered again and again.
        if (!TCustomTlsWSocket::TriggerDataAvailable(0)) return false;
        if (lineLength_ == before && LineActive()) return false;
    }
    return true;
}

void TCustomLineWSocket::DeliverLines(std::size_t SearchFrom) {
    TLineDelivery delivery(*this);
    // Set again only when the whole buffer has been searched without a find: lines kept for
    // the next notification must be found again from the front.
    scanned_ = false;
    while (LineActive() && count_ > 0) {
        const std::size_t endLength = lineEnd_.size();
        const char* data = buffer_.get() + start_;
        const char* found = nullptr;
        if (count_ >= endLength) {
            const char* from = data + SearchFrom;
            const char* last = data + count_ - endLength; // last possible start
            while (from <= last) {
                const void* first =
                    std::memchr(from, lineEnd_[0], static_cast<std::size_t>(last - from) + 1);
                if (!first) break;
                const char* at = static_cast<const char*>(first);
                // Line ends are short; a library call per candidate would cost more.
                std::size_t same = 1;
                while (same < endLength && at[same] == lineEnd_[same])
                    ++same;
                if (same == endLength) {
                    found = at;
                    break;
                }
                from = at + 1;
            }
        }
        if (!found) {
            scanned_ = true;
            CheckLineLimit();
            return;
        }
        if (!DeliverLine(static_cast<std::size_t>(found - data) + endLength)) return;
        SearchFrom = 0;
    }
}

void TCustomLineWSocket::CheckLineLimit() {
    if (lineLimit_ <= 0 || count_ <= static_cast<std::size_t>(lineLimit_)) return;
    clearData_ = true;
    struct TClearFlag {
        bool& flag;
        ~TClearFlag() { flag = false; }
    } clearFlag{clearData_};
    TriggerLineLimitExceeded(static_cast<std::int32_t>(count_), clearData_);
    if (clearData_) {
        taken_ += count_;
        count_ = 0;
        start_ = 0;
        lineLength_ = 0;
        Terminate();
    }
}

void TCustomLineWSocket::TriggerLineLimitExceeded(std::int32_t Count, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, Count, ClearData);
}

void TCustomLineWSocket::FailOverflow() {
    ReleaseBuffer();
    // Reported once, like any other end of the connection.
    const bool report = !closeInvoked_;
    closeInvoked_ = true;
    Abort();
    if (report) TriggerSessionClosed(WSAENOBUFS);
    // Also ends the receive loop that called us.
    SetLastSocketError(WSAENOBUFS);
}

void TCustomLineWSocket::OfferBuffered(bool EndOfInput) {
    // Every pass must take bytes; one that takes none hands control back to the event loop.
    while (buffer_ && count_ > 0) {
        const std::uint64_t takenBefore = taken_;
        const bool lines = LineActive();
        if (lines) {
            DeliverLines(0);
            if (EndOfInput && LineActive() && count_ > 0) {
                // The input ends without a line end: what is left is the last line.
                TLineDelivery delivery(*this);
                DeliverLine(count_);
            }
        } else if (!TCustomTlsWSocket::TriggerDataAvailable(0)) {
            return;
        }
        if (taken_ == takenBefore || (lines && LineActive())) return;
    }
}

void TCustomLineWSocket::HandleNotification(TMessage& Msg) {
    if (Msg.Msg != WM_SOCKET_LINE_DATA) {
        TCustomTlsWSocket::HandleNotification(Msg);
        return;
    }
    if (delivering_ > 0) {
        // A delivery further up the stack pumped the event loop; it offers these bytes
        // again once it is done.
        redeliver_ = true;
        return;
    }
    OfferBuffered(false);
    // Reads served from the buffer did not re-arm the platform's read notification.
    unsigned long pending = 0;
    if (count_ == 0 && hSocket_ != INVALID_SOCKET && state_ == wsConnected &&
        winsock::ioctlsocket_fionread(hSocket_, &pending) == 0 && pending > 0)
        ReceiveLoop(0, componentOptions_);
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t Error) {
    if (buffer_) {
        // Bytes still buffered are offered before the close is reported, except while the
        // limit event runs: its handler decides about those. A handler that raises here must
        // not keep OnSessionClosed from firing.
        try {
            if (!clearData_) OfferBuffered(true);
        } catch (...) {
        }
        ReleaseBuffer();
    }
    TCustomTlsWSocket::TriggerSessionClosed(Error);
}
