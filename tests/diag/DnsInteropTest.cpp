// qordex-cli dns against real peers: dnsmasq as the server, every field
// compared with what dig prints for the same question, over UDP and TCP;
// the system resolver and the default server inside network namespaces
// with their own resolv.conf and hosts files.

#include "diag/DnsServers.h"
#include "platform/IpHelper.h"

#include "diag/DnsPeers.h"
#include "support/NetNs.h"
#include "support/Process.h"
#include "support/TestData.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;

namespace {

// What both programs say about one response, in one shape.
struct View {
    int status = -1;
    std::set<std::string> flags; // aa, tc, ra
    int counts[4] = {-1, -1, -1, -1};
    std::multiset<std::string> records; // "name ttl class type data"
    int size = -1;

    bool operator==(const View& o) const {
        return status == o.status && flags == o.flags && std::equal(counts, counts + 4, o.counts) &&
               records == o.records && size == o.size;
    }
};

std::ostream& operator<<(std::ostream& os, const View& v) {
    os << "status " << v.status << ", flags";
    for (const auto& f : v.flags)
        os << " " << f;
    os << ", counts " << v.counts[0] << "/" << v.counts[1] << "/" << v.counts[2] << "/"
       << v.counts[3] << ", size " << v.size << ", records:";
    for (const auto& r : v.records)
        os << "\n  " << r;
    return os;
}

std::string NoDot(std::string s) {
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

const std::map<std::string, int> kTypes = {{"A", 1}, {"CNAME", 5}, {"PTR", 12}, {"MX", 15}};
const std::map<std::string, int> kStatus = {{"NOERROR", 0},  {"FORMERR", 1}, {"SERVFAIL", 2},
                                            {"NXDOMAIN", 3}, {"NOTIMP", 4},  {"REFUSED", 5}};

View ParseDig(const std::string& out) {
    View v;
    for (const std::string& line : SplitLines(out)) {
        if (line.find("->>HEADER<<-") != std::string::npos) {
            const auto p = line.find("status: ");
            const std::string s = line.substr(p + 8, line.find(',', p) - p - 8);
            v.status = kStatus.count(s) ? kStatus.at(s) : 99;
        } else if (line.rfind(";; flags:", 0) == 0) {
            std::istringstream words(line.substr(9, line.find(';', 9) - 9));
            for (std::string f; words >> f;)
                if (f == "aa" || f == "tc" || f == "ra")
                    v.flags.insert(f);
            const char* keys[] = {"QUERY: ", "ANSWER: ", "AUTHORITY: ", "ADDITIONAL: "};
            for (int i = 0; i < 4; ++i)
                v.counts[i] = std::stoi(line.substr(line.find(keys[i]) + std::strlen(keys[i])));
        } else if (line.rfind(";; MSG SIZE", 0) == 0) {
            v.size = std::stoi(line.substr(line.find("rcvd: ") + 6));
        } else if (!line.empty() && line[0] != ';') {
            std::istringstream words(line);
            std::string name, ttl, cls, type, data, more;
            words >> name >> ttl >> cls >> type;
            std::getline(words, data);
            data = data.substr(data.find_first_not_of(" \t"));
            if (type == "CNAME")
                data.clear(); // the engine keeps no data for it
            else if (type == "MX" || type == "PTR")
                data = NoDot(data);
            v.records.insert(NoDot(name) + " " + ttl + " " + (cls == "IN" ? "1" : cls) + " " +
                             std::to_string(kTypes.count(type) ? kTypes.at(type) : 0) + " " + data);
        }
    }
    return v;
}

// The CLI's lines as "label" -> value, and its answer blocks as records.
View ParseCli(const std::string& out, std::map<std::string, std::string>* fields = nullptr) {
    View v;
    std::map<std::string, std::string> f;
    std::vector<std::map<std::string, std::string>> answers;
    for (const std::string& line : SplitLines(out)) {
        if (line.rfind("Answer #", 0) == 0) {
            answers.emplace_back();
            continue;
        }
        const auto colon = line.find(" : ");
        if (colon == std::string::npos || line.size() < 21 || line[19] != ':')
            continue;
        std::string label = line.substr(0, 19);
        label = label.substr(label.find_first_not_of(' '));
        label.erase(label.find_last_not_of(' ') + 1);
        const std::string value = line.substr(21);
        if (line.rfind("  ", 0) == 0 && !answers.empty())
            answers.back()[label] = value;
        else
            f[label] = value;
    }
    if (fields)
        *fields = f;
    if (!f.count("ResponseCode"))
        return v;
    v.status = std::stoi(f["ResponseCode"]);
    if (f["Authoritative"] == "1")
        v.flags.insert("aa");
    if (f["Truncation"] == "1")
        v.flags.insert("tc");
    if (f["RecursionAvailable"] == "1")
        v.flags.insert("ra");
    const char* keys[] = {"QDCount", "ANCount", "NSCount", "ARCount"};
    for (int i = 0; i < 4; ++i)
        v.counts[i] = std::stoi(f[keys[i]]);
    v.size = std::stoi(f["ResponseLen"]);
    for (auto& a : answers) {
        std::string data = a["Address"] + a["Hostname"];
        if (a.count("MXPreference"))
            data = a["MXPreference"] + " " + a["MXExchange"];
        v.records.insert(a["AnswerName"] + " " + a["AnswerTTL"] + " " + a["AnswerClass"] + " " +
                         a["AnswerType"] + " " + data);
    }
    return v;
}

std::vector<std::string> ServerRecords() {
    std::vector<std::string> r = {
        "--local=/test/",
        "--host-record=h.test,10.0.0.1",
        "--host-record=h.test,10.0.0.2",
        "--mx-host=m.test,mail.m.test,10",
        "--mx-host=m.test,backup.m.test,20",
        "--ptr-record=1.2.0.192.in-addr.arpa,p.test",
        "--cname=c.test,h.test",
    };
    for (int i = 1; i <= 40; ++i)
        r.push_back("--host-record=many.test,10.4.0." + std::to_string(i));
    return r;
}

CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {BinPath("qordex-cli"), "dns"});
    return test::Run(args);
}

} // namespace

// Every field the CLI prints matches dig's view of the same question.
TEST(DnsInterop, FieldsMatchDigOverUdpAndTcp) {
    if (!HasProgram("dig"))
        GTEST_SKIP() << "dig is not installed (package bind9-dnsutils)";
    Dnsmasq server(ServerRecords());
    QORDEX_REQUIRE_DNSMASQ(server);
    struct Case {
        const char* kind;
        const char* name;
        int answers; // records the CLI prints
    } cases[] = {
        {"a", "h.test", 2},  {"mx", "m.test", 2},    {"ptr", "192.0.2.1", 1}, {"a", "c.test", 3},
        {"a", "nx.test", 0}, {"a", "many.test", 40}, {"mx", "h.test", 0},
    };
    for (const bool tcp : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.kind) + " " + c.name + (tcp ? " over TCP" : " over UDP"));
            std::vector<std::string> digArgs = {
                "dig",       "-p",     server.PortText(), "@127.0.0.1", "+noall",   "+answer",
                "+comments", "+stats", "+noedns",         "+ignore",    "+tries=1", "+time=5"};
            if (std::string(c.kind) == "ptr") {
                digArgs.insert(digArgs.end(), {"-x", c.name});
            } else {
                digArgs.push_back(c.name);
                digArgs.push_back(std::string(c.kind) == "a" ? "A" : "MX");
            }
            std::vector<std::string> cliArgs = {"--server", "127.0.0.1", "--port",
                                                server.PortText()};
            if (tcp) {
                digArgs.push_back("+tcp");
                cliArgs.push_back("--tcp");
            }
            cliArgs.insert(cliArgs.end(), {c.kind, c.name});
            const CommandResult dig = test::Run(digArgs);
            const CommandResult cli = Cli(cliArgs);
            ASSERT_EQ(dig.status, 0) << dig.err;
            ASSERT_EQ(cli.status, 0) << cli.out << cli.err;
            std::map<std::string, std::string> fields;
            View ours = ParseCli(cli.out, &fields);
            View theirs = ParseDig(dig.out);
            if (theirs.flags.count("tc") && ours.records.size() == theirs.records.size()) {
                // Which records fit into a truncated answer differs between two asks.
                ours.records.clear();
                theirs.records.clear();
            }
            EXPECT_EQ(ours, theirs) << "qordex-cli:\n" << cli.out << "dig:\n" << dig.out;
            EXPECT_EQ(SplitLines(cli.out).at(0), "Request ID         : 1");
            EXPECT_EQ(fields["ID"], "1");
            EXPECT_EQ(fields["OpCode"], "0");
            EXPECT_EQ(fields["QuestionName"], std::string(c.kind) == "ptr"
                                                  ? std::string("1.2.0.192.in-addr.arpa")
                                                  : std::string(c.name));
            EXPECT_EQ(fields["QuestionClass"], "1");
            const auto lines = SplitLines(cli.out);
            const auto blocks = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("Answer #", 0) == 0;
            });
            EXPECT_EQ(blocks, ours.counts[1]);
            if (!ours.flags.count("tc")) {
                EXPECT_EQ(blocks, c.answers);
            }
            EXPECT_NE(std::find(lines.begin(), lines.end(),
                                "Response dump (" + fields["ResponseLen"] + " bytes):"),
                      lines.end());
        }
    }
}

// Forty addresses do not fit into 512 bytes: over UDP the server truncates,
// over TCP the whole answer is decoded.
TEST(DnsInterop, FortyAddressesInFullOverTcp) {
    Dnsmasq server(ServerRecords());
    QORDEX_REQUIRE_DNSMASQ(server);
    const CommandResult tcp =
        Cli({"--server", "127.0.0.1", "--port", server.PortText(), "--tcp", "a", "many.test"});
    ASSERT_EQ(tcp.status, 0) << tcp.err;
    std::map<std::string, std::string> fields;
    const View v = ParseCli(tcp.out, &fields);
    EXPECT_EQ(v.records.size(), 40u);
    EXPECT_EQ(fields["ANCount"], "40");
    EXPECT_EQ(fields["Truncation"], "0");
    EXPECT_GT(std::stoi(fields["ResponseLen"]), 512);
    std::set<std::string> addrs;
    for (const std::string& line : SplitLines(tcp.out))
        if (line.rfind("  Address          : ", 0) == 0)
            addrs.insert(line.substr(21));
    EXPECT_EQ(addrs.size(), 40u);
    EXPECT_TRUE(addrs.count("10.4.0.40"));

    const CommandResult udp =
        Cli({"--server", "127.0.0.1", "--port", server.PortText(), "a", "many.test"});
    ASSERT_EQ(udp.status, 0) << udp.err;
    ParseCli(udp.out, &fields);
    EXPECT_EQ(fields["Truncation"], "1");
    EXPECT_LE(std::stoi(fields["ResponseLen"]), 512);
}

TEST(DnsCli, ErrorsAndExitStatus) {
    Dnsmasq server(ServerRecords());
    QORDEX_REQUIRE_DNSMASQ(server);
    const std::string port = server.PortText();
    const int closedTcp = FreeTcpPort();
    const int silentUdp = FreeUdpPort();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out; // start of standard output ("" for none)
        const char* err; // part of standard error ("" for none)
    } cases[] = {
        {{"--server", "127.0.0.1", "--port", port, "a", "nx.test"}, 0, "Request ID ", ""},
        {{"--server", "127.0.0.1", "--port", std::to_string(closedTcp), "--tcp", "a", "h.test"},
         1,
         "Request ID         : 1\nError #10061\n",
         ""},
        {{"--server", "127.0.0.1", "--port", std::to_string(silentUdp), "--timeout", "200", "a",
          "h.test"},
         1,
         "Request ID         : 1\n",
         "qordex-cli dns: no answer within 200 ms"},
        {{"--server", "127.0.0.1", "a", "a..b"}, 1, "", "empty label"},
        {{"--server", "127.0.0.1", "a", std::string(64, 'x')}, 1, "", "63 bytes"},
        {{"--server", "no-such-host.invalid", "a", "h.test"}, 1, "", "no-such-host.invalid"},
        {{"a"}, 2, "", "no name given"},
        {{}, 2, "", "no query given"},
        {{"aaaa", "h.test"}, 2, "", "unknown query"},
        {{"--bogus", "a", "h.test"}, 2, "", "unknown option"},
        {{"--timeout", "soon", "a", "h.test"}, 2, "", "MS must be"},
        {{"--port", "no-such-service", "a", "h.test"}, 2, "", "PORT must be"},
        {{"--server"}, 2, "", "needs"},
        {{"a", "x", "y"}, 2, "", "more than one name"},
        {{"--help"}, 0, "Usage: qordex-cli dns", ""},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        const CommandResult r = Cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (*c.out) {
            EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
        } else {
            EXPECT_EQ(r.out, "");
        }
        if (*c.err) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        } else if (c.status != 2) {
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(DnsCli, ServerListAsTabSeparatedRows) {
    const CommandResult r = Cli({"--servers"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = SplitLines(r.out);
    const auto& rows = diag::DnsServerRows();
    ASSERT_EQ(lines.size(), 136u);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], std::string(rows[i].address) + "\t" + rows[i].domainName + "\t" +
                                rows[i].description);
    EXPECT_EQ(lines[0], "- Root Servers\t\t");
    EXPECT_EQ(lines[1].substr(0, lines[1].find('\t')), "198.41.0.4");
}

// The system resolver inside a namespace whose hosts file names a host with
// aliases: lookup lists the addresses, reverse the name and then its aliases.
TEST(DnsCli, SystemResolverLookupsAndAliases) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    ASSERT_TRUE(ns.WriteEtcFile("hosts", "127.0.0.1 localhost\n"
                                         "10.20.30.40 myhost.test alias-one alias-two\n"
                                         "10.20.30.41 twin.test\n10.20.30.42 twin.test\n"));
    ASSERT_TRUE(ns.WriteEtcFile("resolv.conf", "nameserver 127.0.0.1\n"));
    ASSERT_TRUE(ns.WriteEtcFile("nsswitch.conf", "hosts: files\n"));
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {BinPath("qordex-cli"), "dns"});
        return test::Run(ns.Wrap(args));
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {{"lookup", "myhost.test"},
         0,
         {"Waiting for DNS...", "10.20.30.40  (1 addresses)", "10.20.30.40"}},
        {{"lookup", "twin.test"},
         0,
         {"Waiting for DNS...", "10.20.30.41  (2 addresses)", "10.20.30.41", "10.20.30.42"}},
        {{"lookup", "10.9.8.7"}, 0, {"Waiting for DNS...", "10.9.8.7  (1 addresses)", "10.9.8.7"}},
        {{"reverse", "10.20.30.40"},
         0,
         {"Waiting for DNS...", "myhost.test  (3 addresses)", "myhost.test", "alias-one",
          "alias-two"}},
        {{"reverse", "10.20.30.41"},
         0,
         {"Waiting for DNS...", "twin.test  (1 addresses)", "twin.test"}},
        {{"lookup", "missing.test"}, 1, {"Waiting for DNS...", "NOT FOUND, ERROR #11001"}},
        {{"reverse", "10.99.99.99"}, 1, {"Waiting for DNS...", "NOT FOUND, ERROR #11001"}},
        {{"lookup", ""}, 1, {"Waiting for DNS...", "NOT FOUND, ERROR #10022"}},
        {{"reverse", ""}, 1, {"Waiting for DNS...", "NOT FOUND, ERROR #10022"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.at(0) + " " + c.args.at(1));
        const CommandResult r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(SplitLines(r.out), c.lines);
    }
}

// The default server is the first IPv4 nameserver of resolv.conf; with only
// IPv6 servers there is none, and the query names "Default".
TEST(DnsCli, DefaultServerFromResolvConf) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    Dnsmasq server({"--host-record=d.test,10.7.7.7"}, &ns);
    QORDEX_REQUIRE_DNSMASQ(server);
    auto query = [&] {
        return test::Run(
            ns.Wrap({BinPath("qordex-cli"), "dns", "--timeout", "5000", "a", "d.test"}));
    };
    ASSERT_TRUE(ns.WriteEtcFile("resolv.conf", "nameserver ::1\nnameserver 127.0.0.1\n"));
    CommandResult r = query();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  Address          : 10.7.7.7\n"), std::string::npos) << r.out;

    ASSERT_TRUE(ns.WriteEtcFile("resolv.conf", "nameserver ::1\nnameserver fe80::1%lo\n"));
    ASSERT_TRUE(ns.WriteEtcFile("nsswitch.conf", "hosts: files\n"));
    r = query();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("server Default: "), std::string::npos) << r.err;
}

// Behind the local caching stub the servers that count are its upstreams.
TEST(DnsDefaultServer, StubResolverNamesItsUpstreams) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qdx-resolv-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    };
    const std::string upstream =
        write("upstream", "nameserver 192.0.2.53\nnameserver 2001:db8::1\n");
    const std::string missing = (dir / "missing").string();
    struct Case {
        const char* conf;
        std::string upstreamPath;
        std::vector<std::string> servers;
    } cases[] = {
        {"nameserver 127.0.0.53\noptions edns0\nsearch lan\n",
         upstream,
         {"192.0.2.53", "2001:db8::1"}},
        {"nameserver 127.0.0.53\n", missing, {"127.0.0.53"}},
        {"nameserver 127.0.0.53\nnameserver 10.0.0.1\n", upstream, {"127.0.0.53", "10.0.0.1"}},
        {"nameserver 10.0.0.1\n", upstream, {"10.0.0.1"}},
        {"", upstream, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        const auto conf =
            ipsys::ReadMachineResolverConf(write("resolv.conf", c.conf), c.upstreamPath);
        EXPECT_EQ(conf.nameservers, c.servers);
    }
    EXPECT_EQ(ipsys::ReadMachineResolverConf(
                  write("resolv.conf", "nameserver 127.0.0.53\nsearch lan\n"), upstream)
                  .domain,
              "lan");
    std::filesystem::remove_all(dir);
}
