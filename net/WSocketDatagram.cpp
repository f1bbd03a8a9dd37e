// Datagram exchange and multicast group membership of TCustomWSocket.
#include "net/WSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

int TCustomWSocket::SendTo(const sockaddr_in& Dest, const void* Data, int Len) {
    const int flags = sendFlags_ == wsSendUrgent ? MSG_OOB : 0;
    const int sent = winsock::sendto(hSocket_, Data, Len < 0 ? 0 : Len, flags, Dest);
    if (sent > 0)
        TriggerSendData(sent);
    else if (sent < 0)
        lastError_ = winsock::WSAGetLastError();
    return sent;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From) {
    ++platformReceives_; // a handler that reads this way keeps the receive loop going
    const int received =
        winsock::recvfrom(hSocket_, Buffer, BufferSize < 0 ? 0 : BufferSize, 0, &From);
    if (received < 0) lastError_ = winsock::WSAGetLastError();
    return received;
}

// The membership request and option number are this platform's own (struct ip_mreq and
// IP_ADD_MEMBERSHIP from the system headers); numbers from another socket library would set
// some unrelated option here or fail.
bool TCustomWSocket::JoinMulticastGroup() {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = winsock::inet_addr(multiCastAddrStr_);
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    if (winsock::setsockopt(hSocket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) !=
        0) {
        ReportSocketError("setsockopt(IP MULTICAST)");
        return false;
    }
    return true;
}
