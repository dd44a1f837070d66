#pragma once
// The codec of the Encoder / Decoder: turns bytes into Base64 lines, UUencode
// lines or the "Quoted" form, and such text back into bytes.  Both routines
// read the source from its current position to its end and append to the
// target, a buffer at a time, so files of any size stream through.

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace qordex::mail {

// The codec's mode, passed as a small integer.
enum TCodecMode : int {
    cmUUencode = 0, // UUencode lines without "begin" and "end" lines
    cmBase64 = 1,   // Base64 lines of 76 characters
    cmQuoted = 2,   // quoted-printable escapes, lines of 75 to 77 characters
};

// Called with the context value, the source's read position and its total
// size (-1 when the source cannot tell, as a pipe).  Before each output line
// when encoding; before each step when decoding (each group, or each input
// byte in the Quoted mode).
using TProgressProc =
    std::function<void(std::int32_t context, std::int64_t position, std::int64_t size)>;

// Writes the encoded lines of all remaining source bytes, each ended by
// CR LF.  An exhausted source writes nothing.  Stream failures are left in
// the streams' states for the caller to check.
//   Base64: 19 groups (57 bytes, 76 characters) a line.
//   UUencode: a length character (32 + bytes), then 19 groups a line; the
//     value 0 is a space; a short final group is completed with grave accents.
//   Quoted: every byte below 33, "=" and every byte from 128 up as "=XX", the
//     rest as it is; a line closes once it holds 75 characters.  Line breaks of
//     the source are escaped, so the output's line breaks carry no meaning.
// Throws std::invalid_argument for a mode other than the three.
void EncodeStream(std::istream& source, std::ostream& target, int mode,
                  const TProgressProc& progress = {}, std::int32_t context = 0);

// Writes the decoded bytes of all remaining source text.  Malformed text is
// never an error: what cannot be used is dropped or skipped.
//   Base64: white space and control characters are skipped anywhere; "=" and
//     any character outside the alphabet count as padding; a group cut short
//     by the end of the text gives the bytes its characters complete.
//   UUencode: the length character that starts a line gives the number of
//     bytes the line carries (grave accent and space: none); characters
//     missing from the end of a line count as zero values; lines that start
//     with a lower-case letter ("begin", "end") are skipped.
//   Quoted: "=" and two upper-case hexadecimal digits give a byte; "=" with
//     anything else drops all three characters (soft breaks vanish this way);
//     control characters are dropped, every other byte is kept.
// Throws std::invalid_argument for a mode other than the three.
void DecodeStream(std::istream& source, std::ostream& target, int mode,
                  const TProgressProc& progress = {}, std::int32_t context = 0);

// The same over byte strings.
std::string EncodeString(std::string_view source, int mode);
std::string DecodeString(std::string_view source, int mode);

} // namespace qordex::mail
