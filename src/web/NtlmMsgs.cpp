#include "web/NtlmMsgs.h"

#include "crypto/Des.h"
#include "crypto/Digest.h"
#include "mail/MimeUtil.h"

#include <QString>
#include <algorithm>
#include <cstdint>

namespace qordex::web {
namespace {

const std::string_view kSignature("NTLMSSP\0", 8);

void PutU16(std::string& m, std::size_t at, unsigned v) {
    m[at] = char(v & 0xFF);
    m[at + 1] = char((v >> 8) & 0xFF);
}

void PutU32(std::string& m, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        m[at + std::size_t(i)] = char((v >> (8 * i)) & 0xFF);
}

unsigned GetU16(std::string_view m, std::size_t at) {
    return unsigned(static_cast<unsigned char>(m[at])) |
           (unsigned(static_cast<unsigned char>(m[at + 1])) << 8);
}

std::uint32_t GetU32(std::string_view m, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(m[at + std::size_t(i)]);
    return v;
}

// A security buffer: length, maximum length, offset.
void PutBuffer(std::string& m, std::size_t at, std::size_t len, std::size_t offset) {
    PutU16(m, at, unsigned(len));
    PutU16(m, at + 2, unsigned(len));
    PutU32(m, at + 4, std::uint32_t(offset));
}

bool IsUtf8(std::string_view s) {
    const QString q = QString::fromUtf8(s.data(), qsizetype(s.size()));
    return q.toUtf8() == QByteArray(s.data(), qsizetype(s.size()));
}

QString FromText(std::string_view s) {
    if (IsUtf8(s))
        return QString::fromUtf8(s.data(), qsizetype(s.size()));
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

std::string FromUtf16Le(std::string_view bytes) {
    QString q;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        q += QChar(char16_t(GetU16(bytes, i)));
    return q.toUtf8().toStdString();
}

// A name from a type-2 message: UTF-16LE when the Unicode flag is set.
std::string DecodeName(std::string_view bytes, bool unicode) {
    if (unicode)
        return FromUtf16Le(bytes);
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())).toUtf8().toStdString();
}

// Three DES keys from a 16-byte hash padded to 21 bytes, each encrypting the challenge.
std::string Respond(std::string hash, std::string_view challenge) {
    hash.resize(21, '\0');
    std::string out;
    for (int i = 0; i < 3; ++i)
        out += crypto::DesEncryptBlock(
            crypto::DesKeyFrom56(std::string_view(hash).substr(7 * i, 7)), challenge);
    return out;
}

std::string Challenge8(std::string_view challenge) {
    std::string c(challenge.substr(0, 8));
    c.resize(8, '\0');
    return c;
}

// A security-buffer payload field is at most 65535 bytes long.
std::string Field(std::string bytes) {
    if (bytes.size() > 0xFFFF)
        bytes.resize(0xFFFE);
    return bytes;
}

} // namespace

std::string ToUtf16Le(std::string_view utf8) {
    const QString q = FromText(utf8);
    std::string out;
    out.reserve(std::size_t(q.size()) * 2);
    for (QChar c : q) {
        out += char(c.unicode() & 0xFF);
        out += char(c.unicode() >> 8);
    }
    return out;
}

std::string NtlmGetMessage1() {
    std::string m(kNtlmType1Size, '\0');
    m.replace(0, kSignature.size(), kSignature);
    PutU32(m, 8, 1);
    PutU32(m, 12, kNtlmType1Flags);
    return mail::EncodeBase64(m);
}

TNTLM_Msg2_Info NtlmGetMessage2(std::string_view base64) {
    TNTLM_Msg2_Info info;
    info.Challenge.assign(8, '\0');
    const std::string m = mail::DecodeBase64(base64.substr(0, kNtlmMaxChallengeText));
    if (m.size() < kNtlmType2MinSize)
        return info;
    const std::string_view v(m);
    const bool unicode = (GetU32(v, 20) & 1) != 0;
    info.Challenge = std::string(v.substr(24, 8));
    const std::size_t nameLen = GetU16(v, 12);
    const std::size_t nameOff = GetU32(v, 16);
    if (nameOff <= m.size() && nameLen <= m.size() - nameOff)
        info.TargetName = DecodeName(v.substr(nameOff, nameLen), unicode);
    if (m.size() >= 48) {
        std::size_t pos = GetU32(v, 44);
        while (pos <= m.size() && m.size() - pos >= 4) {
            const unsigned type = GetU16(v, pos);
            const std::size_t len = GetU16(v, pos + 2);
            if (type == 0 && len == 0)
                break;
            pos += 4;
            if (len > m.size() - pos)
                break;
            if (type == 1)
                info.ServerName = DecodeName(v.substr(pos, len), unicode);
            else if (type == 2)
                info.DomainName = DecodeName(v.substr(pos, len), unicode);
            pos += len;
        }
    }
    info.Success = true;
    return info;
}

std::string NtlmLmResponse(std::string_view password, std::string_view challenge) {
    std::string pw = FromText(password).toUpper().toLatin1().toStdString();
    pw.resize(14, '\0');
    static const std::string_view magic = "KGS!@#$%";
    const std::string hash =
        crypto::DesEncryptBlock(crypto::DesKeyFrom56(std::string_view(pw).substr(0, 7)), magic) +
        crypto::DesEncryptBlock(crypto::DesKeyFrom56(std::string_view(pw).substr(7, 7)), magic);
    return Respond(hash, Challenge8(challenge));
}

std::string NtlmNtResponse(std::string_view password, std::string_view challenge) {
    return Respond(crypto::Md4(ToUtf16Le(password)), Challenge8(challenge));
}

std::string NtlmGetMessage3(std::string_view user, std::string_view password,
                            std::string_view workstation, std::string_view challenge) {
    const std::string domain;
    const std::string userW = Field(ToUtf16Le(user));
    const std::string hostW = Field(ToUtf16Le(workstation));
    const std::string lm = NtlmLmResponse(password, challenge);
    const std::string nt = NtlmNtResponse(password, challenge);

    std::string m(kNtlmType3HeaderSize, '\0');
    m.replace(0, kSignature.size(), kSignature);
    PutU32(m, 8, 3);
    const std::size_t userOff = kNtlmType3HeaderSize + domain.size();
    const std::size_t hostOff = userOff + userW.size();
    const std::size_t lmOff = hostOff + hostW.size();
    PutBuffer(m, 12, lm.size(), lmOff);
    PutBuffer(m, 20, nt.size(), lmOff + lm.size());
    PutBuffer(m, 28, domain.size(), kNtlmType3HeaderSize);
    PutBuffer(m, 36, userW.size(), userOff);
    PutBuffer(m, 44, hostW.size(), hostOff);
    PutBuffer(m, 52, 0, 0);
    PutU32(m, 60, kNtlmType3Flags);
    m += domain + userW + hostW + lm + nt;
    return mail::EncodeBase64(m);
}

} // namespace qordex::web
