#pragma once

// Pieces of the socket's line layer that need no socket: the event type, its notification
// number, the buffer ceiling and the terminal-style editing of received bytes. The layer
// itself, TCustomLineWSocket, sits in the socket's class chain in net/WSocket.h.

#include "ui/Component.h"
#include "ui/EventLoop.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

using TLineLimitEvent =
    std::function<void(TObject* Sender, std::int32_t RcvdLength, bool& ClearData)>;

// Posted to the socket's own endpoint when line mode changes with bytes buffered, so that
// they are offered again under the new mode from the event loop.
constexpr std::uint32_t WM_SOCKET_LINE_DATA = WM_USER + 20;

// The line buffer never grows past this: a peer that sends endless bytes without a line end
// (with the limit event disabled or declined) fails its session instead of exhausting memory.
constexpr std::size_t kLineBufferCeiling = std::size_t{64} << 20;

struct TLineEditResult {
    std::size_t Kept = 0;  // leading bytes of the earlier text that stay as they were
    std::string Tail;      // the edited text that follows them
    std::string Echo;      // what goes back to the peer
    bool Overflow = false; // the edited text would have grown past the limit
};

// Edits Fresh, which follows Prior bytes received earlier, as a terminal line discipline
// does: backspace (8) erases the byte before it, even one received earlier; tab (9) becomes
// spaces up to the next column that is a multiple of 8, counted from the first earlier byte.
// Echo collects the bytes to echo when WithEcho is set. The edited text never exceeds Limit
// bytes in all (Kept + Tail); on Overflow the result is incomplete and must be dropped.
TLineEditResult EditLineInput(std::size_t Prior, std::string_view Fresh, bool WithEcho,
                              std::size_t Limit);
