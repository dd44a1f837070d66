#include "diag/DnsQuery.h"

#include "base/Text.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"

#include <algorithm>

namespace qordex::diag {
namespace {

bool InRange(int i, std::size_t n) {
    return i >= 0 && std::size_t(i) < n;
}

} // namespace

TDnsQuery::TDnsQuery() : socket_(std::make_unique<TWSocket>()) {}

TDnsQuery::~TDnsQuery() {
    alive_.reset();
    socket_->OnDataAvailable = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnSessionClosed = nullptr;
}

void TDnsQuery::SetProto(const std::string& v) {
    const std::string lower = AsciiLower(v);
    if (lower != "tcp" && lower != "udp")
        throw EDnsQueryException("TDnsQuery accept only TCP or UDP protocol");
    proto_ = v;
}

bool TDnsQuery::MultiThreaded() const {
    return socket_->MultiThreaded();
}

void TDnsQuery::SetMultiThreaded(bool v) {
    socket_->SetMultiThreaded(v);
}

int TDnsQuery::MXLookup(const std::string& Domain) {
    return Lookup(Domain, kDnsTypeMx);
}

int TDnsQuery::ALookup(const std::string& Host) {
    return Lookup(Host, kDnsTypeA);
}

int TDnsQuery::PTRLookup(const std::string& DottedAddress) {
    return Lookup(ReverseDnsName(DottedAddress), kDnsTypePtr);
}

std::string TDnsQuery::BuildRequestHeader(std::uint16_t id) {
    return BuildDnsRequestHeader(id);
}

std::string TDnsQuery::BuildQuestionSection(const std::string& name, std::uint16_t qtype) {
    return BuildDnsQuestionSection(name, qtype);
}

int TDnsQuery::Lookup(const std::string& name, std::uint16_t qtype) {
    // A name that cannot be encoded is refused before anything changes.
    std::string question = BuildQuestionSection(name, qtype);
    ++requestId_;
    request_ = BuildRequestHeader(requestId_) + question;
    if (request_.size() > kMaxDnsQuery)
        throw EDnsQueryException("DNS request longer than 512 bytes");
    SendRequest();
    return requestId_;
}

void TDnsQuery::SendRequest() {
    responseLen_ = -1;
    framer_.Reset();
    readError_ = 0;
    pending_ = false;
    // Whatever the previous request left is discarded, unseen.
    socket_->OnDataAvailable = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnSessionClosed = nullptr;
    socket_->Abort();

    socket_->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t e) {
        WSocketDataAvailable(s, e);
    };
    socket_->OnSessionConnected = [this](TCustomWSocket* s, std::uint16_t e) {
        WSocketSessionConnected(s, e);
    };
    socket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
        WSocketSessionClosed(e);
    };
    udp_ = AsciiLower(proto_) == "udp";
    pending_ = true;
    starting_ = true;
    std::weak_ptr<char> alive = alive_;
    try {
        socket_->SetProto(AsciiLower(proto_));
        socket_->SetPort(port_);
        socket_->SetAddr(addr_);
        socket_->Connect();
    } catch (...) {
        if (!alive.expired()) {
            starting_ = false;
            pending_ = false;
        }
        throw;
    }
    if (!alive.expired())
        starting_ = false;
}

void TDnsQuery::WSocketSessionConnected(TCustomWSocket*, std::uint16_t Error) {
    if (!pending_)
        return;
    if (Error != 0) {
        Finish(Error);
        return;
    }
    std::string out;
    if (!udp_) {
        out += char(request_.size() >> 8);
        out += char(request_.size() & 0xFF);
    }
    out += request_;
    try {
        socket_->Send(out.data(), int(out.size()));
    } catch (const ESocketException& e) {
        // Started by the caller: it hears of the failure itself.  From the
        // loop the request ends with the error instead.
        if (starting_)
            throw;
        Finish(std::uint16_t(e.ErrorCode() ? e.ErrorCode() : WSAECONNABORTED));
    }
}

void TDnsQuery::WSocketDataAvailable(TCustomWSocket*, std::uint16_t Error) {
    if (!pending_)
        return;
    if (Error != 0) {
        Finish(Error);
        return;
    }
    if (udp_)
        ReceiveDatagram();
    else
        ReceiveStream();
}

void TDnsQuery::ReceiveDatagram() {
    datagram_.resize(kMaxDnsMessage);
    TSockAddrIn from{};
    int fromLen = sizeof from;
    const int n = socket_->ReceiveFrom(datagram_.data(), int(datagram_.size()), from, fromLen);
    if (n < 0)
        return; // nothing waits after all; an error here leaves the request out
    // The socket is not connected: anyone may write to its port.  Only the
    // server's own datagrams are answers.
    const bool fromServer = WSocket_inet_ntoa(from.sin_addr.s_addr) == socket_->PeerAddr() &&
                            std::to_string(WSocket_ntohs(from.sin_port)) == socket_->PeerPort();
    if (!fromServer)
        return;
    TakeResponse(std::string_view(datagram_.data(), std::size_t(n)));
}

void TDnsQuery::ReceiveStream() {
    char buf[4096];
    const int want = int(std::min<std::size_t>(sizeof buf, framer_.Missing()));
    const int n = socket_->Receive(buf, want);
    if (n <= 0) {
        if (n < 0 && socket_->LastError() != WSAEWOULDBLOCK)
            readError_ = socket_->LastError();
        return; // the end of the stream arrives as the close
    }
    framer_.Feed(std::string_view(buf, std::size_t(n)));
    if (!framer_.Complete())
        return;
    const std::string message = framer_.Message();
    framer_.Reset(); // a message that is no response is skipped; the next may be
    TakeResponse(message);
}

bool TDnsQuery::TakeResponse(std::string_view msg) {
    DnsResponse decoded;
    if (!DecodeDnsResponse(msg, decoded))
        return false;
    r_ = std::move(decoded);
    responseLen_ = int(msg.size());
    // One answer per request: later datagrams or a close are not ours.
    pending_ = false;
    std::weak_ptr<char> alive = alive_;
    socket_->Close();
    if (alive.expired())
        return true;
    TriggerRequestDone(0);
    return true;
}

void TDnsQuery::WSocketSessionClosed(std::uint16_t Error) {
    if (!pending_)
        return;
    // The server went away before the whole answer came.
    int error = Error ? Error : readError_ ? readError_ : WSAECONNABORTED;
    Finish(std::uint16_t(error));
}

void TDnsQuery::Finish(std::uint16_t Error) {
    pending_ = false;
    TriggerRequestDone(Error);
}

void TDnsQuery::TriggerRequestDone(std::uint16_t Error) {
    if (auto handler = OnRequestDone)
        handler(this, Error);
}

std::string TDnsQuery::AnswerName(int i) const {
    return InRange(i, r_.answers.size()) ? r_.answers[std::size_t(i)].name : std::string();
}

int TDnsQuery::AnswerType(int i) const {
    return InRange(i, r_.answers.size()) ? r_.answers[std::size_t(i)].type : 0;
}

int TDnsQuery::AnswerClass(int i) const {
    return InRange(i, r_.answers.size()) ? r_.answers[std::size_t(i)].cls : 0;
}

std::uint32_t TDnsQuery::AnswerTTL(int i) const {
    return InRange(i, r_.answers.size()) ? r_.answers[std::size_t(i)].ttl : 0;
}

int TDnsQuery::AnswerTag(int i) const {
    return InRange(i, r_.answers.size()) ? r_.answers[std::size_t(i)].tag : -1;
}

int TDnsQuery::MXPreference(int i) const {
    return InRange(i, r_.mxPreference.size()) ? r_.mxPreference[std::size_t(i)] : 0;
}

std::string TDnsQuery::MXExchange(int i) const {
    return InRange(i, r_.mxExchange.size()) ? r_.mxExchange[std::size_t(i)] : std::string();
}

std::uint32_t TDnsQuery::Address(int i) const {
    return InRange(i, r_.addresses.size()) ? r_.addresses[std::size_t(i)] : 0;
}

std::string TDnsQuery::Hostname(int i) const {
    return InRange(i, r_.hostnames.size()) ? r_.hostnames[std::size_t(i)] : std::string();
}

} // namespace qordex::diag
