#include "mail/SmtpServerText.h"

#include "base/Text.h"

namespace qordex::mail {

std::string SmtpCommandWord(std::string_view line) {
    const std::size_t end = line.find(' ');
    std::string word(line.substr(0, end));
    for (char& c : word)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return word;
}

std::string SmtpHelloName(std::string_view line) {
    std::size_t i = line.find(' ');
    if (i == std::string_view::npos)
        return {};
    while (i < line.size() && line[i] == ' ')
        ++i;
    const std::size_t end = line.find(' ', i);
    return std::string(line.substr(i, end == std::string_view::npos ? end : end - i));
}

std::string SmtpArgument(std::string_view line, std::size_t from) {
    if (line.size() <= from)
        return {};
    return Trim(line.substr(from));
}

std::string SmtpPathArgument(std::string_view line, bool rcpt) {
    // "MAIL FROM:" and "RCPT TO:" are 10 and 8 characters long.
    const std::string arg = SmtpArgument(line, rcpt ? 8 : 10);
    std::string_view path = arg;
    if (const std::size_t open = path.find('<'); open != std::string_view::npos) {
        path.remove_prefix(open + 1);
        path = path.substr(0, path.find('>'));
    }
    std::string out;
    for (char c : path) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '@' ||
                          c == '_' || (rcpt && c == '+');
        if (keep)
            out += c;
    }
    return out;
}

std::string_view SmtpUnstuff(std::string_view line) {
    if (!line.empty() && line.front() == '.')
        line.remove_prefix(1);
    return line;
}

} // namespace qordex::mail
