#pragma once

#include "net/WinsockErrors.h"
#include "ui/EventLoop.h"

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/uio.h>

// A small socket API in the shape the socket component's algorithms are written against,
// over POSIX non-blocking IPv4 sockets:
// - every failure leaves its code, already in the Winsock numbering, in WSAGetLastError();
// - handles are our own numbers, never reused within a process, so a notification still
//   queued for a closed socket can never be taken for a later socket that got the same fd;
// - WSAAsyncSelect reproduces the edge-triggered readiness notifications of the original
//   platform on top of level-triggered fd watches (see WinsockEmulation.cpp);
// - lookups run on worker threads and complete through posted messages.
// Everything except the worker threads' internals runs on the UI thread.

using TSocket = std::intptr_t;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Readiness kinds of WSAAsyncSelect, with the original bit values.
constexpr std::uint16_t FD_READ = 0x01;
constexpr std::uint16_t FD_WRITE = 0x02;
constexpr std::uint16_t FD_OOB = 0x04;
constexpr std::uint16_t FD_ACCEPT = 0x08;
constexpr std::uint16_t FD_CONNECT = 0x10;
constexpr std::uint16_t FD_CLOSE = 0x20;

// Handle of an asynchronous lookup; 0 means "none".
using TAsyncHandle = std::uintptr_t;

// What a completed asynchronous lookup produced.
struct TLookupResult {
    std::vector<std::uint32_t> Addresses; // network order, in the resolver's order
    std::string HostName;                 // reverse lookups
};

namespace winsock {

int WSAGetLastError() noexcept;
void WSASetLastError(int error) noexcept;

TSocket socket(int af, int type, int protocol);
int closesocket(TSocket s);
int shutdown(TSocket s, int how);
int bind(TSocket s, const sockaddr_in& addr);
int listen(TSocket s, int backlog);
TSocket accept(TSocket s, sockaddr_in* addr);
int connect(TSocket s, const sockaddr_in& addr);
int send(TSocket s, const void* data, int len, int flags);
int sendto(TSocket s, const void* data, int len, int flags, const sockaddr_in& to);
// One send of several buffers in order (a gathering write); the same rules as send.
int sendv(TSocket s, const iovec* buffers, int count, int flags);
int recv(TSocket s, void* buffer, int len, int flags);
int recvfrom(TSocket s, void* buffer, int len, int flags, sockaddr_in* from);
int setsockopt(TSocket s, int level, int name, const void* value, int len);
int getsockopt(TSocket s, int level, int name, void* value, int* len);
int getsockname(TSocket s, sockaddr_in* addr);
int getpeername(TSocket s, sockaddr_in* addr);
// The FIONREAD query: bytes that can be read now.
int ioctlsocket_fionread(TSocket s, unsigned long* count);
// The same for a loop that reads while input is pending: 0, without asking the kernel, when the
// last stream receive found the kernel empty. What arrives after such a receive is reported by
// the read notification that receive re-armed.
int PendingAfterReceive(TSocket s, unsigned long* count);

// The native descriptor behind a handle, or -1.
int NativeHandle(TSocket s) noexcept;
// Adopts an already open native descriptor (it is then closed by closesocket).
TSocket AdoptNative(int fd);
// Open handles; for leak checks in tests.
int OpenHandleCount() noexcept;
// Fault injection for tests: the count-th system call on a socket from now (the one behind any
// call above, and the reads and checks of the readiness notifications; never the close) fails with
// the errno value error instead of running, as the kernel may fail it at any time. 0 turns it
// off. InjectedFailurePending() tells whether the failure is still to come.
void FailOperationAfter(int count, int error) noexcept;
bool InjectedFailurePending() noexcept;

// Asks for the readiness kinds in events to be posted to window as msg with wParam = s and
// lParam = MakeLong(event, error). Makes the socket non-blocking. events 0 stops notifications.
int WSAAsyncSelect(TSocket s, HWND window, std::uint32_t msg, long events);

// Starts a forward (AF_INET) or reverse lookup on a worker thread. On completion msg is posted
// to window with wParam = the handle and lParam = MakeLong(0, error); the result is then
// collected with WSAAsyncTakeResult. Returns 0 when the lookup cannot be started.
TAsyncHandle WSAAsyncGetHostByName(HWND window, std::uint32_t msg, const std::string& name);
TAsyncHandle WSAAsyncGetHostByAddr(HWND window, std::uint32_t msg, std::uint32_t address);
// Forgets a request: no message is posted for it any more, its result is dropped. Fails with
// WSAEINVAL for an unknown handle.
int WSACancelAsyncRequest(TAsyncHandle handle);
// Removes and returns the result of a completed request; false when there is none.
bool WSAAsyncTakeResult(TAsyncHandle handle, TLookupResult& result);
// Requests started and not yet collected or cancelled; for leak checks in tests.
int PendingAsyncRequestCount() noexcept;

// Dotted text of an address in network order.
std::string inet_ntoa(std::uint32_t address);
// Address in network order of dotted text, INADDR_NONE (all ones) when it is not one.
std::uint32_t inet_addr(const std::string& text);

} // namespace winsock
