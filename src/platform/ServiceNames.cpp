#include "platform/ServiceNames.h"

#include "base/Text.h"

#include <arpa/inet.h>
#include <netdb.h>

namespace qordex {
namespace {

struct Known {
    const char* name;
    int number;
};

// The services that the tools name in their defaults and help texts.
constexpr Known kServices[] = {
    {"ftp-data", 20}, {"ftp", 21},   {"smtp", 25},  {"time", 37},    {"daytime", 13}, {"http", 80},
    {"www", 80},      {"pop3", 110}, {"whois", 43}, {"nicname", 43}, {"domain", 53},
};

constexpr Known kProtocols[] = {
    {"ip", 0}, {"icmp", 1}, {"igmp", 2}, {"tcp", 6}, {"udp", 17}, {"raw", 255},
};

} // namespace

std::optional<int> LookupServicePort(const std::string& name, const std::string& proto) {
    std::string n = AsciiLower(name);
    std::string p = AsciiLower(proto);
    if (n.empty())
        return std::nullopt;
    servent entry{};
    servent* result = nullptr;
    char buf[2048];
    if (::getservbyname_r(n.c_str(), p.empty() ? nullptr : p.c_str(), &entry, buf, sizeof buf,
                          &result) == 0 &&
        result)
        return int(ntohs(std::uint16_t(result->s_port)));
    return BuiltInServicePort(n);
}

std::optional<int> BuiltInServicePort(const std::string& name) {
    std::string n = AsciiLower(name);
    for (const Known& k : kServices)
        if (n == k.name)
            return k.number;
    return std::nullopt;
}

std::optional<int> LookupProtocolNumber(const std::string& name) {
    std::string n = AsciiLower(name);
    if (n.empty())
        return std::nullopt;
    protoent entry{};
    protoent* result = nullptr;
    char buf[2048];
    if (::getprotobyname_r(n.c_str(), &entry, buf, sizeof buf, &result) == 0 && result)
        return result->p_proto;
    for (const Known& k : kProtocols)
        if (n == k.name)
            return k.number;
    return std::nullopt;
}

} // namespace qordex
