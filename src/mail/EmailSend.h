#pragma once
// What the SMTP client window and `qordex-cli smtp` share: how the fields
// a user fills become the client's recipients, headers and body, and the
// log line of a finished request.

#include "mail/SmtpProt.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::mail {

// The recipients of To, CC and BCC, separated by ";" (commas are no
// separators: they may stand inside a display name).  Empty pieces are
// left out, except that three empty fields still give one empty entry.
std::vector<std::string> RecipientList(std::string_view to, std::string_view cc,
                                       std::string_view bcc);

// The From header value: NAME + " <" + ADDR + ">".
std::string FromHeader(std::string_view name, std::string_view address);

// "RequestDone Rq=" + the request's ordinal + " Error=" + the code.
std::string RequestDoneLine(TSmtpRequest rq, std::uint16_t error);

// The lines of a body text: split at LF, a CR LF counting as one line end,
// and no empty line after a final line end.
std::vector<std::string> SplitBodyText(std::string_view text);

// Whether body lines must go to the client as its MailMessage (and so be
// encoded) instead of line by line through OnGetData: a line that could
// not go on the wire as it is, or 8-bit text that is not allowed.
bool BodyNeedsMailMessage(const std::vector<std::string>& lines, bool allow8bit);

// The fields of a message as a user fills them.
struct TSmtpMessageFields {
    std::string to, cc, bcc;
    std::string fromAddr, fromName;
    std::string replyTo, returnPath, subject;
    std::vector<std::string> files;
};

// Sets RcptName from To, CC and BCC.
void ApplyRecipients(TSmtpCli& smtp, const TSmtpMessageFields& f);
// Sets the header properties and EmailFiles (which may throw SmtpException
// for a missing file).
void ApplyHeaders(TSmtpCli& smtp, const TSmtpMessageFields& f);
// Hands the body to the client: as MailMessage when it needs encoding,
// else nothing (the caller's OnGetData gives it, see BodyLineForGetData).
// Returns whether it went to MailMessage.
bool ApplyBody(TSmtpCli& smtp, const std::vector<std::string>& lines);
// OnGetData's answer for a body held as lines: line LineNum (from 1), cut
// to MaxLen - 1 bytes, or More false after the last.
void BodyLineForGetData(const std::vector<std::string>& lines, int lineNum, std::string& line,
                        int maxLen, bool& more);

// The SOCKS 5 proxy settings of the window's proxy panel.
struct TSmtpSocksSettings {
    bool use = false;
    bool authenticate = false;
    std::string address, port, user, password;
};

// Copies the proxy settings to the client's socket before it connects (a
// close of the socket forgets them): SOCKS 5 through the given server, with
// the user code and password only when authenticating.
void ApplySocks(TSmtpCli& smtp, const TSmtpSocksSettings& s);

} // namespace qordex::mail
