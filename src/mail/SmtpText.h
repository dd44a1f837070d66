#pragma once
// The SMTP client's rules over bytes, apart from any socket: reading reply
// lines, the mechanisms an EHLO reply offers, splitting an address from its
// display name, the AUTH answers, and the checks that keep a command or a
// message line from ending early on the wire.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::mail {

// The longest reply line kept: the 4096-byte reply buffer less one.  A
// longer line fails the request and drops the connection.
constexpr std::size_t kMaxSmtpReplyLine = 4095;

// The longest line sent between DATA and the final dot, its CR LF not
// counted and a stuffed dot counted (RFC 5321, 4.5.3.1.6).
constexpr std::size_t kMaxSmtpTextLine = 998;

// The status of a reply line without any digits.
constexpr int kSmtpNoStatus = 20600;

// The decimal number a reply line starts with (leading spaces skipped, an
// optional sign read), or kSmtpNoStatus when there is none; `continuation`
// tells that a "-" follows the number (a line of a multi-line reply).  A
// number too big for an int reads as kSmtpNoStatus too.
int SmtpReplyStatus(std::string_view line, bool& continuation);

// Adds the mechanisms that an EHLO reply line offers ("250-AUTH LOGIN
// PLAIN" or "250-AUTH=LOGIN PLAIN"), upper-cased, to `list` unless there
// already.  Other lines add nothing.
void AddAuthMechanisms(std::string_view line, std::vector<std::string>& list);

// Splits "Name <addr>", "\"Name\" <addr>", "addr (comment)"... into the
// display name and the address; a bare address gives an empty name.
void SplitAddress(std::string_view text, std::string& displayName, std::string& address);
// The address part alone.
std::string AddressPart(std::string_view text);

// True when the text holds a CR, an LF or a NUL byte: such a value would
// end a command or a header line early and let the rest act as commands.
bool HasLineBreakOrNul(std::string_view text);

// The AUTH PLAIN response (RFC 4616): NUL, user name, NUL, password, in Base64.
std::string AuthPlainToken(std::string_view username, std::string_view password);

// The CRAM-MD5 or CRAM-SHA1 response to a "334 <challenge>" reply line
// (RFC 2195): the user name, a space and the hexadecimal HMAC of the decoded
// challenge keyed with the password, in Base64.
std::string CramResponse(std::string_view username, std::string_view password,
                         std::string_view replyLine, bool sha1);

// A message line as it goes on the wire: a leading "." doubled (RFC 5321,
// 4.5.2), so that no line of the message reads as its end.
std::string StuffDot(std::string_view line);

// What keeps a line from being sent between DATA and the final dot.
enum class TSmtpLineFault {
    None,
    LineBreak, // holds a CR, an LF or a NUL: some servers would end the data there
    TooLong,   // longer than kMaxSmtpTextLine once stuffed
};
TSmtpLineFault CheckMessageLine(std::string_view stuffedLine);
// The text of a line fault for an error line ("500 " + it).
std::string MessageLineFaultText(TSmtpLineFault fault);

// Cuts a header line at its inner CR LF pairs (a folded header that
// OnHeaderLine or the MIME layer built) into the lines that go out.
std::vector<std::string> SplitAtCrLf(std::string_view text);

} // namespace qordex::mail
