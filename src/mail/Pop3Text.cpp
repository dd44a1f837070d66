#include "mail/Pop3Text.h"

#include "base/Text.h"
#include "crypto/Digest.h"
#include "mail/MimeUtil.h"

#include <climits>

namespace qordex::mail {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the digits at `at`, moving past them; saturates at INT_MAX.
int ReadDigits(std::string_view line, std::size_t& at) {
    long long value = 0;
    for (; at < line.size() && IsDigit(line[at]); ++at)
        value = std::min<long long>(value * 10 + (line[at] - '0'), INT_MAX);
    return int(value);
}

std::size_t FirstDigit(std::string_view line) {
    std::size_t at = 0;
    while (at < line.size() && !IsDigit(line[at]))
        ++at;
    return at;
}

} // namespace

void ReadTwoNumbers(std::string_view line, int& first, int& second) {
    std::size_t at = FirstDigit(line);
    first = ReadDigits(line, at);
    while (at < line.size() &&
           (line[at] == ' ' || line[at] == '\t' || line[at] == '\r' || line[at] == '\n'))
        ++at;
    if (at >= line.size() || !IsDigit(line[at])) {
        first = second = 0;
        return;
    }
    second = ReadDigits(line, at);
}

int ReadNumber(std::string_view line) {
    std::size_t at = FirstDigit(line);
    return ReadDigits(line, at);
}

void ReadNumberAndId(std::string_view line, int& number, std::string& id) {
    std::size_t at = FirstDigit(line);
    id.clear();
    if (at >= line.size()) {
        number = 0;
        return;
    }
    number = ReadDigits(line, at);
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    const std::size_t begin = at;
    while (at < line.size() && line[at] >= '!' && line[at] <= '~')
        ++at;
    id.assign(line.substr(begin, at - begin));
}

std::string ApopTimestamp(std::string_view greeting) {
    const std::size_t open = greeting.find('<');
    if (open == std::string_view::npos)
        return {};
    const std::size_t close = greeting.find('>', open + 1);
    if (close == std::string_view::npos)
        return {};
    return std::string(greeting.substr(open, close - open + 1));
}

std::string ApopDigest(std::string_view timestamp, std::string_view password) {
    return crypto::ToHex(crypto::Md5(std::string(timestamp) + std::string(password)));
}

std::string Pop3CramResponse(std::string_view username, std::string_view password,
                             std::string_view replyLine, bool sha1) {
    const std::string challenge =
        DecodeBase64(replyLine.substr(std::min<std::size_t>(2, replyLine.size())));
    const std::string digest =
        sha1 ? crypto::HmacSha1(password, challenge) : crypto::HmacMd5(password, challenge);
    return EncodeBase64(std::string(username) + " " + crypto::ToHex(digest));
}

std::string_view UnstuffDot(std::string_view line) {
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
        return line.substr(1);
    return line;
}

bool HasPop3LineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// ---- header capture ----------------------------------------------------------

void TPop3HeaderCapture::Reset() {
    for (std::string* f :
         {&from, &to, &cc, &subject, &date, &messageId, &replyTo, &inReplyTo, &returnPath})
        f->clear();
    keyword_.clear();
    inHeader_ = true;
}

std::string* TPop3HeaderCapture::FieldOf(const std::string& keyword) {
    struct Entry {
        const char* name;
        std::string TPop3HeaderCapture::*field;
    };
    static const Entry entries[] = {
        {"from", &TPop3HeaderCapture::from},
        {"to", &TPop3HeaderCapture::to},
        {"cc", &TPop3HeaderCapture::cc},
        {"subject", &TPop3HeaderCapture::subject},
        {"date", &TPop3HeaderCapture::date},
        {"message-id", &TPop3HeaderCapture::messageId},
        {"reply-to", &TPop3HeaderCapture::replyTo},
        {"in-reply-to", &TPop3HeaderCapture::inReplyTo},
        {"return-path", &TPop3HeaderCapture::returnPath},
    };
    for (const Entry& e : entries)
        if (keyword == e.name)
            return &(this->*e.field);
    return nullptr;
}

bool TPop3HeaderCapture::Feed(std::string_view line) {
    if (!inHeader_)
        return false;
    if (line.empty()) {
        inHeader_ = false;
        return true;
    }
    auto append = [](std::string& field, std::string_view text) {
        if (field.size() < kMaxPop3HeaderField)
            field.append(text.substr(0, kMaxPop3HeaderField - field.size()));
    };
    if (line[0] == ' ' || line[0] == '\t') {
        if (std::string* field = FieldOf(keyword_))
            append(*field, line.substr(1));
        return false;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    keyword_ = AsciiLower(Trim(line.substr(0, colon)));
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ')
        value.remove_prefix(1);
    value = value.substr(0, kMaxPop3HeaderField);
    std::string* field = FieldOf(keyword_);
    if (!field)
        return false;
    if (field == &cc) {
        // Several Cc headers add up; the separator keeps their addresses apart.
        if (!cc.empty() && !value.empty())
            append(cc, ", ");
        append(cc, value);
    } else {
        field->assign(value);
    }
    return false;
}

// ---- GetAll file names ------------------------------------------------------------

std::string Pop3MessageFileName(std::string_view uidl, std::string* why) {
    if (uidl.empty()) {
        if (why)
            *why = "empty unique id";
        return {};
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string name = "Msg ";
    for (const char ch : uidl) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(ch) || c == '.' ||
            c == '-' || c == '_') {
            name += ch;
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 0xF];
        }
        if (name.size() > kMaxPop3FileName)
            break;
    }
    name += ".txt";
    if (name.size() > kMaxPop3FileName) {
        if (why)
            *why = "unique id too long for a file name";
        return {};
    }
    return name;
}

} // namespace qordex::mail
