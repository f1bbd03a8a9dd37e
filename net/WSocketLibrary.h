#pragma once

#include "net/WinsockErrors.h"
#include "ui/EventLoop.h"
#include "ui/Exceptions.h"

#include <cstdint>
#include <string>

// Every error the socket components raise.
POSTLARK_DECLARE_EXCEPTION(ESocketException, Exception);

// The local host name; raises "Winsock.GetHostName failed" when the system cannot tell.
std::string GetLocalHostName();

// True for text of the form n.n.n.n with each group at most 255; spaces around are allowed.
bool IsDottedIP(const std::string& S);

// IPv4 address of dotted text or a host name, in network order. Host names block.
std::uint32_t WSocketResolveHost(const std::string& InAddr);
// Port number (host order) of decimal text or a service name for the protocol.
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol number of decimal text or a protocol name.
int WSocketResolveProto(const std::string& sProto);

// A notification endpoint for a component that is not a socket.
HWND AllocateNotifyWindow(TWndMethod Method);
void ReleaseNotifyWindow(HWND Window);

// Live socket objects. There is no library to load or unload on this platform; the count is
// kept so that the last socket going away still marks the point where socket support ends.
int WSocketObjectCount() noexcept;
void WSocketObjectCreated() noexcept;
// Lowers the count; returns true when it fell below 1 (ReleaseSocketLibrary has then run).
bool WSocketObjectDestroyed() noexcept;
void ReleaseSocketLibrary() noexcept;
