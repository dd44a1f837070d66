// The MIME layer of the SMTP client: the text body in its transfer
// encoding, the owner's OnGetData lines, and the attachments as Base64 parts
// of a multipart/mixed message, handed to the engine's line pump one line
// per call.

#include "base/Text.h"
#include "mail/SmtpProt.h"
#include "mail/SmtpText.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <streambuf>
#include <unistd.h>

namespace qordex::mail {
namespace {

// An attachment's bytes straight from its descriptor.  A failed read
// throws, which marks the stream bad: a file that cannot be read to its
// end must not pass for a shorter one.
class AttachmentBuf : public std::streambuf {
public:
    explicit AttachmentBuf(int fd) : fd_(fd) {}
    ~AttachmentBuf() override { ::close(fd_); }

protected:
    int_type underflow() override {
        ssize_t n;
        do
            n = ::read(fd_, buf_, sizeof buf_);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            throw SmtpException("read failed");
        if (n == 0)
            return traits_type::eof();
        setg(buf_, buf_, buf_ + n);
        return traits_type::to_int_type(buf_[0]);
    }

private:
    int fd_;
    char buf_[64 * 1024];
};

class AttachmentStream : public std::istream {
public:
    explicit AttachmentStream(int fd) : std::istream(nullptr), buf_(fd) { rdbuf(&buf_); }

private:
    AttachmentBuf buf_;
};

std::unique_ptr<std::istream> OpenAttachment(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<AttachmentStream>(fd);
}

} // namespace

TSmtpCli::TSmtpCli() = default;

TSmtpCli::~TSmtpCli() = default;

void TSmtpCli::SetEmailFiles(const std::vector<std::string>& v) {
    emailFiles_.clear();
    for (const std::string& entry : v) {
        std::string name = Trim(entry);
        if (name.empty())
            continue;
        if (HasLineBreakOrNul(name))
            throw SmtpException("File name holds CR, LF or NUL");
        std::error_code ec;
        if (!std::filesystem::is_regular_file(name, ec))
            throw SmtpException("File not found '" + name + "'");
        emailFiles_.push_back(std::move(name));
    }
}

void TSmtpCli::CheckMessage() const {
    TCustomSmtpClient::CheckMessage();
    for (const std::string& name : emailFiles_)
        if (HasLineBreakOrNul(name))
            throw SmtpException("File name holds CR, LF or NUL");
}

void TSmtpCli::Data() {
    if (State() != smtpReady && State() != smtpInternalReady)
        throw SmtpException("SMTP component not ready");
    if (!Connected())
        throw SmtpException("SMTP component not connected");
    CheckMessage();
    PrepareMimeParts();
    TCustomSmtpClient::Data();
}

void TSmtpCli::Abort() {
    TCustomSmtpClient::Abort();
}

void TSmtpCli::CloseTransfer() {
    file_.reset();
}

void TSmtpCli::PrepareMimeParts() {
    bodyFlag_ = true;
    fileIndex_ = 0;
    bodyLine_ = 0;
    file_.reset();
    bodyEncoding_ = DefaultEncoding();
    queue_.clear();
    queueAt_ = 0;
    text_.clear();
    for (std::size_t i = 0; i < mailMessage_.size(); ++i) {
        if (i > 0)
            text_ += "\r\n";
        text_ += mailMessage_[i];
    }
    textPos_ = text_.empty() ? 0 : 1;
    if (textPos_ != 0 && (bodyEncoding_ == smtpEnc7bit || bodyEncoding_ == smtpEnc8bit) &&
        BodyNeedsQuotedPrintable(text_, Allow8bitChars()))
        bodyEncoding_ = smtpEncQuotedPrintable;
    if (emailFiles_.empty()) {
        boundary_.clear();
        return;
    }
    boundary_ = MultipartBoundary(MailTimeNow());
    queue_ = MultipartPreamble(boundary_, ContentType(), CharSet(), bodyEncoding_);
}

void TSmtpCli::TriggerHeaderLine(std::string& line, int size) {
    line = RewriteContentTypeLine(line, boundary_, bodyEncoding_);
    TCustomSmtpClient::TriggerHeaderLine(line, size);
}

void TSmtpCli::TriggerAttachContentType(int fileNumber, std::string& fileName,
                                        std::string& contentType) {
    if (auto h = OnAttachContentType)
        h(this, fileNumber, fileName, contentType);
}

void TSmtpCli::TriggerAttachHeader(int fileNumber, const std::string& fileName,
                                   std::vector<std::string>& lines) {
    if (auto h = OnAttachHeader)
        h(this, fileNumber, fileName, lines);
}

void TSmtpCli::MoveToNextFile() {
    ++fileIndex_;
    if (fileIndex_ >= emailFiles_.size()) {
        queue_.emplace_back();
        queue_.push_back("--" + boundary_ + "--");
    }
}

void TSmtpCli::AbortFromBody(bool& more) {
    file_.reset();
    more = false;
    Abort();
}

void TSmtpCli::TriggerGetData(int, std::string& line, int maxLen, bool& more) {
    if (queueAt_ < queue_.size()) {
        line = std::move(queue_[queueAt_++]);
        if (queueAt_ == queue_.size()) {
            queue_.clear();
            queueAt_ = 0;
        }
        return;
    }
    while (bodyFlag_) {
        if (textPos_ > 0) {
            line = NextTextBodyLine(text_, textPos_, bodyEncoding_, WrapMessageText());
            return;
        }
        ++bodyLine_;
        bool handed = true;
        line.clear();
        const std::weak_ptr<char> alive = AliveToken();
        TCustomSmtpClient::TriggerGetData(bodyLine_, line, maxLen, handed);
        if (alive.expired())
            return;
        if (handed)
            return;
        bodyFlag_ = false;
    }
    if (file_) {
        bool fileMore = false;
        line = EncodeBase64FileLine(*file_, fileMore);
        if (file_->bad())
            throw SmtpException("Read error in '" + emailFiles_[fileIndex_] + "'");
        if (!fileMore) {
            file_.reset();
            MoveToNextFile();
        }
        return;
    }
    if (fileIndex_ < emailFiles_.size()) {
        StartNextFile(line, more);
        return;
    }
    more = false;
}

void TSmtpCli::StartNextFile(std::string& line, bool& more) {
    line.clear();
    const int idx = int(fileIndex_);
    const std::string path = emailFiles_[fileIndex_];
    const std::weak_ptr<char> alive = AliveToken();

    TSmtpBeforeOpenFileAction before = smtpBeforeOpenFileNone;
    if (auto h = OnBeforeFileOpen)
        h(this, idx, path, before);
    if (alive.expired())
        return;
    if (before == smtpBeforeOpenFileNext) {
        MoveToNextFile();
        return;
    }
    if (before == smtpBeforeOpenFileAbort) {
        AbortFromBody(more);
        return;
    }

    TSmtpAfterOpenFileAction after = smtpAfterOpenFileNone;
    try {
        file_ = OpenAttachment(path);
        if (!file_)
            throw SmtpException("Cannot open file '" + path + "'");
    } catch (const std::exception& e) {
        auto h = OnAfterFileOpen;
        if (!h)
            throw;
        h(this, idx, path, &e, after);
        if (alive.expired())
            return;
        if (after == smtpAfterOpenFileNone)
            throw;
    }
    if (file_ && after == smtpAfterOpenFileNone) {
        if (auto h = OnAfterFileOpen)
            h(this, idx, path, nullptr, after);
        if (alive.expired())
            return;
    }
    switch (after) {
    case smtpAfterOpenFileNext:
        file_.reset();
        MoveToNextFile();
        return;
    case smtpAfterOpenFileRetry:
        file_.reset(); // the next call tries the same file again
        return;
    case smtpAfterOpenFileAbort:
        AbortFromBody(more);
        return;
    case smtpAfterOpenFileNone:
        break;
    }

    std::string name = FileNameOnly(path);
    std::string contentType = ContentTypeForFile(name);
    TriggerAttachContentType(idx, name, contentType);
    if (alive.expired())
        return;
    if (HasLineBreakOrNul(name) || HasLineBreakOrNul(contentType))
        throw SmtpException("Attachment name or type holds CR, LF or NUL");
    queue_ = AttachmentPartHeader(boundary_, name, contentType, Allow8bitChars(), FoldHeaders(),
                                  bodyEncoding_, CharSet());
    queueAt_ = 0;
    TriggerAttachHeader(idx, name, queue_);
    if (alive.expired())
        return;
    queue_.emplace_back();
}

} // namespace qordex::mail
