#include "mail/EmailSend.h"

#include "base/Text.h"
#include "mail/SmtpText.h"
#include "net/WSocket.h"

namespace qordex::mail {

std::vector<std::string> RecipientList(std::string_view to, std::string_view cc,
                                       std::string_view bcc) {
    std::string text = Trim(to);
    for (std::string_view more : {cc, bcc})
        if (!Trim(more).empty())
            text += ";" + Trim(more);
    std::vector<std::string> list;
    std::size_t at = 0;
    for (;;) {
        const std::size_t semi = text.find(';', at);
        std::string piece = Trim(std::string_view(text).substr(
            at, semi == std::string::npos ? std::string::npos : semi - at));
        // "a@x;" or "a@x;;b@x" is no request for an empty recipient.
        if (!piece.empty())
            list.push_back(std::move(piece));
        if (semi == std::string::npos)
            break;
        at = semi + 1;
    }
    if (list.empty())
        list.emplace_back();
    return list;
}

std::string FromHeader(std::string_view name, std::string_view address) {
    return std::string(name) + " <" + std::string(address) + ">";
}

std::string RequestDoneLine(TSmtpRequest rq, std::uint16_t error) {
    return "RequestDone Rq=" + std::to_string(int(rq)) + " Error=" + std::to_string(error);
}

std::vector<std::string> SplitBodyText(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos)
            lf = text.size();
        std::size_t end = lf;
        if (end > at && text[end - 1] == '\r')
            --end;
        lines.emplace_back(text.substr(at, end - at));
        at = lf + 1;
    }
    return lines;
}

bool BodyNeedsMailMessage(const std::vector<std::string>& lines, bool allow8bit) {
    for (const std::string& line : lines) {
        if (CheckMessageLine(StuffDot(line)) != TSmtpLineFault::None)
            return true;
        if (!allow8bit && HasNonAsciiChars(line))
            return true;
    }
    return false;
}

void ApplyRecipients(TSmtpCli& smtp, const TSmtpMessageFields& f) {
    smtp.SetRcptName(RecipientList(f.to, f.cc, f.bcc));
}

void ApplyHeaders(TSmtpCli& smtp, const TSmtpMessageFields& f) {
    smtp.SetHdrFrom(FromHeader(f.fromName, f.fromAddr));
    smtp.SetHdrReturnPath(f.returnPath);
    smtp.SetHdrReplyTo(f.replyTo);
    smtp.SetHdrTo(f.to);
    smtp.SetHdrCc(f.cc);
    smtp.SetHdrSubject(f.subject);
    smtp.SetEmailFiles(f.files);
}

bool ApplyBody(TSmtpCli& smtp, const std::vector<std::string>& lines) {
    const bool whole = BodyNeedsMailMessage(lines, smtp.Allow8bitChars());
    smtp.SetMailMessage(whole ? lines : std::vector<std::string>{});
    return whole;
}

void BodyLineForGetData(const std::vector<std::string>& lines, int lineNum, std::string& line,
                        int maxLen, bool& more) {
    if (lineNum < 1 || std::size_t(lineNum) > lines.size()) {
        more = false;
        return;
    }
    line = lines[std::size_t(lineNum - 1)];
    if (maxLen > 0 && line.size() >= std::size_t(maxLen))
        line.resize(std::size_t(maxLen - 1));
}

void ApplySocks(TSmtpCli& smtp, const TSmtpSocksSettings& s) {
    TWSocket& socket = smtp.ConnectionSocket();
    if (!s.use) {
        socket.SetSocksServer("");
        socket.SetSocksPort("");
        return;
    }
    socket.SetSocksLevel("5");
    socket.SetSocksServer(s.address);
    socket.SetSocksPort(s.port);
    socket.SetSocksAuthentication(s.authenticate ? socksAuthenticateUsercode
                                                 : socksNoAuthentication);
    socket.SetSocksUsercode(s.authenticate ? s.user : "");
    socket.SetSocksPassword(s.authenticate ? s.password : "");
}

} // namespace qordex::mail
