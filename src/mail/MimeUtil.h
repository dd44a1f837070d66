#pragma once
// Stateless text routines for building and reading mail and HTTP text: the
// content type of a file, Base64 (whole strings and line by line),
// quoted-printable lines, a quote-aware line wrapper, header folding and
// RFC 2047 encoded words.  Everything works on bytes held in std::string.
//
// Positions are 1-based and passed by reference, so that a caller can ask
// for successive lines of the same text:
//
//     std::size_t pos = 1;
//     while (pos <= text.size())
//         lines.push_back(EncodeBase64TextLine(text, 76, pos));

#include <bitset>
#include <cstddef>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::mail {

// A set of byte values (protected characters, breaking characters, quotes).
using TCharSet = std::bitset<256>;

// The set holding every byte of `chars`.
TCharSet MakeCharSet(std::string_view chars);

// Double quote ( ) , . : ; < > @ [ \ ] — the RFC 822 specials.
const TCharSet& Rfc822Specials();

// What WrapLine leaves in the position once the line is used up; any test
// of the position against the line's length ends the caller's loop.
inline constexpr std::size_t kWrapLineEnd = static_cast<std::size_t>(-1);

// "text/html", "image/gif", "image/bmp", "image/jpeg", "text/plain" by the
// extension after the last ".", in any letter case; else
// "application/octet-stream".
std::string ContentTypeForFile(std::string_view fileName);

// Base64 of all bytes (RFC 2045 alphabet, "=" padding, no line breaks).
std::string EncodeBase64(std::string_view input);

// Decodes groups of four characters.  Nothing is skipped: line breaks and
// spaces are not allowed.  Input is not validated; a character outside the
// alphabet counts as 0, and a short final group yields only the bytes that
// its characters complete (one character: none).
std::string DecodeBase64(std::string_view input);

// One line of at most 72 characters (18 groups) from the stream's current
// position.  `more` is true exactly when the last read returned three bytes,
// so a stream of 54 * n bytes yields n full lines and then an empty line
// with `more` false, and an empty stream yields one empty line.
std::string EncodeBase64FileLine(std::istream& stream, bool& more);

// Groups of three bytes from `pos` while the position is within the text and
// the line is shorter than `maxLen`; `pos` moves on by three per group.  With
// 76 a line carries 57 bytes.  A line always takes at least one group, so a
// caller's loop ends even with a maximum below 4.
std::string EncodeBase64TextLine(std::string_view text, std::size_t maxLen, std::size_t& pos);

// One quoted-printable piece from `pos`, at most `maxLen` characters
// including a final soft break "=" when `limit` is on; with `limit` off the
// whole rest of the text is encoded with no soft break.  Bytes 32 to 126
// other than "=" and the protected ones pass as they are; with
// `spaceAsUnderscore` a space becomes "_" (Q encoded words); every other byte
// becomes "=" and two upper-case hexadecimal digits, CR and LF included.
// A space that ends the text is written as "=20": the caller ends the line
// there, and relays strip trailing white space (RFC 2045, 6.7 rule 3).
std::string EncodeQPLine(std::string_view text, std::size_t maxLen, const TCharSet& protectedChars,
                         bool spaceAsUnderscore, std::size_t& pos, bool limit);

// True when the text holds a byte other than tab, LF, CR and 32 to 126.
bool HasNonAsciiChars(std::string_view text);
// The same for a zero-terminated buffer: stops at the first zero byte.
bool HasNonAsciiChars(const char* text);

// The next piece of `line` from `pos`.  A piece ends after the last breaking
// character (outside quotes) once the column passes `maxCol`, or at the
// break text (compared ignoring letter case, removed from the piece).  A line
// without a breaking character after the maximum column is not cut before
// the next one.  `pos` moves to the character after the break point, or to
// kWrapLineEnd when the piece is the rest of the line.
std::string WrapLine(std::string_view line, std::string_view breakText, const TCharSet& breakChars,
                     std::size_t maxCol, const TCharSet& quoteChars, std::size_t& pos);

// Cuts a header line at column 76 (break text CR LF tab; breaking characters
// tab, space , ; > ]) and adds the pieces, trimmed, to the list: the first
// as it is, every further one after a tab; a piece of white space only is
// left out.  An empty line adds nothing.
void FoldHeaderIntoList(std::vector<std::string>& list, std::string_view header);

// Cuts the text with WrapLine (break text CR LF tab) and joins the trimmed
// pieces with CR LF tab, leaving out pieces of white space only.
std::string FoldText(std::string_view text, const TCharSet& breakChars, std::size_t maxCol);

// RFC 2047 encoded words "=?charset?B?...?=" or "=?charset?Q?...?=" for the
// text, separated by CR LF tab.  With `fold` each word fits in `maxCol`
// (at least 25); without it there is exactly one word.  With the charset
// "utf-8" a folded word never ends inside a character.  `encType` is 'B' or
// 'Q'.  Throws std::runtime_error for a charset shorter than 4 characters or
// another type.
std::string HdrEncodeInLine(std::string_view text, const TCharSet& protectedChars, char encType,
                            bool fold, int maxCol, std::string_view charset);

// Opens a file for reading in binary mode; null when it cannot be opened.
// (Files are opened shared for reading; the platform has no share modes.)
std::unique_ptr<std::istream> OpenFileStream(const std::string& path);
// Closes the stream held in the variable and clears the variable.
void CloseFileStream(std::unique_ptr<std::istream>& stream);

} // namespace qordex::mail
