#include "net/SocksCodec.h"

namespace qordex::socks {

namespace {

Reply Fail(int code, std::string message) {
    Reply r;
    r.status = Reply::Failed;
    r.code = code;
    r.message = std::move(message);
    return r;
}

Reply Complete(std::size_t length) {
    Reply r;
    r.status = Reply::Done;
    r.length = length;
    return r;
}

std::uint8_t At(std::string_view r, std::size_t i) {
    return static_cast<std::uint8_t>(r[i]);
}

void PutPort(std::string& out, std::uint16_t port) {
    out.push_back(char(port >> 8));
    out.push_back(char(port & 0xFF));
}

} // namespace

std::string Greeting(std::uint8_t method) {
    return std::string{char(5), char(1), char(method)};
}

std::optional<std::string> Credentials(std::string_view user, std::string_view password) {
    if (user.size() > kMaxFieldLength || password.size() > kMaxFieldLength)
        return std::nullopt;
    std::string out;
    out.push_back(char(1));
    out.push_back(char(user.size()));
    out.append(user);
    out.push_back(char(password.size()));
    out.append(password);
    return out;
}

std::optional<std::string> V4Request(std::uint16_t port, std::uint32_t addr,
                                     std::string_view userId, std::string_view host4A) {
    if (userId.size() > kMaxFieldLength || host4A.size() > kMaxFieldLength)
        return std::nullopt;
    // A NUL inside would end the field early at the proxy.
    if (userId.find('\0') != std::string_view::npos || host4A.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string out{char(4), char(1)};
    PutPort(out, port);
    if (!host4A.empty()) {
        out.append({char(0), char(0), char(0), char(1)});
    } else {
        const auto* a = reinterpret_cast<const unsigned char*>(&addr); // network order
        out.append(reinterpret_cast<const char*>(a), 4);
    }
    out.append(userId);
    out.push_back('\0');
    if (!host4A.empty()) {
        out.append(host4A);
        out.push_back('\0');
    }
    return out;
}

std::optional<std::string> V5Request(std::string_view host, std::uint16_t port) {
    if (host.empty() || host.size() > kMaxFieldLength)
        return std::nullopt;
    std::string out{char(5), char(1), char(0), char(3), char(host.size())};
    out.append(host);
    PutPort(out, port);
    return out;
}

Reply ReadMethodReply(std::string_view r) {
    if (r.size() < 2)
        return {};
    if (At(r, 0) != 5)
        return Fail(socksErrVersion, "socks version error");
    Reply done = Complete(2);
    done.method = At(r, 1);
    return done;
}

Reply ReadAuthReply(std::string_view r) {
    if (r.empty())
        return {};
    if (At(r, 0) != 1)
        return Fail(socksErrVersion, "socks version error");
    if (r.size() > 2)
        return Fail(socksErrLogic, "too much data availaible");
    if (r.size() < 2)
        return {}; // the status byte is still to come
    if (At(r, 1) != 0)
        return Fail(socksErrAuthentication, "socks authentication failed");
    return Complete(2);
}

Reply ReadV4Reply(std::string_view r) {
    if (r.size() < 8)
        return {};
    if (At(r, 0) != 0)
        return Fail(socksErrVersion, "socks version error");
    switch (At(r, 1)) {
    case 90:
        return Complete(8);
    case 91:
        return Fail(socksErrRejected, "request rejected or failed");
    case 92:
        return Fail(socksErrConnectionRefused, "connection refused");
    case 93:
        return Fail(socksErrAuthentication, "authentification failed");
    default:
        return Fail(socksErrUnassigned, "unassigned error #" + std::to_string(At(r, 1)));
    }
}

Reply ReadV5Reply(std::string_view r) {
    if (r.empty())
        return {};
    if (At(r, 0) != 5)
        return Fail(socksErrVersion, "socks version error");
    if (r.size() < 2)
        return {};
    static const char* const kReplyTexts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported",
    };
    const std::uint8_t code = At(r, 1);
    if (code >= 1 && code <= 8)
        return Fail(socksErrGeneralFailure + code - 1, kReplyTexts[code - 1]);
    if (code != 0)
        return Fail(socksErrUnassigned, "unassigned error #" + std::to_string(code));
    if (r.size() < 5)
        return {};
    std::size_t length;
    switch (At(r, 3)) {
    case 1: // IPv4 address and port
        length = 4 + 4 + 2;
        break;
    case 3: // length byte, name, port
        length = 4 + 1 + At(r, 4) + 2;
        break;
    case 4: // IPv6 address and port (RFC 1928, section 6)
        length = 4 + 16 + 2;
        break;
    default:
        return Fail(socksErrAddressType, "address type not supported");
    }
    if (r.size() < length)
        return {};
    return Complete(length); // the bound address and port are not used
}

} // namespace qordex::socks
