#pragma once

// Pieces of the socket's proxy layer that need no socket: its enumerations and event types,
// and the SOCKS requests and replies as plain functions over bytes (RFC 1928 and 1929, and
// the older version 4 and 4A). The layer itself, TCustomSocksWSocket, sits in the socket's
// class chain in net/WSocket.h.

#include "ui/Component.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState {
    socksAuthStart = 0,
    socksAuthSuccess = 1,
    socksAuthFailure = 2,
    socksAuthNotRequired = 3
};

// The handshake, from the connect to the proxy until it reports the destination connected.
enum TSocksState { socksStateIdle, socksStateMethods, socksStateAuth, socksStateConnect };

using TSocksErrorEvent =
    std::function<void(TObject* Sender, std::int32_t Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

// The reply buffer; a read never takes more than kSocksReplySize - 1 bytes in all.
constexpr std::size_t kSocksReplySize = 128;
// A one-byte length field bounds names, user codes and passwords; longer ones are refused
// rather than cut, which would misframe the request.
constexpr std::size_t kSocksMaxField = 255;
// A user code, password or host name longer than kSocksMaxField.
constexpr std::int32_t kSocksFieldTooLong = 20014;

// How a reply received so far stands.
struct TSocksVerdict {
    enum Kind { kIncomplete, kFailed, kAccepted };
    Kind Result = kIncomplete;
    std::int32_t Code = 0; // kFailed
    std::string Msg;       // kFailed
    // kAccepted: bytes the reply takes, and the bound address and port a version 5 reply
    // names (dotted IPv4, IPv6 text or a host name; decimal port).
    std::size_t Length = 0;
    std::string BoundAddr;
    std::string BoundPort;
    std::uint8_t Method = 0; // the method a version 5 proxy chose

    static TSocksVerdict Failed(std::int32_t Code, std::string Msg);
};

// Version 4 connect request; Addr is in network order (0.0.0.1 for 4A) and Host follows the
// user code for 4A only (empty for 4).
std::string Socks4ConnectRequest(std::uint16_t Port, std::uint32_t Addr,
                                 const std::string& UserCode, const std::string& Host);
// Version 5 connect request; the destination always goes as a name.
std::string Socks5ConnectRequest(const std::string& Host, std::uint16_t Port);
// The user/password sub-negotiation request.
std::string Socks5Credentials(const std::string& UserCode, const std::string& Password);

// The 8-byte version 4 reply.
TSocksVerdict Socks4Reply(const unsigned char* Reply);
// The 2-byte method choice: accepted for no authentication (0) or user/password (2).
TSocksVerdict Socks5MethodReply(const unsigned char* Reply);
// The user/password reply, Count bytes of it so far.
TSocksVerdict Socks5AuthReply(const unsigned char* Reply, std::size_t Count);
// The version 5 connect reply, Count bytes of it so far. A reply that would not fit the
// reply buffer fails at once: waiting for it would stall the connection.
TSocksVerdict Socks5ConnectReply(const unsigned char* Reply, std::size_t Count);
