// The MIME layer of TSmtpCli: the text part and base64 file attachments in a multipart body
// (RFC 2045, RFC 2046).
#include "net/SmtpProt.h"

#include "net/Base64.h"
#include "ui/SysUtils.h"

#include <cstring>
#include <ctime>

#include <strings.h>
#include <sys/stat.h>

namespace {

// RFC 2045 section 6.8 allows 76 characters; 45 bytes make 60.
constexpr std::size_t kAttachmentChunk = 45;

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BoundaryNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%m%d%y%H%M", &local);
    return std::string("= Multipart Boundary ") + stamp;
}

} // namespace

TSmtpCli::TSmtpCli(TComponent* AOwner) : TCustomSmtpClient(AOwner) {}

TSmtpCli::~TSmtpCli() = default;

void TSmtpCli::SetEmailFiles(const TStringList& Value) {
    emailFiles_.Clear();
    for (const std::string& entry : Value) {
        const std::string name = Trim(entry);
        if (name.empty()) continue;
        struct stat info {};
        if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            throw SmtpException("File not found '" + name + "'");
        emailFiles_.Add(name);
    }
}

void TSmtpCli::Data() {
    userPhase_ = true;
    fileIndex_ = 0;
    userLineNumber_ = 0;
    file_.reset();
    messageLines_.clear();
    boundary_.clear();
    if (!emailFiles_.Empty()) {
        boundary_ = BoundaryNow();
        messageLines_ = {"This is a multipart MIME message.",
                         "",
                         "--" + boundary_,
                         "Content-Type: " + ContentTypeText() + "; charset=\"" + CharSet() + "\"",
                         "Content-Transfer-Encoding: 7bit",
                         ""};
    }
    mailIndex_ = 0; // the MailMessage lines follow the prepared ones, read where they are
    TCustomSmtpClient::Data();
}

void TSmtpCli::TriggerGetData(int LineNum, std::string& MsgLine, int MaxLen, bool& More) {
    (void)LineNum;
    More = true;
    if (!messageLines_.empty()) {
        // Whole, however long: a cut would change the text.
        MsgLine = std::move(messageLines_.front());
        messageLines_.pop_front();
        return;
    }
    if (mailIndex_ < MailMessage().Count()) {
        MsgLine = MailMessage()[mailIndex_++];
        return;
    }
    if (userPhase_) {
        ++userLineNumber_;
        TCustomSmtpClient::TriggerGetData(userLineNumber_, MsgLine, MaxLen, More);
        if (More) return;
        userPhase_ = false;
        More = true;
    }
    if (file_) {
        bool moreInFile = true;
        AttachmentReadLine(MsgLine, moreInFile);
        if (!moreInFile) {
            AttachmentClose();
            ++fileIndex_;
            if (fileIndex_ >= emailFiles_.Count()) {
                messageLines_.push_back("");
                messageLines_.push_back("--" + boundary_ + "--");
            }
        }
        return;
    }
    if (fileIndex_ < emailFiles_.Count()) {
        StartAttachment(MsgLine);
        return;
    }
    More = false;
}

void TSmtpCli::StartAttachment(std::string& MsgLine) {
    MsgLine.clear(); // an empty line before the part
    const std::string& path = emailFiles_[fileIndex_];
    AttachmentOpen(path);
    const std::string ownName = FileNameOf(path);
    std::string fileName = ownName;
    std::string contentType = "application/octet-stream";
    TriggerAttachContentType(fileIndex_, fileName, contentType);
    messageLines_.push_back("--" + boundary_);
    messageLines_.push_back("Content-Type: " + contentType + ";");
    messageLines_.push_back("\tname=\"" + fileName + "\"");
    messageLines_.push_back("Content-Transfer-Encoding: base64");
    messageLines_.push_back("Content-Disposition: attachment;");
    messageLines_.push_back("\tfilename=\"" + ownName + "\"");
    TStringList extra;
    TriggerAttachHeader(fileIndex_, fileName, extra);
    for (const std::string& line : extra)
        messageLines_.push_back(line);
    messageLines_.push_back("");
}

void TSmtpCli::TriggerHeaderLine(char* Msg, int Size) {
    static constexpr char kContentType[] = "CONTENT-TYPE:";
    if (!boundary_.empty() && Size > 0 &&
        ::strncasecmp(Msg, kContentType, sizeof kContentType - 1) == 0)
        std::snprintf(Msg, static_cast<std::size_t>(Size),
                      "Content-Type: multipart/mixed;\r\n\tboundary=\"%s\"", boundary_.c_str());
    TCustomSmtpClient::TriggerHeaderLine(Msg, Size);
}

void TSmtpCli::TriggerAttachContentType(int FileNumber, std::string& FileName,
                                        std::string& ContentType) {
    if (OnAttachContentType) OnAttachContentType(this, FileNumber, FileName, ContentType);
}

void TSmtpCli::TriggerAttachHeader(int FileNumber, const std::string& FileName,
                                   TStringList& HdrLines) {
    if (OnAttachHeader) OnAttachHeader(this, FileNumber, FileName, HdrLines);
}

void TSmtpCli::AttachmentOpen(const std::string& Path) {
    file_.reset(std::fopen(Path.c_str(), "rb"));
    if (!file_) throw EInOutError("Cannot open attachment '" + Path + "': " + std::strerror(errno));
}

void TSmtpCli::AttachmentReadLine(std::string& Line, bool& More) {
    unsigned char chunk[kAttachmentChunk];
    const std::size_t count = std::fread(chunk, 1, sizeof chunk, file_.get());
    if (std::ferror(file_.get()))
        throw EInOutError(std::string("Cannot read attachment: ") + std::strerror(errno));
    Line.resize(Base64EncodedLength(count));
    Line.resize(Base64EncodeTo(chunk, count, Line.data()));
    // Looking one byte ahead tells a file that ends on a full line from one that goes on.
    const int next = count == sizeof chunk ? std::fgetc(file_.get()) : EOF;
    if (next != EOF) std::ungetc(next, file_.get());
    More = next != EOF;
}

void TSmtpCli::AttachmentClose() {
    file_.reset();
}
