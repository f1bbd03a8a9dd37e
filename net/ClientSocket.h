#pragma once
// What the protocol clients do alike with the socket they own.

#include "net/WSocket.h"

#include <string>

// Unbinds every handler a client sets: nothing the socket reports on its way out concerns a
// client that is going away.
inline void DetachClientHandlers(TWSocket& Socket) {
    Socket.OnSessionClosed = nullptr;
    Socket.OnDataAvailable = nullptr;
    Socket.OnSessionConnected = nullptr;
    Socket.OnDnsLookupDone = nullptr;
    Socket.OnDataSent = nullptr;
    Socket.OnTlsDone = nullptr;
    Socket.OnError = nullptr;
}

// Points the socket at the address its lookup found, with the connection's TLS settings. The
// certificate is checked against the name asked for, not the address it gave.
inline void AimAtResolvedHost(TWSocket& Socket, const std::string& Port,
                              const std::string& LocalAddr, TSecurityMode Security,
                              const std::string& Host, const std::string& Pin) {
    Socket.SetAddr(Socket.DnsResult());
    Socket.SetProto("tcp");
    Socket.SetPort(Port);
    Socket.SetLocalAddr(LocalAddr);
    Socket.SetTlsImplicit(Security == secTls);
    Socket.SetTlsHostName(Host);
    Socket.SetTlsPin(Pin);
    Socket.OnTlsDone = nullptr;
}
