#include "diag/DnsReport.h"

#include "diag/DnsQuery.h"
#include "diag/IpHlpApi.h"
#include "net/WSocket.h"
#include "platform/IpHelper.h"
#include "platform/SocketErrors.h"

namespace qordex::diag {
namespace {

constexpr int kDumpRow = 16;

// Every label is 19 characters wide, then ": ".
std::string Field(const char* label, const std::string& value) {
    std::string line = label;
    line.resize(19, ' ');
    return line + ": " + value;
}

std::string Field(const char* label, long long value) {
    return Field(label, std::to_string(value));
}

} // namespace

std::string DnsRequestIdLine(int id) {
    return Field("Request ID", id);
}

std::vector<std::string> DnsDumpLines(std::string_view bytes) {
    std::vector<std::string> out;
    out.push_back("Response dump (" + std::to_string(bytes.size()) + " bytes):");
    std::string row;
    int inRow = 0;
    for (unsigned char c : bytes) {
        if (inRow == 0)
            row = "  ";
        if (c >= 32 && c <= 126)
            row += char(c);
        else
            row += "<" + std::to_string(c) + ">";
        if (++inRow == kDumpRow) {
            out.push_back(row);
            inRow = 0;
        }
    }
    if (inRow > 0)
        out.push_back(row);
    return out;
}

std::vector<std::string> DnsResponseLines(const TDnsQuery& q, int error) {
    if (error != 0)
        return {"Error #" + std::to_string(error)};
    std::vector<std::string> out = {
        Field("ID", q.ResponseID()),
        Field("ResponseCode", q.ResponseCode()),
        Field("OpCode", q.OpCode()),
        Field("Authoritative", q.Authoritative()),
        Field("Truncation", q.Truncation()),
        Field("RecursionAvailable", q.RecursionAvailable()),
        Field("QDCount", q.QDCount()),
        Field("ANCount", q.ANCount()),
        Field("NSCount", q.NSCount()),
        Field("ARCount", q.ARCount()),
        Field("ResponseLen", q.ResponseLen()),
        Field("QuestionName", q.QuestionName()),
        Field("QuestionType", q.QuestionType()),
        Field("QuestionClass", q.QuestionClass()),
    };
    // Only the records decoded: a header may claim thousands the message lacks.
    for (int i = 0; i < q.AnswerRecordCount(); ++i) {
        out.push_back("Answer #" + std::to_string(i + 1));
        out.push_back(Field("  AnswerName", q.AnswerName(i)));
        out.push_back(Field("  AnswerType", q.AnswerType(i)));
        out.push_back(Field("  AnswerClass", q.AnswerClass(i)));
        out.push_back(Field("  AnswerTTL", q.AnswerTTL(i)));
        const int tag = q.AnswerTag(i);
        if (tag < 0)
            continue;
        switch (q.AnswerType(i)) {
        case kDnsTypeA:
            out.push_back(Field("  Address", WSocket_inet_ntoa(q.Address(tag))));
            break;
        case kDnsTypePtr:
            out.push_back(Field("  Hostname", q.Hostname(tag)));
            break;
        case kDnsTypeMx:
            out.push_back(Field("  MXPreference", q.MXPreference(tag)));
            out.push_back(Field("  MXExchange", q.MXExchange(tag)));
            break;
        default:
            break;
        }
    }
    for (std::string& line : DnsDumpLines(q.ResponseBuf()))
        out.push_back(std::move(line));
    return out;
}

std::vector<std::string> DnsLookupLines(const TWSocket& s, int error) {
    if (error != 0)
        return {"NOT FOUND, ERROR #" + std::to_string(error)};
    std::vector<std::string> out;
    out.push_back(s.DnsResult() + "  (" + std::to_string(s.DnsResultList().size()) + " addresses)");
    for (const std::string& entry : s.DnsResultList())
        out.push_back(entry);
    return out;
}

void StartResolverLookup(TWSocket& s, bool reverse, const std::string& host) {
    try {
        if (reverse)
            s.ReverseDnsLookup(host);
        else
            s.DnsLookup(host);
    } catch (const ESocketException& e) {
        if (auto done = s.OnDnsLookupDone)
            done(&s, std::uint16_t(e.ErrorCode() ? e.ErrorCode() : WSAEINVAL));
    }
}

std::string DefaultDnsServer() {
    auto info = GetNetworkParams();
    for (const IP_ADDR_STRING& server : info->DnsServerList) {
        std::uint32_t addr = 0;
        // Only an IPv4 server can be asked; IPv6 entries are passed over.
        if (server.IpAddress.size() <= 15 && ipsys::TextToIp4(server.IpAddress, addr))
            return server.IpAddress;
    }
    return kDefaultDnsServer;
}

} // namespace qordex::diag
