#pragma once
// The DNS query engine: one query at a time to a chosen server over UDP
// (default) or TCP, its response decoded into properties.  A new lookup
// abandons the one outstanding; there is no timeout, so a query that gets no
// answer stays outstanding until the next lookup (or until the caller stops
// waiting).

#include "diag/DnsCodec.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qordex {
class TWSocket;
class TCustomWSocket;
} // namespace qordex

namespace qordex::diag {

class TDnsQuery {
public:
    TDnsQuery();
    virtual ~TDnsQuery();
    TDnsQuery(const TDnsQuery&) = delete;
    TDnsQuery& operator=(const TDnsQuery&) = delete;

    // A response was decoded (Error 0), or the request failed with a socket
    // error: the connect failed, the TCP peer closed before the whole answer
    // (its error, or 10053 after a clean close), or a read or send failed.
    // Raised from the message loop; the handler may start another lookup or
    // destroy the engine.
    std::function<void(TDnsQuery* Sender, std::uint16_t Error)> OnRequestDone;

    // ---- settings ----
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v) { port_ = v; }
    const std::string& Addr() const { return addr_; }
    void SetAddr(const std::string& v) { addr_ = v; }
    const std::string& Proto() const { return proto_; }
    // "udp" or "tcp" in any case; anything else throws EDnsQueryException
    // "TDnsQuery accept only TCP or UDP protocol" and keeps the old value.
    void SetProto(const std::string& v);
    bool MultiThreaded() const;
    void SetMultiThreaded(bool v);

    // ---- lookups: each returns the request ID and answers later ----
    // They throw EDnsQueryException for a name that cannot be put into a
    // query, and ESocketException when the request cannot start (a server
    // name that does not resolve); nothing is sent then.
    int MXLookup(const std::string& Domain);
    int ALookup(const std::string& Host);
    int PTRLookup(const std::string& DottedAddress);

    // ---- the decoded response (valid after OnRequestDone with Error 0) ----
    // -1 from the start of a request until a response is decoded.
    int ResponseLen() const { return responseLen_; }
    const std::string& ResponseBuf() const { return r_.buf; }
    int ResponseID() const { return r_.id; }
    int ResponseCode() const { return r_.responseCode; }
    int OpCode() const { return r_.opCode; }
    int Authoritative() const { return r_.authoritative; }
    int Truncation() const { return r_.truncation; }
    int RecursionAvailable() const { return r_.recursionAvailable; }
    int QDCount() const { return r_.qdCount; }
    // The header's count; the records decoded are AnswerRecordCount.
    int ANCount() const { return r_.anCount; }
    int NSCount() const { return r_.nsCount; }
    int ARCount() const { return r_.arCount; }
    const std::string& QuestionName() const { return r_.questionName; }
    int QuestionType() const { return r_.questionType; }
    int QuestionClass() const { return r_.questionClass; }
    // Answer records decoded, in response order (at most 50; fewer than
    // ANCount when the header claims more than the message holds).
    int AnswerRecordCount() const { return int(r_.answers.size()); }
    // Indexed accessors: an index outside the records yields 0 or "" (-1 for
    // AnswerTag).
    std::string AnswerName(int i) const;
    int AnswerType(int i) const;
    int AnswerClass(int i) const;
    std::uint32_t AnswerTTL(int i) const;
    int AnswerTag(int i) const;
    int MXRecordCount() const { return int(r_.mxExchange.size()); }
    int MXPreference(int i) const;
    std::string MXExchange(int i) const;
    int ARecordCount() const { return int(r_.addresses.size()); }
    // An IPv4 address in network byte order.
    std::uint32_t Address(int i) const;
    int PTRRecordCount() const { return int(r_.hostnames.size()); }
    std::string Hostname(int i) const;
    const std::array<std::uint8_t, 16>& LocInfo() const { return r_.locInfo; }

    // The request counter: the ID of the last request (0 before the first).
    std::uint16_t RequestID() const { return requestId_; }
    // The socket, for tests that look at its state.
    TWSocket& Socket() { return *socket_; }

protected:
    virtual std::string BuildRequestHeader(std::uint16_t id);
    virtual std::string BuildQuestionSection(const std::string& name, std::uint16_t qtype);
    virtual void WSocketDataAvailable(TCustomWSocket* Sender, std::uint16_t Error);
    virtual void WSocketSessionConnected(TCustomWSocket* Sender, std::uint16_t Error);
    virtual void TriggerRequestDone(std::uint16_t Error);

private:
    int Lookup(const std::string& name, std::uint16_t qtype);
    void SendRequest();
    void WSocketSessionClosed(std::uint16_t Error);
    void ReceiveDatagram();
    void ReceiveStream();
    // Takes a received message; false when it is no response to keep.
    bool TakeResponse(std::string_view msg);
    // Ends the outstanding request once.
    void Finish(std::uint16_t Error);

    std::unique_ptr<TWSocket> socket_;
    std::shared_ptr<char> alive_ = std::make_shared<char>(); // for handlers that free us
    std::string port_ = "53";
    std::string addr_;
    std::string proto_ = "udp";
    std::uint16_t requestId_ = 0; // wraps to 0 after 65535
    std::string request_;         // the query being sent
    bool udp_ = true;             // the transport of the request out
    bool pending_ = false;        // a request is out and not ended
    bool starting_ = false;       // inside SendRequest: errors go to the caller
    int readError_ = 0;           // a read failure seen before the close
    int responseLen_ = -1;
    DnsResponse r_;
    DnsTcpFramer framer_;
    std::string datagram_; // receive buffer of kMaxDnsMessage bytes
};

} // namespace qordex::diag
