#pragma once
// The SMTP server's reading of command lines, apart from any socket: the
// command word, the arguments of MAIL, RCPT and the other commands, and
// the dot-unstuffing of message lines.

#include <cstddef>
#include <string>
#include <string_view>

namespace qordex::mail {

// The longest command or message line the server takes, its CR LF not
// counted.  RFC 5321 (4.5.3.1) asks for 1000 bytes; real mail breaks that
// often enough that the server allows far more, but a peer cannot make it
// hold more than this for one line.
constexpr std::size_t kMaxSmtpServerLine = 64 * 1024;

// The command word: the text up to the first space, in upper case.
std::string SmtpCommandWord(std::string_view line);

// The user name of HELO or EHLO: the second space-separated field.
std::string SmtpHelloName(std::string_view line);

// The text from the character at `from` (0-based) on, trimmed; empty when
// the line is shorter.
std::string SmtpArgument(std::string_view line, std::size_t from);

// The address of "MAIL FROM:" (`rcpt` false) or "RCPT TO:" (`rcpt` true):
// the text inside the angle brackets when there are some, else the whole
// argument, keeping only letters, digits, "-", ".", "@", "_" (and "+" for
// RCPT).  Parameters after the brackets (SIZE=...) are not part of it.
std::string SmtpPathArgument(std::string_view line, bool rcpt);

// A message line as it was meant: a line that starts with a dot loses that
// one dot, which the client added (RFC 5321, 4.5.2).
std::string_view SmtpUnstuff(std::string_view line);

} // namespace qordex::mail
