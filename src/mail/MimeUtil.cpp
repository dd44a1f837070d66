#include "mail/MimeUtil.h"

#include "base/Text.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace qordex::mail {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

unsigned char Byte(char c) {
    return static_cast<unsigned char>(c);
}

// Value of a Base64 character; anything outside the alphabet (the pad
// included) counts as 0, which is as good as any value for unchecked input.
unsigned Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return unsigned(c - 'A');
    if (c >= 'a' && c <= 'z')
        return unsigned(c - 'a' + 26);
    if (c >= '0' && c <= '9')
        return unsigned(c - '0' + 52);
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 0;
}

// Appends the four characters of one group of one to three bytes, padded.
void AppendBase64Group(std::string& out, const unsigned char* b, std::size_t n) {
    const unsigned b0 = b[0];
    const unsigned b1 = n > 1 ? b[1] : 0;
    const unsigned b2 = n > 2 ? b[2] : 0;
    out += kBase64Alphabet[b0 >> 2];
    out += kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
    out += n > 1 ? kBase64Alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=';
    out += n > 2 ? kBase64Alphabet[b2 & 0x3F] : '=';
}

void AppendHexEscape(std::string& out, unsigned char c) {
    out += '=';
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 0x0F];
}

bool IsUtf8Continuation(char c) {
    return (Byte(c) & 0xC0) == 0x80;
}

bool IsUtf8Lead(char c) {
    return Byte(c) >= 0xC0;
}

bool IsUtf8Charset(std::string_view charset) {
    return EqualsIgnoreCase(charset, "utf-8") || EqualsIgnoreCase(charset, "utf8");
}

bool IsTextSafe(unsigned char c) {
    return c == 9 || c == 10 || c == 13 || (c >= 32 && c <= 126);
}

} // namespace

TCharSet MakeCharSet(std::string_view chars) {
    TCharSet set;
    for (char c : chars)
        set.set(Byte(c));
    return set;
}

const TCharSet& Rfc822Specials() {
    static const TCharSet set = MakeCharSet("\"(),.:;<>@[\\]");
    return set;
}

std::string ContentTypeForFile(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    std::string ext;
    if (dot != std::string_view::npos)
        for (char c : fileName.substr(dot + 1))
            ext += AsciiLower(c);
    if (ext == "htm" || ext == "html")
        return "text/html";
    if (ext == "gif")
        return "image/gif";
    if (ext == "bmp")
        return "image/bmp";
    if (ext == "jpg" || ext == "jpeg")
        return "image/jpeg";
    if (ext == "txt")
        return "text/plain";
    return "application/octet-stream";
}

std::string EncodeBase64(std::string_view input) {
    std::string out;
    out.reserve((input.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const unsigned char*>(input.data());
    for (std::size_t i = 0; i < input.size(); i += 3)
        AppendBase64Group(out, p + i, std::min<std::size_t>(3, input.size() - i));
    return out;
}

std::string DecodeBase64(std::string_view input) {
    std::string out;
    out.reserve(input.size() / 4 * 3 + 2);
    for (std::size_t i = 0; i < input.size(); i += 4) {
        // Every read stays inside the input: a short final group has its
        // missing characters taken as padding.
        const std::size_t n = std::min<std::size_t>(4, input.size() - i);
        if (n < 2)
            break; // one character carries no whole byte
        const char c3 = n > 2 ? input[i + 2] : '=';
        const char c4 = n > 3 ? input[i + 3] : '=';
        const unsigned v1 = Base64Value(input[i]);
        const unsigned v2 = Base64Value(input[i + 1]);
        const unsigned v3 = Base64Value(c3);
        const unsigned v4 = Base64Value(c4);
        out += char(((v1 << 2) | (v2 >> 4)) & 0xFF);
        if (c3 != '=')
            out += char(((v2 << 4) | (v3 >> 2)) & 0xFF);
        if (c4 != '=')
            out += char(((v3 << 6) | v4) & 0xFF);
    }
    return out;
}

std::string EncodeBase64FileLine(std::istream& stream, bool& more) {
    std::string line;
    more = false;
    for (int group = 0; group < 18; ++group) {
        char buf[3];
        stream.read(buf, 3);
        const auto got = static_cast<std::size_t>(stream.gcount());
        more = got == 3;
        if (got > 0)
            AppendBase64Group(line, reinterpret_cast<const unsigned char*>(buf), got);
        if (!more)
            break;
    }
    return line;
}

std::string EncodeBase64TextLine(std::string_view text, std::size_t maxLen, std::size_t& pos) {
    std::string line;
    if (pos == 0)
        pos = 1;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    while (pos <= text.size() && (line.size() < maxLen || line.empty())) {
        const std::size_t i = pos - 1;
        AppendBase64Group(line, p + i, std::min<std::size_t>(3, text.size() - i));
        pos += 3;
    }
    return line;
}

std::string EncodeQPLine(std::string_view text, std::size_t maxLen, const TCharSet& protectedChars,
                         bool spaceAsUnderscore, std::size_t& pos, bool limit) {
    std::string line;
    if (pos == 0)
        pos = 1;
    // Room checks only apply to a line that holds something, so that every
    // call moves on even when a caller's maximum is too small for one escape.
    auto full = [&](std::size_t need) {
        return limit && !line.empty() && line.size() + need >= maxLen;
    };
    while (pos <= text.size()) {
        const unsigned char c = Byte(text[pos - 1]);
        const bool last = pos == text.size();
        if (c == ' ' && spaceAsUnderscore) {
            if (full(1)) {
                line += '=';
                return line;
            }
            line += '_';
        } else if (c >= 32 && c <= 126 && c != '=' && !protectedChars[c] && !(c == ' ' && last)) {
            // The soft break needs one more character: a plain character fits
            // while the line is shorter than maxLen - 1.
            if (full(1)) {
                line += '=';
                return line;
            }
            line += char(c);
        } else {
            if (full(3)) {
                line += '=';
                return line;
            }
            AppendHexEscape(line, c);
        }
        ++pos;
    }
    return line;
}

bool HasNonAsciiChars(std::string_view text) {
    for (char c : text)
        if (!IsTextSafe(Byte(c)))
            return true;
    return false;
}

bool HasNonAsciiChars(const char* text) {
    if (!text)
        return false;
    for (; *text; ++text)
        if (!IsTextSafe(Byte(*text)))
            return true;
    return false;
}

std::string WrapLine(std::string_view line, std::string_view breakText, const TCharSet& breakChars,
                     std::size_t maxCol, const TCharSet& quoteChars, std::size_t& pos) {
    if (pos == 0)
        pos = 1;
    if (pos > line.size()) {
        pos = kWrapLineEnd;
        return {};
    }
    const std::size_t start = pos - 1;
    constexpr std::size_t kNone = std::string_view::npos;
    std::size_t col = 0;
    std::size_t breakAt = kNone; // index of the last break point seen
    bool explicitBreak = false;
    int quote = -1; // the quote character that opened the quoted section
    // Bytes are single columns: our text is single-byte or UTF-8, and no
    // breaking character or quote can occur inside a UTF-8 sequence.
    for (std::size_t i = start; i < line.size(); ++i) {
        const unsigned char c = Byte(line[i]);
        ++col;
        if (quote < 0 && !breakText.empty() && StartsWithIgnoreCase(line.substr(i), breakText)) {
            i += breakText.size() - 1;
            breakAt = i;
            explicitBreak = true;
        } else {
            if (quote < 0 && breakChars[c])
                breakAt = i;
            if (quoteChars[c]) {
                if (quote == int(c))
                    quote = -1;
                else if (quote < 0)
                    quote = int(c);
            }
        }
        if (quote >= 0)
            continue;
        if (explicitBreak || (col > maxCol && breakAt != kNone && breakAt > start)) {
            std::string piece(line.substr(start, breakAt - start + 1));
            if (explicitBreak)
                piece.resize(piece.size() - breakText.size());
            pos = breakAt + 2;
            return piece;
        }
    }
    pos = kWrapLineEnd;
    return std::string(line.substr(start));
}

void FoldHeaderIntoList(std::vector<std::string>& list, std::string_view header) {
    if (header.empty())
        return;
    static const TCharSet breaks = MakeCharSet("\t ,;>]");
    std::size_t pos = 1;
    bool first = true;
    while (pos <= header.size()) {
        std::string piece = TrimControls(WrapLine(header, "\r\n\t", breaks, 76, TCharSet{}, pos));
        // A folded header must not hold a line of white space only (RFC 5322, 3.2.2).
        if (!first && piece.empty())
            continue;
        list.push_back(first ? piece : "\t" + piece);
        first = false;
    }
}

std::string FoldText(std::string_view text, const TCharSet& breakChars, std::size_t maxCol) {
    std::string out;
    std::size_t pos = 1;
    bool first = true;
    while (pos <= text.size()) {
        const std::string piece =
            TrimControls(WrapLine(text, "\r\n\t", breakChars, maxCol, TCharSet{}, pos));
        if (!first && piece.empty())
            continue; // no line of white space only
        if (!first)
            out += "\r\n\t";
        out += piece;
        first = false;
    }
    return out;
}

std::string HdrEncodeInLine(std::string_view text, const TCharSet& protectedChars, char encType,
                            bool fold, int maxCol, std::string_view charset) {
    if (fold && maxCol < 25)
        maxCol = 25;
    if (charset.size() < 4)
        throw std::runtime_error("Function 'HdrEncodeInLine', invalid CharSet: " +
                                 std::string(charset));
    if (encType != 'B' && encType != 'Q')
        throw std::runtime_error(std::string("Function 'HdrEncodeInLine', invalid EncType: ") +
                                 encType);
    std::string prefix = "=?";
    for (char c : charset)
        prefix += AsciiLower(c);
    prefix += '?';
    prefix += encType;
    prefix += '?';
    const long long prefixLen = static_cast<long long>(prefix.size());

    // An encoded word holds whole characters (RFC 2047, 5): in UTF-8 text a
    // word may not end inside a character's byte sequence.
    const bool utf8 = IsUtf8Charset(charset);

    std::string out;
    if (encType == 'Q') {
        // A charset too long for the column still gives words, only longer ones.
        const long long room = std::max(1LL, maxCol - prefixLen - 2);
        const TCharSet prot = protectedChars | MakeCharSet(" =?_");
        std::size_t pos = 1;
        while (pos <= text.size()) {
            const std::size_t start = pos;
            std::string line = EncodeQPLine(text, std::size_t(room), prot, true, pos, fold);
            if (!line.empty() && line.back() == '=')
                line.pop_back();
            if (utf8 && pos <= text.size() && IsUtf8Continuation(text[pos - 1])) {
                // The cut is inside a character: give back its bytes, each
                // written as "=XX", unless they are all the word holds.
                std::size_t lead = pos - 1; // 0-based, the next byte
                while (lead + 1 > start && IsUtf8Continuation(text[lead - 1]))
                    --lead;
                if (lead + 1 > start && IsUtf8Lead(text[lead - 1])) {
                    const std::size_t back = pos - lead;
                    if (line.size() > 3 * back) {
                        line.resize(line.size() - 3 * back);
                        pos -= back;
                    }
                }
            }
            if (!out.empty())
                out += "\r\n\t";
            out += prefix + line + "?=";
        }
        return out;
    }

    if (utf8 && fold && !text.empty()) {
        // The same number of groups a word as below, fewer where the last
        // one would end inside a character; that word's last group is padded.
        const std::size_t most = 3 * std::size_t(std::max(1LL, (maxCol - prefixLen - 2) / 4));
        for (std::size_t i = 0; i < text.size();) {
            std::size_t n = std::min(most, text.size() - i);
            std::size_t whole = n;
            while (whole > 0 && i + whole < text.size() && IsUtf8Continuation(text[i + whole]))
                --whole;
            if (whole > 0)
                n = whole;
            if (!out.empty())
                out += "\r\n\t";
            out += prefix + EncodeBase64(text.substr(i, n)) + "?=";
            i += n;
        }
        return out;
    }

    out = prefix;
    long long count = prefixLen + 2;
    bool wordHasData = false;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (fold && wordHasData && count + 4 > maxCol) {
            out += "?=\r\n\t";
            out += prefix;
            count = prefixLen + 2;
        }
        AppendBase64Group(out, p + i, std::min<std::size_t>(3, text.size() - i));
        count += 4;
        wordHasData = true;
    }
    out += "?=";
    return out;
}

std::unique_ptr<std::istream> OpenFileStream(const std::string& path) {
    auto file = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
    if (!file->is_open())
        return nullptr;
    return file;
}

void CloseFileStream(std::unique_ptr<std::istream>& stream) {
    stream.reset();
}

} // namespace qordex::mail
