#include "net/WSocket.h"

#include "ui/TickCount.h"

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

TCustomSyncWSocket::~TCustomSyncWSocket() {
    *alive_ = false;
}

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Proc, bool& Flag) {
    Flag = false;
    if (Proc) Proc();
    return WaitForFlag(Flag);
}

int TCustomSyncWSocket::WaitForFlag(bool& Flag) {
    // A handler may free this socket (or its owner) while the loop runs: from then on only
    // the shared token and the caller's flag may be touched.
    const std::shared_ptr<bool> alive = alive_;
    const Application::TWaitDeadline deadline{
        timeLimit_ > 0,
        GetTickCount() + static_cast<std::uint32_t>(timeLimit_ > 0 ? timeLimit_ : 0)};
    const Application::TWaitResult result =
        Application::WaitUntil([&] { return Flag || !*alive || terminated_; }, deadline);
    if (Flag) return 0;
    if (!*alive) return WaitTimedOut;
    // The quit request stays visible to every enclosing loop; the socket remembers it too.
    if (result == Application::TWaitResult::Terminated && MultiThreaded()) terminated_ = true;
    return WaitTimedOut;
}
