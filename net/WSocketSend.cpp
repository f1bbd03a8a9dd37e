// Sending and receiving of TCustomWSocket.
#include "net/WSocket.h"

#include <sys/socket.h>

#include <algorithm>

int TCustomWSocket::Send(const void* Data, int Len) {
    if (state_ != wsConnected) {
        winsock::WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    allSent_ = false;
    if (Len > 0) QueueSendData(Data, Len);
    TryToSend();
    // OnDataSent must come from the event loop, never from inside Send.
    if (allSent_ && hSocket_ != INVALID_SOCKET)
        PostMessage(window_, WM_SOCKET_EVENT, static_cast<WPARAM>(hSocket_), MakeLong(FD_WRITE, 0));
    return Len <= 0 ? 0 : Len;
}

int TCustomWSocket::SendText(const std::string& Str) {
    if (Str.empty()) return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Len <= 0) return;
    const char* bytes = static_cast<const char*>(Data);
    if (bufList_.empty()) bufList_.push_back(NewBlock());
    int written = bufList_.back()->Write(bytes, Len);
    while (written < Len) {
        bufList_.push_back(NewBlock());
        written += bufList_.back()->Write(bytes + written, Len - written);
    }
}

void TCustomWSocket::TryToSend() {
    if (hSocket_ == INVALID_SOCKET) return;
    if (bufList_.empty()) {
        // Nothing was ever queued on this connection: everything is sent. Leaving the flag
        // clear would make Flush spin forever and hold back OnDataSent.
        allSent_ = true;
        return;
    }
    // OnSendData handlers may call Send. The bytes just handed to the platform are still
    // pending in the block until Remove below, so a nested pass would send them twice; the
    // outer pass goes on through whatever the handler queued.
    if (sending_) return;
    sending_ = true;
    struct TResetFlag {
        bool& flag;
        ~TResetFlag() { flag = false; }
    } resetFlag{sending_};

    for (;;) {
        TBuffer* block = bufList_.front().get();
        std::int32_t pending = 0;
        const char* data = block->Peek(pending);
        if (pending <= 0) {
            if (bufList_.size() > 1) {
                RetireFrontBlock();
                continue;
            }
            allSent_ = true;
            break;
        }
        if (type_ == 1 && sendFlags_ == wsSendNormal && bufList_.size() > 1) {
            if (!SendGathered()) return;
            continue;
        }
        const int sent = RawSend(data, pending);
        if (sent == 0) break;
        if (sent < 0) {
            SendFailed();
            return;
        }
        // An OnSendData handler may have closed the socket or discarded the queue.
        if (hSocket_ == INVALID_SOCKET || bufList_.empty() || bufList_.front().get() != block)
            return;
        block->Remove(sent);
        if (sent < pending) break;
    }
}

bool TCustomWSocket::SendGathered() {
    // One system call per block is what made sending slow: a system call costs far more
    // than moving 1460 bytes. Queued blocks go out together, straight from the blocks.
    constexpr int kMaxBlocks = 64;
    iovec buffers[kMaxBlocks] = {};
    TBuffer* blocks[kMaxBlocks] = {};
    int count = 0;
    size_t total = 0;
    for (const auto& block : bufList_) {
        if (count == kMaxBlocks) break;
        std::int32_t pending = 0;
        const char* data = block->Peek(pending);
        if (pending <= 0) continue;
        buffers[count].iov_base = const_cast<char*>(data);
        buffers[count].iov_len = static_cast<size_t>(pending);
        blocks[count++] = block.get();
        total += static_cast<size_t>(pending);
    }
    const int sent = winsock::sendv(hSocket_, buffers, count, 0);
    if (sent <= 0) {
        if (sent < 0) SendFailed();
        return false;
    }
    // Reported block by block, exactly as separate sends of the blocks would have been.
    std::int32_t parts[kMaxBlocks] = {};
    int partCount = 0;
    std::int32_t rest = sent;
    for (int i = 0; i < count && rest > 0; ++i) {
        const std::int32_t part = std::min(rest, static_cast<std::int32_t>(buffers[i].iov_len));
        blocks[i]->Remove(part);
        parts[partCount++] = part;
        rest -= part;
    }
    for (int i = 0; i < partCount; ++i)
        TriggerSendData(parts[i]);
    if (hSocket_ == INVALID_SOCKET || bufList_.empty()) return false;
    return static_cast<size_t>(sent) == total;
}

void TCustomWSocket::SendFailed() {
    const int error = winsock::WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAENOTSOCK || error == WSAENOTCONN ||
        error == WSAEINVAL || error == WSAECONNABORTED) {
        // The connection is gone; its close is reported once, whoever noticed it first.
        const bool report = !closeInvoked_;
        closeInvoked_ = true;
        Close();
        if (report) TriggerSessionClosed(static_cast<std::uint16_t>(error));
    } else if (error != WSAEWOULDBLOCK) {
        ReportSocketError("TryToSend failed");
    }
}

void TCustomWSocket::DiscardSendQueue() {
    bufList_.clear();
}

std::unique_ptr<TBuffer> TCustomWSocket::NewBlock() {
    if (spareBlocks_.empty()) return std::make_unique<TBuffer>(bufSize_);
    std::unique_ptr<TBuffer> block = std::move(spareBlocks_.back());
    spareBlocks_.pop_back();
    return block;
}

void TCustomWSocket::RetireFrontBlock() {
    constexpr size_t kMaxSpareBlocks = 64;
    if (spareBlocks_.size() < kMaxSpareBlocks && bufList_.front()->WrCount() == 0)
        spareBlocks_.push_back(std::move(bufList_.front()));
    bufList_.pop_front();
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
    const int flags = sendFlags_ == wsSendUrgent ? MSG_OOB : 0;
    const int sent = type_ == 2 ? winsock::sendto(hSocket_, Data, Len, flags, sin_)
                                : winsock::send(hSocket_, Data, Len, flags);
    if (sent > 0) TriggerSendData(sent);
    return sent;
}

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize) {
    // A read of nothing is no progress: counting it would let a handler with a full buffer
    // keep the receive loop going forever.
    if (BufferSize > 0) ++platformReceives_;
    return winsock::recv(hSocket_, Buffer, BufferSize < 0 ? 0 : BufferSize, 0);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    const int received = RawReceive(Buffer, BufferSize);
    if (received < 0) lastError_ = winsock::WSAGetLastError();
    return received;
}

std::string TCustomWSocket::ReceiveText() {
    int count = RcvdCount();
    if (count < 0) return {};
    if (count == 0) count = 255;
    std::string text(static_cast<size_t>(count), '\0');
    const int received = Receive(text.data(), count);
    if (received <= 0) return {};
    text.resize(static_cast<size_t>(received));
    return text;
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
    try {
        for (;;) {
            lastError_ = 0;
            const std::uint32_t receivesBefore = platformReceives_;
            if (!TriggerDataAvailable(Error)) {
                char scratch[1024];
                if (RawReceive(scratch, sizeof scratch) < 0) {
                    lastError_ = winsock::WSAGetLastError();
                    if (lastError_ == WSAEWOULDBLOCK) {
                        lastError_ = 0;
                        break;
                    }
                }
            }
            if (Options.Contains(wsoNoReceiveLoop)) break;
            if (lastError_ != 0) break;
            // A handler that read nothing would be offered the same bytes forever and freeze
            // the event loop; the next read re-arms the notification instead.
            if (platformReceives_ == receivesBefore) break;
            if (paused_) break; // the rest waits for Resume
            unsigned long count = 0;
            if (winsock::PendingAfterReceive(hSocket_, &count) == SOCKET_ERROR) {
                lastError_ = winsock::WSAGetLastError();
                break;
            }
            if (count == 0) break;
        }
    } catch (...) {
        // Handlers' exceptions end the loop and are dropped here by design: a receive
        // handler that fails must not abort the connection.
    }
}
