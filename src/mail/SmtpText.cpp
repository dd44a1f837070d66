#include "mail/SmtpText.h"

#include "base/Text.h"
#include "crypto/Digest.h"
#include "mail/MimeUtil.h"

#include <algorithm>
#include <climits>

namespace qordex::mail {

int SmtpReplyStatus(std::string_view line, bool& continuation) {
    continuation = false;
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ')
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '-' || line[i] == '+'))
        negative = line[i++] == '-';
    const std::size_t digits = i;
    long long value = 0;
    bool overflow = false;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + (line[i] - '0');
        if (value > INT_MAX)
            overflow = true, value = INT_MAX;
    }
    if (i == digits || overflow)
        return kSmtpNoStatus;
    continuation = i < line.size() && line[i] == '-';
    return int(negative ? -value : value);
}

void AddAuthMechanisms(std::string_view line, std::vector<std::string>& list) {
    const std::string text = AsciiLower(Trim(line));
    if (text.size() <= 9)
        return;
    const std::string_view rest = std::string_view(text).substr(4);
    if (rest.substr(0, 5) != "auth " && rest.substr(0, 5) != "auth=")
        return;
    std::string words(rest.substr(5));
    std::replace(words.begin(), words.end(), '=', ' ');
    std::size_t at = 0;
    while (at < words.size()) {
        std::size_t end = words.find(' ', at);
        if (end == std::string::npos)
            end = words.size();
        std::string word = Trim(std::string_view(words).substr(at, end - at));
        for (char& c : word)
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
        if (!word.empty() && std::find(list.begin(), list.end(), word) == list.end())
            list.push_back(std::move(word));
        at = end + 1;
    }
}

void SplitAddress(std::string_view text, std::string& displayName, std::string& address) {
    displayName.clear();
    address.clear();
    const bool hasAngle = text.find('<') != std::string_view::npos;
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    const std::string_view rest = text.substr(i);
    if (rest.empty())
        return;
    // The text between the first "<" at or after `from` and the next ">".
    auto angled = [&](std::size_t from) {
        const std::size_t open = rest.find('<', from);
        if (open == std::string_view::npos)
            return std::string();
        const std::size_t close = rest.find('>', open + 1);
        return std::string(rest.substr(
            open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
    };
    if (rest[0] == '"' || rest[0] == '\'') {
        const std::size_t close = rest.find(rest[0], 1);
        const std::size_t after = close == std::string_view::npos ? rest.size() : close + 1;
        displayName = std::string(rest.substr(1, after - 1 - (close != std::string_view::npos)));
        address = hasAngle ? angled(after) : Trim(rest.substr(after));
    } else if (hasAngle) {
        const std::size_t open = rest.find('<');
        displayName = Trim(rest.substr(0, open));
        address = angled(open);
    } else {
        const std::size_t space = rest.find(' ');
        displayName = Trim(rest.substr(0, space));
        if (space != std::string_view::npos)
            address = Trim(rest.substr(space + 1));
    }
    if (address.empty() && displayName.find('@') != std::string::npos)
        std::swap(address, displayName);
}

std::string AddressPart(std::string_view text) {
    std::string name, address;
    SplitAddress(text, name, address);
    return address;
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string AuthPlainToken(std::string_view username, std::string_view password) {
    std::string token;
    token += '\0';
    token += username;
    token += '\0';
    token += password;
    return EncodeBase64(token);
}

std::string CramResponse(std::string_view username, std::string_view password,
                         std::string_view replyLine, bool sha1) {
    const std::string challenge =
        DecodeBase64(replyLine.substr(std::min<std::size_t>(4, replyLine.size())));
    // The keyed hash follows RFC 2104 whatever the key's length: a key longer
    // than the block is hashed first, never cut.
    const std::string digest =
        sha1 ? crypto::HmacSha1(password, challenge) : crypto::HmacMd5(password, challenge);
    return EncodeBase64(std::string(username) + " " + crypto::ToHex(digest));
}

std::string StuffDot(std::string_view line) {
    if (!line.empty() && line[0] == '.')
        return "." + std::string(line);
    return std::string(line);
}

TSmtpLineFault CheckMessageLine(std::string_view stuffedLine) {
    if (HasLineBreakOrNul(stuffedLine))
        return TSmtpLineFault::LineBreak;
    if (stuffedLine.size() > kMaxSmtpTextLine)
        return TSmtpLineFault::TooLong;
    return TSmtpLineFault::None;
}

std::string MessageLineFaultText(TSmtpLineFault fault) {
    switch (fault) {
    case TSmtpLineFault::LineBreak:
        return "Message line holds a lone CR, LF or a NUL byte";
    case TSmtpLineFault::TooLong:
        return "Message line longer than " + std::to_string(kMaxSmtpTextLine) + " bytes";
    case TSmtpLineFault::None:
        break;
    }
    return {};
}

std::vector<std::string> SplitAtCrLf(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t p; (p = text.find("\r\n", at)) != std::string_view::npos; at = p + 2)
        lines.emplace_back(text.substr(at, p - at));
    lines.emplace_back(text.substr(at));
    return lines;
}

} // namespace qordex::mail
