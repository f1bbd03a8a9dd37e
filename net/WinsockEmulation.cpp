#include "net/WinsockEmulation.h"

#include "ui/FdWatch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>

// Readiness emulation. The original platform reports readiness as edges, one message per
// occasion, and re-arms a kind only when the application acts on it. QSocketNotifier is
// level-triggered, so each watch is switched off the moment it posts and switched on again
// only by the call that re-arms the kind:
// - FD_CONNECT: once, when the connecting socket becomes writable, with SO_ERROR;
// - FD_WRITE: once when the connection is established (or at registration of a socket that
//   can already send), and once after each send that would block or was cut short;
// - FD_READ: when data is pending; re-armed by the next recv;
// - FD_CLOSE: once, when a peek at the pending input finds end of stream or a connection
//   error; pending data is reported as FD_READ first;
// - FD_ACCEPT: while a connection waits; re-armed by accept.
// The watch callbacks only post messages. Application code runs from those messages, never
// from inside a watch, so a handler may close or destroy its socket freely.

namespace {

thread_local int lastError = 0;

enum TPhase { phIdle, phConnecting, phConnected, phListening };

struct TEntry {
    int fd = -1;
    int type = SOCK_STREAM;
    HWND window = 0;
    std::uint32_t msg = 0;
    long events = 0;
    TPhase phase = phIdle;
    bool closeReported = false;
    int closeError = 0; // with closeReported: what the close was reported with
    bool readEnabled = false;
    bool writeEnabled = false;
    bool lingerWait = false; // SO_LINGER on with a time above 0
    // Stream input taken from the kernel ahead of the application's receives, so that a
    // client reading in small pieces (the POP3 client's 4 KB buffer) costs one system call
    // per 64 KB rather than one per piece. A receive that leaves some of them behind arms a
    // check that runs from the event loop, like the kernel watch: it posts FD_READ if they are
    // still there then.
    std::unique_ptr<char[]> ahead;
    std::size_t aheadPos = 0;
    std::size_t aheadEnd = 0;
    bool aheadCheckArmed = false;
    // The application's last stream receive asked for at least a read-ahead's worth and so
    // read straight from the kernel: reading ahead for it would only add a copy of every byte.
    bool directReader = false;
    // The last stream read from the kernel came back short (or found nothing): the kernel held
    // no more at that moment, and that read re-armed the notification for what comes later.
    bool kernelDrained = false;
    std::unique_ptr<TFdWatch> readWatch;
    std::unique_ptr<TFdWatch> writeWatch;
};

// Deliberately never destroyed: nothing may touch a destroyed table during static destruction.
std::unordered_map<TSocket, std::unique_ptr<TEntry>>& Entries() {
    static auto* entries = new std::unordered_map<TSocket, std::unique_ptr<TEntry>>;
    return *entries;
}

TSocket nextHandle = 1;

int Fail(int error) {
    lastError = error;
    return SOCKET_ERROR;
}

int FailErrno() {
    return Fail(WinsockErrorFromErrno(errno));
}

int failCountdown = 0;
int failErrno = 0;

// Makes one system call, unless it is the one a test asked to fail: that one returns -1 with
// the injected errno, as the kernel would.
template <typename Call> auto System(Call call) -> decltype(call()) {
    if (failCountdown > 0 && --failCountdown == 0) {
        errno = failErrno;
        return -1;
    }
    return call();
}

TEntry* Find(TSocket s) {
    auto& entries = Entries();
    auto it = entries.find(s);
    return it == entries.end() ? nullptr : it->second.get();
}

TEntry* Lookup(TSocket s) {
    TEntry* entry = Find(s);
    if (!entry) lastError = WSAENOTSOCK;
    return entry;
}

void Post(TSocket s, const TEntry& entry, std::uint16_t event, int error) {
    if (entry.window != 0 && (entry.events & event) != 0)
        PostMessage(entry.window, entry.msg, static_cast<WPARAM>(s),
                    MakeLong(event, static_cast<std::uint16_t>(error)));
}

void OnReadable(TSocket s);
void OnWritable(TSocket s);

constexpr std::size_t kReadAhead = 65536;

// One stream read from the kernel that never blocks; notes whether it drained the kernel.
ssize_t KernelRead(TEntry& entry, void* buffer, std::size_t len) {
    const ssize_t n = System([&] { return ::recv(entry.fd, buffer, len, MSG_DONTWAIT); });
    entry.kernelDrained =
        n >= 0 ? static_cast<std::size_t>(n) < len : (errno == EAGAIN || errno == EINTR);
    return n;
}

// Refills the empty read-ahead buffer from the kernel; the result is ::recv's.
ssize_t FillAhead(TEntry& entry) {
    if (!entry.ahead) entry.ahead = std::make_unique<char[]>(kReadAhead);
    const ssize_t n = KernelRead(entry, entry.ahead.get(), kReadAhead);
    entry.aheadPos = 0;
    entry.aheadEnd = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n;
}

// What a readiness report finds: data (above 0), end of stream (0) or a failure (below 0, errno
// set). A reader of small pieces gets the data read ahead at once; for a reader of large
// blocks a one-byte look tells the same without taking anything.
ssize_t ProbeInput(TEntry& entry) {
    if (entry.aheadPos < entry.aheadEnd) return 1;
    if (!entry.directReader) return FillAhead(entry);
    char first = 0;
    const ssize_t n =
        System([&] { return ::recv(entry.fd, &first, 1, MSG_PEEK | MSG_DONTWAIT); });
    if (n > 0) entry.kernelDrained = false;
    return n;
}

void SetReadEnabled(TSocket s, TEntry& entry, bool enabled) {
    if (enabled == entry.readEnabled) return;
    if (!entry.readWatch)
        entry.readWatch =
            std::make_unique<TFdWatch>(entry.fd, TFdWatch::fwRead, [s] { OnReadable(s); });
    entry.readWatch->SetEnabled(enabled);
    entry.readEnabled = enabled;
}

void SetWriteEnabled(TSocket s, TEntry& entry, bool enabled) {
    if (enabled == entry.writeEnabled) return;
    if (!entry.writeWatch)
        entry.writeWatch =
            std::make_unique<TFdWatch>(entry.fd, TFdWatch::fwWrite, [s] { OnWritable(s); });
    entry.writeWatch->SetEnabled(enabled);
    entry.writeEnabled = enabled;
}

// Watches for input again when anything that input can produce is registered.
void ArmRead(TSocket s, TEntry& entry) {
    const long wanted = entry.phase == phListening ? FD_ACCEPT : (FD_READ | FD_CLOSE);
    if (entry.window != 0 && (entry.events & wanted) != 0 && !entry.closeReported)
        SetReadEnabled(s, entry, true);
}

void ArmWrite(TSocket s, TEntry& entry) {
    const long wanted = entry.phase == phConnecting ? FD_CONNECT | FD_WRITE : FD_WRITE;
    if (entry.window != 0 && (entry.events & wanted) != 0) SetWriteEnabled(s, entry, true);
}

void OnReadable(TSocket s) {
    TEntry* entry = Find(s);
    if (!entry) return;
    if (entry->phase == phListening) {
        SetReadEnabled(s, *entry, false);
        Post(s, *entry, FD_ACCEPT, 0);
        return;
    }
    if (entry->type != SOCK_STREAM) {
        SetReadEnabled(s, *entry, false);
        Post(s, *entry, FD_READ, 0);
        return;
    }
    // The look at the input tells data from end of stream or a broken connection; reading
    // ahead does it in the same call that fetches the data, so that a small receive that
    // follows costs nothing.
    const ssize_t n = ProbeInput(*entry);
    if (n > 0) {
        SetReadEnabled(s, *entry, false);
        Post(s, *entry, FD_READ, 0);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    const int error = n == 0 ? 0 : WinsockErrorFromErrno(errno);
    SetReadEnabled(s, *entry, false);
    entry->closeReported = true;
    entry->closeError = error;
    Post(s, *entry, FD_CLOSE, error);
}

void OnWritable(TSocket s) {
    TEntry* entry = Find(s);
    if (!entry) return;
    SetWriteEnabled(s, *entry, false);
    if (entry->phase != phConnecting) {
        Post(s, *entry, FD_WRITE, 0);
        return;
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    if (System([&] { return ::getsockopt(entry->fd, SOL_SOCKET, SO_ERROR, &soError, &length); }) !=
        0)
        soError = errno;
    if (soError != 0) {
        entry->phase = phIdle;
        Post(s, *entry, FD_CONNECT, WinsockErrorFromErrno(soError));
        return;
    }
    entry->phase = phConnected;
    Post(s, *entry, FD_CONNECT, 0);
    ArmRead(s, *entry);
    Post(s, *entry, FD_WRITE, 0);
}

TSocket Register(int fd, TPhase phase) {
    auto entry = std::make_unique<TEntry>();
    entry->fd = fd;
    int type = SOCK_STREAM;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0) entry->type = type;
    entry->phase = phase;
    const TSocket handle = nextHandle++;
    Entries().emplace(handle, std::move(entry));
    return handle;
}

sockaddr_in* AsInet(sockaddr_in* addr) {
    return addr;
}

// Asynchronous lookups. The table lives on the UI thread; a worker thread only resolves and
// hands its result back through PostToMainThread, so it never meets a socket or the table.
struct TRequest {
    HWND window = 0;
    std::uint32_t msg = 0;
    bool done = false;
    TLookupResult result;
};

std::unordered_map<TAsyncHandle, TRequest>& Requests() {
    static auto* requests = new std::unordered_map<TAsyncHandle, TRequest>;
    return *requests;
}

TAsyncHandle nextRequest = 1;

void Complete(TAsyncHandle handle, int error, TLookupResult result) {
    auto& requests = Requests();
    auto it = requests.find(handle);
    if (it == requests.end() || it->second.done) return; // cancelled meanwhile
    it->second.done = true;
    it->second.result = std::move(result);
    if (!PostMessage(it->second.window, it->second.msg, static_cast<WPARAM>(handle),
                     MakeLong(0, static_cast<std::uint16_t>(error))))
        requests.erase(it); // the endpoint is gone: nobody will collect the result
}

int ResolveName(const std::string& name, TLookupResult& result) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (status != 0) return WinsockErrorFromResolver(status);
    for (addrinfo* item = list; item; item = item->ai_next) {
        if (item->ai_family == AF_INET)
            result.Addresses.push_back(
                reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(list);
    return result.Addresses.empty() ? WSANO_DATA : 0;
}

int ResolveAddress(std::uint32_t address, TLookupResult& result) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address;
    char host[NI_MAXHOST] = {};
    const int status = ::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host,
                                     sizeof host, nullptr, 0, NI_NAMEREQD);
    if (status != 0) return WinsockErrorFromResolver(status);
    result.HostName = host;
    return 0;
}

template <typename Work> TAsyncHandle StartRequest(HWND window, std::uint32_t msg, Work work) {
    if (!IsWindow(window)) {
        lastError = WSAEINVAL;
        return 0;
    }
    const TAsyncHandle handle = nextRequest++;
    Requests().emplace(handle, TRequest{window, msg, false, {}});
    try {
        std::thread([handle, work = std::move(work)] {
            TLookupResult result;
            const int error = work(result);
            PostToMainThread([handle, error, result = std::move(result)]() mutable {
                Complete(handle, error, std::move(result));
            });
        }).detach();
    } catch (const std::system_error&) {
        Requests().erase(handle);
        lastError = WSAENOBUFS;
        return 0;
    }
    return handle;
}

// getsockname and getpeername: the address of one end of a socket.
int QueryName(TSocket s, sockaddr_in* addr, int (*query)(int, sockaddr*, socklen_t*)) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    socklen_t length = sizeof *addr;
    return System([&] { return query(entry->fd, reinterpret_cast<sockaddr*>(addr), &length); }) == 0
               ? 0
               : FailErrno();
}

} // namespace

namespace winsock {

int WSAGetLastError() noexcept {
    return lastError;
}

void WSASetLastError(int error) noexcept {
    lastError = error;
}

TSocket socket(int af, int type, int protocol) {
    const int fd = System([&] { return ::socket(af, type | SOCK_CLOEXEC, protocol); });
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    return Register(fd, type == SOCK_DGRAM ? phConnected : phIdle);
}

int closesocket(TSocket s) {
    auto& entries = Entries();
    auto it = entries.find(s);
    if (it == entries.end()) return Fail(WSAENOTSOCK);
    const int fd = it->second->fd;
    if (it->second->lingerWait) {
        // Linux makes close() wait out a linger time even on a non-blocking socket, which would
        // stall the event loop. The kernel's ordinary close still delivers what is queued, in
        // the background; only the reset at the end of the time is lost.
        const linger off{0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
    entries.erase(it); // the watches go before the descriptor they watch
    if (::close(fd) != 0 && errno != EINTR) return FailErrno();
    return 0;
}

int shutdown(TSocket s, int how) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    return System([&] { return ::shutdown(entry->fd, how); }) == 0 ? 0 : FailErrno();
}

int bind(TSocket s, const sockaddr_in& addr) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    return System([&] {
               return ::bind(entry->fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
           }) == 0
               ? 0
               : FailErrno();
}

int listen(TSocket s, int backlog) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    if (System([&] { return ::listen(entry->fd, backlog); }) != 0) return FailErrno();
    entry->phase = phListening;
    ArmRead(s, *entry);
    return 0;
}

TSocket accept(TSocket s, sockaddr_in* addr) {
    TEntry* entry = Lookup(s);
    if (!entry) return INVALID_SOCKET;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = System([&] {
        return ::accept4(entry->fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    });
    ArmRead(s, *entry);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    if (addr) *AsInet(addr) = peer;
    return Register(fd, phConnected);
}

int connect(TSocket s, const sockaddr_in& addr) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    const bool async = entry->window != 0 && entry->events != 0;
    if (System([&] {
            return ::connect(entry->fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        }) == 0) {
        // Completion is still reported through FD_CONNECT, from the event loop.
        entry->phase = async ? phConnecting : phConnected;
        if (async) ArmWrite(s, *entry);
        return 0;
    }
    const int error = errno;
    if (!async) return Fail(WinsockErrorFromErrno(error));
    if (error == EINPROGRESS) {
        entry->phase = phConnecting;
        ArmWrite(s, *entry);
        return Fail(WSAEWOULDBLOCK);
    }
    // An immediate refusal (common on loopback) still arrives as FD_CONNECT with the error.
    entry->phase = phIdle;
    Post(s, *entry, FD_CONNECT, WinsockErrorFromErrno(error));
    return Fail(WSAEWOULDBLOCK);
}

int send(TSocket s, const void* data, int len, int flags) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    const ssize_t n = System(
        [&] { return ::send(entry->fd, data, static_cast<size_t>(len), flags | MSG_NOSIGNAL); });
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN) ArmWrite(s, *entry);
        return Fail(WinsockErrorFromErrno(error));
    }
    // A short count means the kernel buffer is full: write readiness must resume the rest.
    if (n < len) ArmWrite(s, *entry);
    return static_cast<int>(n);
}

int sendv(TSocket s, const iovec* buffers, int count, int flags) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(buffers);
    message.msg_iovlen = static_cast<size_t>(count);
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += buffers[i].iov_len;
    const ssize_t n = System([&] { return ::sendmsg(entry->fd, &message, flags | MSG_NOSIGNAL); });
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN) ArmWrite(s, *entry);
        return Fail(WinsockErrorFromErrno(error));
    }
    if (static_cast<size_t>(n) < total) ArmWrite(s, *entry);
    return static_cast<int>(n);
}

int sendto(TSocket s, const void* data, int len, int flags, const sockaddr_in& to) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    const ssize_t n = System([&] {
        return ::sendto(entry->fd, data, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN) ArmWrite(s, *entry);
        return Fail(WinsockErrorFromErrno(error));
    }
    return static_cast<int>(n);
}

void OnAheadCheck(TSocket s) {
    TEntry* entry = Find(s);
    if (!entry || !entry->aheadCheckArmed) return;
    entry->aheadCheckArmed = false;
    if (entry->aheadPos < entry->aheadEnd)
        Post(s, *entry, FD_READ, 0);
    else
        ArmRead(s, *entry);
}

void ArmAheadCheck(TSocket s, TEntry& entry) {
    // One endpoint for the whole process, released at exit (before the endpoint table it
    // was registered in, which was created first).
    struct TCheckEndpoint {
        HWND window =
            AllocateHWnd([](TMessage& m) { OnAheadCheck(static_cast<TSocket>(m.WParam)); });
        ~TCheckEndpoint() { DeallocateHWnd(window); }
    };
    static const TCheckEndpoint checks;
    if (entry.aheadCheckArmed) return;
    entry.aheadCheckArmed = true;
    PostMessage(checks.window, WM_USER, static_cast<WPARAM>(s), 0);
}

// Hands out read-ahead bytes, filling the buffer from the kernel first when it is empty.
// Returns the count, or a negative value with errno set as ::recv leaves it.
ssize_t ReceiveAhead(TEntry& entry, void* buffer, std::size_t len, bool peek) {
    // A reader that asks for at least a read-ahead's worth gains nothing from the detour.
    if (!peek) entry.directReader = len >= kReadAhead;
    if (entry.aheadPos == entry.aheadEnd && !peek && len >= kReadAhead)
        return KernelRead(entry, buffer, len);
    if (entry.aheadPos == entry.aheadEnd) {
        const ssize_t n = FillAhead(entry);
        if (n <= 0) return n;
    }
    const std::size_t take = std::min(len, entry.aheadEnd - entry.aheadPos);
    std::memcpy(buffer, entry.ahead.get() + entry.aheadPos, take);
    if (!peek) entry.aheadPos += take;
    return static_cast<ssize_t>(take);
}

// One receive straight from the kernel. A datagram larger than the buffer fails with
// WSAEMSGSIZE, the buffer holding its first part and the rest discarded, as the original
// platform does; plain recv would cut it silently.
int ReceiveDirect(TSocket s, TEntry& entry, void* buffer, int len, int flags, sockaddr_in* from) {
    iovec part{buffer, static_cast<size_t>(len < 0 ? 0 : len)};
    sockaddr_in peer{};
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t n = System([&] { return ::recvmsg(entry.fd, &message, flags); });
    const int error = errno;
    entry.kernelDrained = false; // says nothing about what else is queued
    if (entry.phase == phConnected) ArmRead(s, entry);
    if (n < 0) return Fail(WinsockErrorFromErrno(error));
    if (from) *from = peer;
    if (entry.type != SOCK_STREAM && (message.msg_flags & MSG_TRUNC) != 0) return Fail(WSAEMSGSIZE);
    return static_cast<int>(n);
}

int recv(TSocket s, void* buffer, int len, int flags) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    const std::size_t size = static_cast<std::size_t>(len < 0 ? 0 : len);
    const bool buffered = entry->type == SOCK_STREAM && (flags & ~MSG_PEEK) == 0 && size > 0;
    if (buffered) {
        const ssize_t n = ReceiveAhead(*entry, buffer, size, (flags & MSG_PEEK) != 0);
        const int error = errno;
        if (entry->phase == phConnected) {
            if (entry->aheadPos < entry->aheadEnd)
                ArmAheadCheck(s, *entry);
            else
                ArmRead(s, *entry);
        }
        if (n < 0) return Fail(WinsockErrorFromErrno(error));
        return static_cast<int>(n);
    }
    return ReceiveDirect(s, *entry, buffer, static_cast<int>(size), flags, nullptr);
}

int recvfrom(TSocket s, void* buffer, int len, int flags, sockaddr_in* from) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    // On a stream the read-ahead bytes come first; the sender is the peer.
    if (entry->type == SOCK_STREAM && (flags & ~MSG_PEEK) == 0 && len > 0) {
        const int n = recv(s, buffer, len, flags);
        if (n >= 0 && from) {
            socklen_t length = sizeof *from;
            *from = sockaddr_in{};
            ::getpeername(entry->fd, reinterpret_cast<sockaddr*>(from), &length);
        }
        return n;
    }
    return ReceiveDirect(s, *entry, buffer, len, flags, from);
}

int setsockopt(TSocket s, int level, int name, const void* value, int len) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    if (System([&] {
            return ::setsockopt(entry->fd, level, name, value, static_cast<socklen_t>(len));
        }) != 0)
        return FailErrno();
    if (level == SOL_SOCKET && name == SO_LINGER && len >= static_cast<int>(sizeof(linger))) {
        const linger* option = static_cast<const linger*>(value);
        entry->lingerWait = option->l_onoff != 0 && option->l_linger > 0;
    }
    return 0;
}

int getsockopt(TSocket s, int level, int name, void* value, int* len) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    socklen_t length = static_cast<socklen_t>(*len);
    if (System([&] { return ::getsockopt(entry->fd, level, name, value, &length); }) != 0)
        return FailErrno();
    *len = static_cast<int>(length);
    return 0;
}

int getsockname(TSocket s, sockaddr_in* addr) {
    return QueryName(s, addr, ::getsockname);
}

int getpeername(TSocket s, sockaddr_in* addr) {
    return QueryName(s, addr, ::getpeername);
}

int ioctlsocket_fionread(TSocket s, unsigned long* count) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    if (entry->aheadPos < entry->aheadEnd) {
        *count = static_cast<unsigned long>(entry->aheadEnd - entry->aheadPos);
        return 0;
    }
    int pending = 0;
    if (System([&] { return ::ioctl(entry->fd, FIONREAD, &pending); }) != 0) return FailErrno();
    *count = static_cast<unsigned long>(pending < 0 ? 0 : pending);
    return 0;
}

int PendingAfterReceive(TSocket s, unsigned long* count) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    if (entry->aheadPos == entry->aheadEnd && entry->kernelDrained) {
        *count = 0;
        return 0;
    }
    return ioctlsocket_fionread(s, count);
}

int NativeHandle(TSocket s) noexcept {
    const TEntry* entry = Find(s);
    return entry ? entry->fd : -1;
}

TSocket AdoptNative(int fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int listening = 0;
    socklen_t optionLength = sizeof listening;
    TPhase phase = phIdle;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionLength) == 0 && listening)
        phase = phListening;
    else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        phase = phConnected;
    return Register(fd, phase);
}

int OpenHandleCount() noexcept {
    return static_cast<int>(Entries().size());
}

void FailOperationAfter(int count, int error) noexcept {
    failCountdown = count;
    failErrno = error;
}

bool InjectedFailurePending() noexcept {
    return failCountdown > 0;
}

int WSAAsyncSelect(TSocket s, HWND window, std::uint32_t msg, long events) {
    TEntry* entry = Lookup(s);
    if (!entry) return SOCKET_ERROR;
    const int flags = System([&] { return ::fcntl(entry->fd, F_GETFL); });
    if (flags < 0 || System([&] { return ::fcntl(entry->fd, F_SETFL, flags | O_NONBLOCK); }) != 0)
        return FailErrno();
    entry->window = window;
    entry->msg = msg;
    entry->events = events;
    SetReadEnabled(s, *entry, false);
    SetWriteEnabled(s, *entry, false);
    if (events == 0 || window == 0) return 0;
    switch (entry->phase) {
    case phConnecting:
        ArmWrite(s, *entry);
        break;
    case phConnected:
        // As on the original platform, registering reports what is already there: a close
        // or read-ahead input that a paused owner let pass unhandled would otherwise wait
        // for a kernel edge that never comes. A socket that can already send is told so
        // once, as on a fresh connection.
        if (entry->closeReported)
            Post(s, *entry, FD_CLOSE, entry->closeError);
        else if (entry->aheadPos < entry->aheadEnd)
            Post(s, *entry, FD_READ, 0); // the next recv re-arms the watch
        else
            ArmRead(s, *entry);
        Post(s, *entry, FD_WRITE, 0);
        break;
    case phListening:
        ArmRead(s, *entry);
        break;
    case phIdle:
        break;
    }
    return 0;
}

TAsyncHandle WSAAsyncGetHostByName(HWND window, std::uint32_t msg, const std::string& name) {
    return StartRequest(window, msg,
                        [name](TLookupResult& result) { return ResolveName(name, result); });
}

TAsyncHandle WSAAsyncGetHostByAddr(HWND window, std::uint32_t msg, std::uint32_t address) {
    return StartRequest(
        window, msg, [address](TLookupResult& result) { return ResolveAddress(address, result); });
}

int WSACancelAsyncRequest(TAsyncHandle handle) {
    if (Requests().erase(handle) == 0) return Fail(WSAEINVAL);
    return 0;
}

bool WSAAsyncTakeResult(TAsyncHandle handle, TLookupResult& result) {
    auto& requests = Requests();
    auto it = requests.find(handle);
    if (it == requests.end() || !it->second.done) return false;
    result = std::move(it->second.result);
    requests.erase(it);
    return true;
}

int PendingAsyncRequestCount() noexcept {
    return static_cast<int>(Requests().size());
}

std::string inet_ntoa(std::uint32_t address) {
    in_addr addr{};
    addr.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

std::uint32_t inet_addr(const std::string& text) {
    return ::inet_addr(text.c_str());
}

} // namespace winsock
