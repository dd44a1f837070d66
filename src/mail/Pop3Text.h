#pragma once
// The POP3 client's rules over bytes, apart from any socket: the number
// readers of STAT, LIST, UIDL and LAST answers, the greeting's APOP
// timestamp, the APOP and CRAM answers, dot-unstuffing, the capture of a
// retrieved message's main header fields, and the file name that a unique
// id may safely give.

#include <cstddef>
#include <string>
#include <string_view>

namespace qordex::mail {

// The longest line kept from the server (RFC 1939 sets no limit on message
// lines).  A longer line fails the request and drops the connection, since a
// message cut into pieces would be delivered corrupted.
constexpr std::size_t kMaxPop3Line = 1024 * 1024;

// The most bytes a captured header field keeps, folded parts included.
constexpr std::size_t kMaxPop3HeaderField = 10000;

// The longest file name that GetAll makes from a unique id.
constexpr std::size_t kMaxPop3FileName = 255;

// Two decimal numbers of a line ("+OK 3 4500", "1 123"): skips to the first
// digit, reads it, skips the digits and the tabs, spaces, CR and LF after
// them, and reads the second.  When no second number follows, both are 0.
// A number too big for an int reads as the largest int.
void ReadTwoNumbers(std::string_view line, int& first, int& second);

// The first decimal number of a line (LAST's answer); 0 when there is none.
int ReadNumber(std::string_view line);

// A message number and its unique id ("+OK 1 abc", "1 abc"): the number as
// ReadNumber reads it, then, after the spaces that follow it, the run of
// printable characters ("!" to "~").  No number gives 0 and an empty id.
void ReadNumberAndId(std::string_view line, int& number, std::string& id);

// The APOP timestamp of a greeting: from the first "<" to the first ">"
// after it, both included; empty when either is missing (RFC 1939, 7).
std::string ApopTimestamp(std::string_view greeting);

// The APOP digest: 32 lower-case hexadecimal digits of MD5(timestamp + password).
std::string ApopDigest(std::string_view timestamp, std::string_view password);

// The CRAM-MD5 or CRAM-SHA1 answer to a "+ <challenge>" line (RFC 2195):
// the user name, a space and the hexadecimal HMAC (RFC 2104, any key
// length) of the decoded challenge keyed with the password, in Base64.
std::string Pop3CramResponse(std::string_view username, std::string_view password,
                             std::string_view replyLine, bool sha1);

// A data line of a multi-line answer without its stuffed dot (RFC 1939, 3):
// ".." at the start loses one ".", every other line stays.
std::string_view UnstuffDot(std::string_view line);

// True when the text holds a CR, an LF or a NUL byte, any of which would
// end a command early and let the rest act as another command.
bool HasPop3LineBreak(std::string_view text);

// The main header fields of a message, collected line by line as it is
// retrieved, up to the empty line that ends its header.
class TPop3HeaderCapture {
public:
    // Starts a new message: every field empty, in the header part.
    void Reset();
    // Takes one (unstuffed) line of the message; returns true for the empty
    // line that ends the header.  Lines after it change nothing.
    bool Feed(std::string_view line);
    bool InHeader() const { return inHeader_; }

    std::string from, to, cc, subject, date, messageId, replyTo, inReplyTo, returnPath;

private:
    std::string* FieldOf(const std::string& keyword);
    bool inHeader_ = true;
    std::string keyword_; // of the header the next folded line continues
};

// The file name GetAll gives the message of a unique id: "Msg " + the id +
// ".txt", where every byte of the id other than "A" to "Z", "a" to "z",
// "0" to "9", ".", "-" and "_" becomes "%" and two upper-case hexadecimal
// digits, so that no id names a file outside the folder.  Empty for an
// empty id or a name longer than kMaxPop3FileName; `why` then tells why.
std::string Pop3MessageFileName(std::string_view uidl, std::string* why = nullptr);

} // namespace qordex::mail
