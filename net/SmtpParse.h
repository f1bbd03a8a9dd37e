#pragma once

#include "ui/StringList.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

// Plain helpers over the bytes of SMTP replies and commands (RFC 5321), used by the SMTP client
// and testable without a socket.

// One reply line (RFC 5321 section 4.2): three digits, the first 2 to 5, then the end of the
// line, a space (last line of the reply) or a hyphen (more lines follow). Anything else is
// malformed: a server that sends it has lost step with us, and a missing code must never read
// as a success.
enum class TSmtpLineKind { Final, Continuation, Malformed };
struct TSmtpReplyLine {
    TSmtpLineKind Kind = TSmtpLineKind::Malformed;
    int Code = 0; // 200 to 599; 0 when malformed
};
TSmtpReplyLine SmtpParseReplyLine(std::string_view line) noexcept;

// Gathers the lines of one reply. Every line of a multi-line reply must carry the same code; a
// line that does not ends the reply as malformed. Only the first kMaxLines texts are kept, so a
// server that never ends its reply costs no memory.
class TSmtpReplyAssembler {
public:
    static constexpr int kMaxLines = 64;
    // Takes the next line; true when it ended the reply (final or malformed).
    bool Add(std::string_view line);
    bool Malformed() const noexcept { return malformed_; }
    int Code() const noexcept { return code_; }
    // The text after the code and its separator, one entry per line.
    const TStringList& Lines() const noexcept { return lines_; }
    void Clear() noexcept;

private:
    TStringList lines_;
    int code_ = 0;
    bool malformed_ = false;
    bool ended_ = false;
};

// The keywords an EHLO reply announces (RFC 5321 section 4.1.1.1): every line but the first,
// upper-cased up to its first space. True when keyword (upper case) is among them.
bool SmtpHasExtension(const TStringList& ehloLines, std::string_view keyword);
// True when the AUTH line of an EHLO reply lists mechanism (upper case).
bool SmtpHasAuthMechanism(const TStringList& ehloLines, std::string_view mechanism);

// The client's fixed receive buffer and the line cutter over it. Lines end with CR LF; a line
// that with its CR LF does not fit in kSize bytes is an overflow, never a line.
class TSmtpReceiveBuffer {
public:
    static constexpr std::size_t kSize = 4096;
    enum TNext { kLine, kNone, kOverflow };

    char* Space() noexcept { return buffer_ + start_ + count_; }
    // Bytes the next receive may write at Space(); moves a held partial line to the front first.
    std::size_t Room() noexcept;
    void Commit(std::size_t received) noexcept;
    TNext NextLine(std::string& line);
    std::size_t Count() const noexcept { return count_; }
    void Clear() noexcept { start_ = count_ = 0; }

private:
    char buffer_[kSize] = {};
    std::size_t start_ = 0;
    std::size_t count_ = 0;
};

// True when text may go into a command: no CR, LF or NUL that could end the command early
// and start another one.
bool SmtpSafeArgument(std::string_view text) noexcept;

// The path of MAIL FROM and RCPT TO: the trimmed name as it is when it holds both "<" and ">",
// else inside added brackets.
std::string SmtpPath(std::string_view name);

// The address inside a Return-Path value: what is between its first "<" and the ">" after it,
// else the trimmed value; empty for "<>".
std::string SmtpReturnPathAddress(std::string_view value);

// Appends one line of message text for the DATA phase. The line is cut at every CR LF, bare CR
// and bare LF; each piece is dot-stuffed (RFC 5321 section 4.5.2) and ended by CR LF, so no
// byte of the text can end the message or start a command. In a header line the pieces after
// the first are folded (RFC 5322 section 2.2.3): a piece that does not begin with a space or a
// TAB gets a space in front, so a value can neither add a header field nor end the header.
void SmtpAppendTextLine(std::string& out, std::string_view line, bool headerLine);

// AUTH PLAIN (RFC 4616): base64 of authorisation id, NUL, user, NUL, password.
std::string SmtpAuthPlainToken(std::string_view authzid, std::string_view user,
                               std::string_view password);
// The CRAM-MD5 answer (RFC 2195) before base64: user, a space and the lower-case hex
// HMAC-MD5 (RFC 2104) of the challenge keyed with the password.
std::string SmtpCramMD5Answer(std::string_view user, std::string_view password,
                              std::string_view challenge);
std::string HmacMD5Hex(std::string_view key, std::string_view text);

// The Date header value (RFC 5322 section 3.3) of a local time and its offset east of UTC in
// seconds, with English day and month names: "Tue, 8 Dec 2026 09:05:07 +0100".
std::string SmtpDateText(const std::tm& local, long offsetEastSeconds);
// The Date value of now.
std::string SmtpDateNow();
