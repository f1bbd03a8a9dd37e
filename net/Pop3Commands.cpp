#include "net/Pop3Prot.h"

// The commands of the POP3 client and the parsing of their replies (RFC 1939 sections 5-7).

void TCustomPop3Cli::RefuseSession(const std::string& Text) {
    errorMessage_ = Text;
    TriggerDisplay(errorMessage_);
    throw Pop3Exception(Text);
}

void TCustomPop3Cli::ResetHeader() {
    headerPart_ = true;
    hdrKeyword_.clear();
    hdrData_.clear();
    hdrFrom_.clear();
    hdrTo_.clear();
    hdrSubject_.clear();
    hdrDate_.clear();
    hdrMessageId_.clear();
    hdrReplyTo_.clear();
    hdrReturnPath_.clear();
}

void TCustomPop3Cli::TransactionCommand(const char* Word, TPop3Request Kind, TPop3Step Step,
                                        const std::string& Command, TLineHandler AfterOk) {
    if (protocolState_ != pop3Transaction)
        RefuseSession(std::string("-ERR ") + Word + " command invalid now");
    CheckReady();
    if (!connected_) throw Pop3Exception("POP3 component not connected");
    ResetHeader();
    StartCommand(Kind, Step, Command, pop3Transaction, AfterOk);
}

void TCustomPop3Cli::CheckSecured(const char* Command) {
    if (security_ != secNone && !Secured())
        RefuseSession(std::string("-ERR ") + Command + " not sent: the connection is not secured");
}

void TCustomPop3Cli::User() {
    CheckSecured("USER");
    if (protocolState_ != pop3Disconnected && protocolState_ != pop3WaitingUser)
        RefuseSession("-ERR USER command invalid now");
    StartCommand(pop3User, pop3StepUser, "USER " + Trim(userName_), pop3WaitingPass, nullptr);
}

void TCustomPop3Cli::Pass() {
    CheckSecured("PASS");
    if (protocolState_ == pop3Transaction) RefuseSession("-ERR PASS command invalid now");
    StartCommand(pop3Pass, pop3StepPass, "PASS " + Trim(passWord_), pop3Transaction, nullptr);
}

void TCustomPop3Cli::RPop() {
    CheckSecured("RPOP");
    if (protocolState_ == pop3Transaction) RefuseSession("-ERR RPOP command invalid now");
    StartCommand(pop3RPop, pop3StepRPop, "RPOP " + Trim(passWord_), pop3Transaction, nullptr);
}

void TCustomPop3Cli::APop() {
    CheckSecured("APOP");
    if (protocolState_ != pop3WaitingUser) RefuseSession("-ERR APOP command invalid now");
    if (timeStamp_.empty()) RefuseSession("-ERR Server do not support APOP (no timestamp)");
    StartCommand(pop3APop, pop3StepAPop,
                 "APOP " + Trim(userName_) + " " + Pop3ApopDigest(timeStamp_, passWord_),
                 pop3Transaction, nullptr);
}

void TCustomPop3Cli::Quit() {
    CheckReady();
    if (!connected_) {
        if (!inHighLevel_) requestType_ = pop3Quit;
        currentStep_ = pop3StepQuit;
        quitSent_ = false;
        requestDoneFlag_ = false;
        TriggerRequestDone(0);
        return;
    }
    StartCommand(pop3Quit, pop3StepQuit, "QUIT", pop3Disconnected, nullptr);
}

void TCustomPop3Cli::Stat() {
    TransactionCommand("STAT", pop3Stat, pop3StepStat, "STAT", &TCustomPop3Cli::AfterStat);
}

void TCustomPop3Cli::List() {
    if (msgNum_ > 0)
        TransactionCommand("LIST", pop3List, pop3StepList, "LIST " + std::to_string(msgNum_),
                           &TCustomPop3Cli::AfterListSingle);
    else
        TransactionCommand("LIST", pop3List, pop3StepList, "LIST", &TCustomPop3Cli::AfterListMulti);
}

void TCustomPop3Cli::Uidl() {
    if (msgNum_ > 0)
        TransactionCommand("UIDL", pop3Uidl, pop3StepUidl, "UIDL " + std::to_string(msgNum_),
                           &TCustomPop3Cli::AfterUidlSingle);
    else
        TransactionCommand("UIDL", pop3Uidl, pop3StepUidl, "UIDL", &TCustomPop3Cli::AfterUidlMulti);
}

void TCustomPop3Cli::Retr() {
    TransactionCommand("RETR", pop3Retr, pop3StepRetr, "RETR " + std::to_string(msgNum_),
                       &TCustomPop3Cli::AfterRetr);
}

void TCustomPop3Cli::Top() {
    if (msgLines_ < 0) throw Pop3Exception("Invalid MsgLines for TOP command");
    TransactionCommand("TOP", pop3Top, pop3StepTop,
                       "TOP " + std::to_string(msgNum_) + " " + std::to_string(msgLines_),
                       &TCustomPop3Cli::AfterRetr);
}

void TCustomPop3Cli::Dele() {
    TransactionCommand("DELE", pop3Dele, pop3StepDele, "DELE " + std::to_string(msgNum_), nullptr);
}

void TCustomPop3Cli::Noop() {
    TransactionCommand("NOOP", pop3Noop, pop3StepNoop, "NOOP", nullptr);
}

void TCustomPop3Cli::Last() {
    TransactionCommand("LAST", pop3Last, pop3StepLast, "LAST", &TCustomPop3Cli::AfterLast);
}

void TCustomPop3Cli::RSet() {
    TransactionCommand("RSET", pop3RSet, pop3StepRSet, "RSET", nullptr);
}

void TCustomPop3Cli::AfterStat() {
    Pop3TwoNumbers(lastResponse_, msgCount_, msgSize_);
    TriggerRequestDone(0);
}

void TCustomPop3Cli::AfterListSingle() {
    Pop3TwoNumbers(lastResponse_, msgNum_, msgSize_);
    TriggerRequestDone(0);
}

void TCustomPop3Cli::AfterUidlSingle() {
    Pop3NumberAndId(lastResponse_, msgNum_, msgUidl_);
    TriggerRequestDone(0);
}

void TCustomPop3Cli::AfterLast() {
    // RFC 1460 answers LAST with one number, the highest message accessed; the two-number rule
    // alone would turn that into 0, so a lone number goes to MsgNum.
    Pop3TwoNumbers(lastResponse_, msgNum_, msgSize_);
    if (msgNum_ == 0 && msgSize_ == 0) {
        std::string unused;
        Pop3NumberAndId(lastResponse_, msgNum_, unused);
    }
    TriggerRequestDone(0);
}

void TCustomPop3Cli::AfterListMulti() {
    StartMultiLine(OnListBegin, OnListLine, OnListEnd, &TCustomPop3Cli::ParseListLine);
}

void TCustomPop3Cli::AfterUidlMulti() {
    StartMultiLine(OnUidlBegin, OnUidlLine, OnUidlEnd, &TCustomPop3Cli::ParseUidlLine);
}

void TCustomPop3Cli::AfterRetr() {
    StartMultiLine(OnMessageBegin, OnMessageLine, OnMessageEnd, nullptr);
}

void TCustomPop3Cli::ParseListLine() {
    Pop3TwoNumbers(lastResponse_, msgNum_, msgSize_);
}

void TCustomPop3Cli::ParseUidlLine() {
    Pop3NumberAndId(lastResponse_, msgNum_, msgUidl_);
}

void TCustomPop3Cli::StartMultiLine(const TNotifyEvent& Begin, const TNotifyEvent& Line,
                                    const TNotifyEvent& End, TLineHandler Parse) {
    multiLineLine_ = Line;
    multiLineEnd_ = End;
    multiLineParse_ = Parse;
    next_ = &TCustomPop3Cli::MultiLineLineHandler;
    replyFailure_.clear();
    if (Begin) GuardReplyHandlers([&] { Begin(this); });
}

void TCustomPop3Cli::GuardReplyHandlers(const std::function<void()>& Handlers) {
    // Only reached from ProcessLines, whose own reference keeps the flag alive.
    const bool* alive = alive_.get();
    try {
        Handlers();
    } catch (const Exception& E) {
        if (*alive) replyFailure_ = ExceptionLine(E);
    } catch (const std::exception& E) {
        if (*alive) replyFailure_ = std::string("-ERR ") + E.what();
    }
}

void TCustomPop3Cli::CaptureHeader() {
    if (lastResponse_.empty()) {
        headerPart_ = false;
        TriggerHeaderEnd();
        return;
    }
    if (lastResponse_[0] == '\t')
        return; // folded continuation of the previous field (RFC 5322 section 2.2.3)
    if (!Pop3SplitHeader(lastResponse_, hdrKeyword_, hdrData_)) return;
    std::string* value = nullptr;
    if (hdrKeyword_ == "from")
        value = &hdrFrom_;
    else if (hdrKeyword_ == "to")
        value = &hdrTo_;
    else if (hdrKeyword_ == "subject")
        value = &hdrSubject_;
    else if (hdrKeyword_ == "date")
        value = &hdrDate_;
    else if (hdrKeyword_ == "message-id")
        value = &hdrMessageId_;
    else if (hdrKeyword_ == "replyto")
        value = &hdrReplyTo_;
    else if (hdrKeyword_ == "return-path")
        value = &hdrReturnPath_;
    if (value) *value = hdrData_;
}

// A handler of the reply's data that fails ends the request with 500 once the reply is over;
// the rest of the reply is still read, without handlers, so the session stays in step.
void TCustomPop3Cli::MultiLineLineHandler() {
    if (!connected_) {
        errorMessage_ = "-ERR Disconneced unexpectedly";
        requestResult_ = 500;
        TriggerDisplay(errorMessage_);
        TriggerRequestDone(500);
        return;
    }
    // Only reached from ProcessLines, whose own reference keeps the flag alive.
    const bool* alive = alive_.get();
    if (!lineContinues_ && Pop3IsTerminator(lastResponse_)) {
        if (replyFailure_.empty() && multiLineEnd_)
            GuardReplyHandlers([&] { multiLineEnd_(this); });
        if (!*alive) return;
        lastResponse_.clear();
        next_ = nullptr;
        if (replyFailure_.empty()) {
            TriggerRequestDone(0);
            return;
        }
        TriggerDisplay(replyFailure_);
        if (!*alive) return;
        FailRequest(replyFailure_, 500);
        return;
    }
    if (replyFailure_.empty()) GuardReplyHandlers([&] { ReplyDataLine(); });
}

void TCustomPop3Cli::ReplyDataLine() {
    const bool* alive = alive_.get();
    if (lineContinues_) {
        // The rest of a line longer than the receive buffer: message data, never the end of
        // the reply. A LIST or UIDL entry was reported with its first piece already.
        if (multiLineParse_) return;
        if (multiLineLine_) multiLineLine_(this);
        return;
    }
    if (lastResponse_.size() >= 2 && lastResponse_[0] == '.' && lastResponse_[1] == '.')
        lastResponse_.erase(0, 1);
    if (headerPart_) {
        CaptureHeader();
        if (!*alive) return;
    }
    if (multiLineParse_) (this->*multiLineParse_)();
    if (multiLineLine_) multiLineLine_(this);
}
