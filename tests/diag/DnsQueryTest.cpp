// The DNS query engine over loopback against the scripted responder: sound
// answers, hostile ones, TCP answers in pieces and cut short, and the ways
// a caller drives it (a new lookup over an old one, lookups from the done
// handler, freeing the engine there).

#include "diag/DnsQuery.h"
#include "diag/DnsReport.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include "diag/DnsPeers.h"
#include "diag/DnsTestMessages.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::diag;
using qordex::test::DnsMsg;
using qordex::test::DnsResponder;
using qordex::test::Hex;
using qordex::test::kQName;

namespace {

// A query engine aimed at a local port, recording its completions.
struct Query {
    std::unique_ptr<TDnsQuery> q = std::make_unique<TDnsQuery>();
    std::vector<int> done;

    Query(const std::string& proto, int port) {
        q->SetAddr("127.0.0.1");
        q->SetPort(std::to_string(port));
        q->SetProto(proto);
        q->OnRequestDone = [this](TDnsQuery*, std::uint16_t e) { done.push_back(e); };
    }
    bool Wait(std::size_t n = 1) {
        return PumpUntil([&] { return done.size() >= n; }, 20000);
    }
    std::vector<std::string> Lines() const { return DnsResponseLines(*q, done.back()); }
};

// A sound answer for h.test with the addresses given.
DnsMsg Answer(std::uint16_t id, const std::vector<std::string>& addrs) {
    DnsMsg m;
    m.Header(id, 0x8580, 1, std::uint16_t(addrs.size())).Question("h.test", 1);
    for (const std::string& a : addrs)
        m.A(kQName, 300, a);
    return m;
}

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

} // namespace

TEST(DnsQuery, UdpAnswerIsDecodedAndPrinted) {
    const DnsMsg reply = Answer(1, {"10.0.0.1", "10.0.0.2"});
    DnsResponder peer({"udp", Hex(reply)});
    ASSERT_GT(peer.Port(), 0);
    Query run("udp", peer.Port());
    EXPECT_EQ(run.q->ResponseLen(), -1);
    EXPECT_EQ(run.q->ALookup("h.test"), 1);
    EXPECT_EQ(run.q->ResponseLen(), -1);
    ASSERT_TRUE(run.Wait());
    EXPECT_EQ(run.done, std::vector<int>{0});
    ASSERT_TRUE(peer.WaitQueries(1));
    EXPECT_EQ(peer.Queries().at(0), Hex(BuildDnsRequest(1, "h.test", kDnsTypeA)));

    TDnsQuery& q = *run.q;
    EXPECT_EQ(q.ResponseLen(), int(reply.Size()));
    EXPECT_EQ(q.ResponseBuf(), reply.bytes);
    EXPECT_EQ(q.ANCount(), 2);
    EXPECT_EQ(q.ARecordCount(), 2);
    EXPECT_EQ(q.AnswerTag(0), 0);
    EXPECT_EQ(q.AnswerTag(1), 1);
    EXPECT_EQ(WSocket_inet_ntoa(q.Address(1)), "10.0.0.2");
    EXPECT_EQ(q.Address(50), 0u);
    EXPECT_EQ(q.AnswerName(-1), "");

    const auto lines = run.Lines();
    const std::vector<std::string> head = {
        "ID                 : 1",
        "ResponseCode       : 0",
        "OpCode             : 0",
        "Authoritative      : 1",
        "Truncation         : 0",
        "RecursionAvailable : 1",
        "QDCount            : 1",
        "ANCount            : 2",
        "NSCount            : 0",
        "ARCount            : 0",
        "ResponseLen        : " + std::to_string(reply.Size()),
        "QuestionName       : h.test",
        "QuestionType       : 1",
        "QuestionClass      : 1",
        "Answer #1",
        "  AnswerName       : h.test",
        "  AnswerType       : 1",
        "  AnswerClass      : 1",
        "  AnswerTTL        : 300",
        "  Address          : 10.0.0.1",
        "Answer #2",
    };
    ASSERT_GE(lines.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + long(head.size())), head);
    EXPECT_EQ(Count(lines, "  Address          : "), 2);
    EXPECT_EQ(Count(lines, "Response dump (" + std::to_string(reply.Size()) + " bytes):"), 1);
    EXPECT_EQ(lines.back(), DnsDumpLines(reply.bytes).back());
}

TEST(DnsQuery, CNameAndEmptyAnswers) {
    DnsMsg cname;
    cname.Header(5, 0x8180, 1, 2).Question("c.test", 1);
    cname.Pointer(kQName).Fields(5, 60, 4).Labels("h").Pointer(kQName + 2);
    cname.Pointer(std::uint16_t(cname.Size() - 4))
        .Fields(1, 60, 4)
        .Raw(std::string_view("\x0a\0\0\x09", 4));
    DnsResponder peer({"udp", Hex(cname)});
    Query run("udp", peer.Port());
    run.q->ALookup("c.test");
    ASSERT_TRUE(run.Wait());
    EXPECT_EQ(run.done.back(), 0);
    EXPECT_EQ(run.q->AnswerTag(0), -1);
    const auto lines = run.Lines();
    EXPECT_EQ(Count(lines, "Answer #"), 2);
    EXPECT_EQ(Count(lines, "  AnswerName       : "), 2);
    EXPECT_EQ(Count(lines, "  Address          : "), 1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  AnswerName       : h.test"), lines.end());

    // No answers: the counters stay at 0 and the request still ends well.
    DnsMsg nx;
    nx.Header(6, 0x8183, 1, 0).Question("none.test", 1);
    DnsResponder none({"udp", Hex(nx)});
    Query empty("udp", none.Port());
    empty.q->ALookup("none.test");
    ASSERT_TRUE(empty.Wait());
    EXPECT_EQ(empty.done.back(), 0);
    EXPECT_EQ(empty.q->ResponseCode(), 3);
    EXPECT_EQ(empty.q->ARecordCount(), 0);
    EXPECT_EQ(empty.q->AnswerRecordCount(), 0);
    EXPECT_EQ(Count(empty.Lines(), "Answer #"), 0);
}

// What no server sends: each decodes what comes before the fault and ends
// the request with 0; the window prints only the records decoded.
TEST(DnsQuery, HostileAnswersOverUdp) {
    auto base = [](std::uint16_t an) {
        DnsMsg m;
        m.Header(9, 0x8180, 1, an).Question("h.test", 1).A(kQName, 1, "10.0.0.1");
        return m;
    };
    const std::uint16_t next = std::uint16_t(base(1).Size());
    struct Case {
        const char* what;
        DnsMsg reply;
        int anCount, records, addresses;
    };
    std::vector<Case> cases;
    cases.push_back({"self pointer", DnsMsg(base(2)).Pointer(next), 2, 1, 1});
    cases.push_back(
        {"pointer pair", DnsMsg(base(2)).Pointer(std::uint16_t(next + 2)).Pointer(next), 2, 1, 1});
    cases.push_back({"pointer past the end", DnsMsg(base(2)).Pointer(0x3000), 2, 1, 1});
    cases.push_back(
        {"A of 5 bytes", DnsMsg(base(2)).Pointer(kQName).Fields(1, 1, 5).Raw("abcde"), 2, 2, 1});
    cases.push_back(
        {"MX of 2 bytes", DnsMsg(base(2)).Pointer(kQName).Fields(15, 1, 2).U16(1), 2, 2, 1});
    cases.push_back({"RDATA past the end",
                     DnsMsg(base(2)).Pointer(kQName).Fields(1, 1, 400).Raw("abcd"), 2, 1, 1});
    cases.push_back({"ANCount 65535", base(65535), 65535, 1, 1});
    DnsMsg sixty;
    sixty.Header(9, 0x8180, 1, 60).Question("h.test", 1);
    for (int i = 0; i < 60; ++i)
        sixty.A(kQName, 1, "10.0.2." + std::to_string(i));
    cases.push_back({"ANCount 60", sixty, 60, 50, 50});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DnsResponder peer({"udp", Hex(c.reply)});
        Query run("udp", peer.Port());
        run.q->ALookup("h.test");
        ASSERT_TRUE(run.Wait());
        EXPECT_EQ(run.done, std::vector<int>{0});
        EXPECT_EQ(run.q->ANCount(), c.anCount);
        EXPECT_EQ(run.q->AnswerRecordCount(), c.records);
        EXPECT_EQ(run.q->ARecordCount(), c.addresses);
        const auto lines = run.Lines();
        EXPECT_EQ(Count(lines, "ANCount            : " + std::to_string(c.anCount)), 1);
        EXPECT_EQ(Count(lines, "Answer #"), c.records);
        EXPECT_EQ(Count(lines, "  Address          : "), c.addresses);
    }
}

// Datagrams that are no answer are passed over; the answer after them counts.
TEST(DnsQuery, DatagramsThatAreNoAnswerAreSkipped) {
    const DnsMsg good = Answer(0x4242, {"192.0.2.7"});
    DnsMsg query;
    query.Header(0x1111, 0x0100, 1, 0).Question("h.test", 1);
    const std::string shortOne = good.bytes.substr(0, 11);
    struct Case {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {
        {"QR clear", {"udp", Hex(query), Hex(good)}},
        {"under 12 bytes", {"udp", Hex(shortOne), Hex(good)}},
        {"empty datagram", {"udp", "", Hex(good)}},
        {"from another port", {"udp", "--stray", Hex(Answer(0x1111, {"6.6.6.6"})), Hex(good)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DnsResponder peer(c.args);
        Query run("udp", peer.Port());
        run.q->ALookup("h.test");
        ASSERT_TRUE(run.Wait());
        EXPECT_EQ(run.done, std::vector<int>{0});
        EXPECT_EQ(run.q->ResponseID(), 0x4242);
        EXPECT_EQ(WSocket_inet_ntoa(run.q->Address(0)), "192.0.2.7");
    }
}

// TCP answers longer than 512 bytes (the reason to ask over TCP), written
// one byte per segment: the whole message is kept and decoded.
TEST(DnsQuery, LongTcpAnswersArriveInPieces) {
    DnsMsg mid = Answer(0x600, {});
    mid.bytes[7] = 36; // ANCount
    for (int i = 0; i < 36; ++i)
        mid.A(kQName, 1, "10.1.0." + std::to_string(i));
    ASSERT_GT(mid.Size(), 512u);

    DnsMsg full = Answer(0xFFFF, {});
    full.bytes[7] = 51;
    for (int i = 0; i < 50; ++i)
        full.A(kQName, 1, "10.2.0." + std::to_string(i));
    const std::size_t fill = 65535 - full.Size() - 12;
    full.Pointer(kQName).Fields(16, 1, std::uint16_t(fill)).Raw(std::string(fill, 'x'));
    ASSERT_EQ(full.Size(), 65535u);

    for (const DnsMsg* reply : {&mid, &full}) {
        SCOPED_TRACE(reply->Size());
        DnsResponder peer({"tcp", "--drip", Hex(*reply)});
        Query run("tcp", peer.Port());
        run.q->ALookup("h.test");
        ASSERT_TRUE(run.Wait());
        EXPECT_EQ(run.done, std::vector<int>{0});
        EXPECT_EQ(run.q->ResponseLen(), int(reply->Size()));
        EXPECT_EQ(run.q->ResponseBuf(), reply->bytes);
        EXPECT_EQ(run.q->ARecordCount(), reply == &mid ? 36 : 50);
        ASSERT_TRUE(peer.WaitQueries(1));
        EXPECT_EQ(peer.Queries().at(0), Hex(BuildDnsRequest(1, "h.test", kDnsTypeA)));
    }
}

// A TCP request never hangs: a refused connect, a close or a reset before
// the whole answer each end it with an error.
TEST(DnsQuery, TcpFailuresEndTheRequest) {
    const DnsMsg reply = Answer(3, {"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int error;
    } cases[] = {
        {"closed before the length", {"tcp", "--cut", "0", Hex(reply)}, 10053},
        {"closed inside the length", {"tcp", "--cut", "1", Hex(reply)}, 10053},
        {"closed mid-answer", {"tcp", "--cut", "40", Hex(reply)}, 10053},
        {"closed mid-answer, dripped", {"tcp", "--drip", "--cut", "40", Hex(reply)}, 10053},
        {"reset mid-answer", {"tcp", "--cut", "40", "--reset", Hex(reply)}, 10054},
        {"length longer than the answer",
         {"tcp", "--prefix", "900", "--cut", "1000", Hex(reply)},
         10053},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DnsResponder peer(c.args);
        Query run("tcp", peer.Port());
        run.q->ALookup("h.test");
        ASSERT_TRUE(run.Wait());
        EXPECT_EQ(run.done, std::vector<int>{c.error});
        EXPECT_EQ(run.q->ResponseLen(), -1);
        EXPECT_EQ(run.Lines(), std::vector<std::string>{"Error #" + std::to_string(c.error)});
    }
    Query refused("tcp", test::FreeTcpPort());
    refused.q->ALookup("h.test");
    ASSERT_TRUE(refused.Wait());
    EXPECT_EQ(refused.done, std::vector<int>{10061});
}

TEST(DnsQuery, ProtoTextInAnyCase) {
    const DnsMsg reply = Answer(1, {"10.0.0.1"});
    DnsResponder peer({"tcp", Hex(reply)});
    Query run("TCP", peer.Port());
    EXPECT_EQ(run.q->Proto(), "TCP");
    run.q->ALookup("h.test");
    ASSERT_TRUE(run.Wait());
    EXPECT_EQ(run.done, std::vector<int>{0});
    try {
        run.q->SetProto("icmp");
        FAIL() << "icmp accepted";
    } catch (const EDnsQueryException& e) {
        EXPECT_STREQ(e.what(), "TDnsQuery accept only TCP or UDP protocol");
    }
    EXPECT_EQ(run.q->Proto(), "TCP");
    run.q->SetProto("Udp");
    EXPECT_EQ(run.q->Proto(), "Udp");
}

// A refused name sends nothing and uses no request ID; the next sound name
// goes out as ID 1.
TEST(DnsQuery, RefusedNamesSendNothing) {
    DnsResponder peer({"udp", Hex(Answer(1, {"10.0.0.1"}))});
    Query run("udp", peer.Port());
    const std::string longLabel(64, 'x');
    for (const std::string& bad :
         {std::string("a..b"), std::string(".a"), std::string(""), longLabel, longLabel + ".test"})
        EXPECT_THROW(run.q->ALookup(bad), EDnsQueryException) << bad;
    EXPECT_THROW(run.q->MXLookup("a..b"), EDnsQueryException);
    EXPECT_THROW(run.q->PTRLookup("1.2.3.4."), EDnsQueryException);
    EXPECT_EQ(run.q->RequestID(), 0);
    EXPECT_EQ(run.q->PTRLookup("192.0.2.1"), 1);
    ASSERT_TRUE(run.Wait());
    ASSERT_TRUE(peer.WaitQueries(1));
    EXPECT_EQ(peer.Queries(),
              std::vector<std::string>{Hex(BuildDnsRequest(1, "1.2.0.192.in-addr.arpa", 12))});
    EXPECT_TRUE(run.done == std::vector<int>{0});
}

TEST(DnsQuery, AServerThatDoesNotResolveFailsAtTheStart) {
    Query run("udp", 53);
    run.q->SetAddr("no-such-host.invalid");
    EXPECT_THROW(run.q->ALookup("h.test"), ESocketException);
    run.q->SetAddr("Default");
    EXPECT_THROW(run.q->MXLookup("h.test"), ESocketException);
    PumpMessages();
    EXPECT_TRUE(run.done.empty());
}

TEST(DnsQuery, RequestIdsStartAtOneAndWrap) {
    // A port where nothing answers.
    Query run("udp", test::FreeUdpPort());
    EXPECT_EQ(run.q->ALookup("a.test"), 1);
    EXPECT_EQ(run.q->MXLookup("a.test"), 2);
    for (int i = 3; i <= 65535; ++i)
        ASSERT_EQ(run.q->PTRLookup("10.0.0.1"), i);
    EXPECT_EQ(run.q->ALookup("a.test"), 0) << "the 65536th request";
    EXPECT_EQ(run.q->ALookup("a.test"), 1);
}

// Only one request is outstanding: a lookup started before the answer to
// the previous one came abandons it, and only the new one completes.
TEST(DnsQuery, ANewLookupAbandonsTheOutstandingOne) {
    DnsResponder first({"udp", Hex(Answer(0x0A, {"10.0.0.10"}))});
    DnsResponder second({"udp", Hex(Answer(0x0B, {"10.0.0.11"}))});
    Query run("udp", first.Port());
    run.q->ALookup("h.test");
    run.q->SetPort(second.PortText());
    run.q->ALookup("h.test");
    ASSERT_TRUE(run.Wait());
    ASSERT_TRUE(first.WaitQueries(1)); // its answer went to a socket that is gone
    PumpMessages();
    EXPECT_EQ(run.done, std::vector<int>{0});
    EXPECT_EQ(run.q->ResponseID(), 0x0B);

    // The same over TCP, the first server never answering.
    DnsResponder silent({"tcp", "--silent"});
    DnsResponder tcp({"tcp", Hex(Answer(0x0C, {"10.0.0.12"}))});
    Query overTcp("tcp", silent.Port());
    overTcp.q->ALookup("h.test");
    ASSERT_TRUE(silent.WaitQueries(1));
    overTcp.q->SetPort(tcp.PortText());
    overTcp.q->ALookup("h.test");
    ASSERT_TRUE(overTcp.Wait());
    EXPECT_EQ(overTcp.done, std::vector<int>{0});
    EXPECT_EQ(overTcp.q->ResponseID(), 0x0C);
}

// The done handler drives the engine as the tools do: the next lookup from
// inside it, or the engine freed there.
TEST(DnsQuery, DoneHandlerStartsTheNextLookupOrFreesTheEngine) {
    for (const char* proto : {"udp", "tcp"}) {
        SCOPED_TRACE(proto);
        DnsResponder peer({proto, Hex(Answer(1, {"10.0.0.1"}))});
        Query run(proto, peer.Port());
        std::vector<int> ids;
        run.q->OnRequestDone = [&](TDnsQuery* q, std::uint16_t e) {
            run.done.push_back(e);
            if (run.done.size() < 3)
                ids.push_back(q->MXLookup("h.test"));
        };
        ids.push_back(run.q->ALookup("h.test"));
        ASSERT_TRUE(run.Wait(3));
        EXPECT_EQ(run.done, (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(ids, (std::vector<int>{1, 2, 3}));

        // Freed inside its own handler.
        Query freed(proto, peer.Port());
        bool called = false;
        freed.q->OnRequestDone = [&](TDnsQuery*, std::uint16_t) {
            called = true;
            freed.q.reset();
        };
        freed.q->ALookup("h.test");
        ASSERT_TRUE(PumpUntil([&] { return called; }, 20000));
        PumpMessages();
        EXPECT_EQ(freed.q, nullptr);
    }
    // Freed in the handler of a failed TCP connect.
    Query refused("tcp", test::FreeTcpPort());
    refused.q->OnRequestDone = [&](TDnsQuery*, std::uint16_t e) {
        refused.done.push_back(e);
        refused.q.reset();
    };
    refused.q->ALookup("h.test");
    ASSERT_TRUE(PumpUntil([&] { return !refused.done.empty(); }, 20000));
    PumpMessages();
    EXPECT_EQ(refused.done, std::vector<int>{10061});
}
