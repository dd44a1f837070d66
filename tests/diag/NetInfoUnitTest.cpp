// The pieces of the IP helper layer that need no network: error texts,
// the parsers of the proc files and the resolver configuration, and the
// command table the window builds its pages from.

#include "diag/IpHlpApi.h"
#include "diag/NetInfoCommands.h"
#include "platform/IpHelper.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <set>

using namespace qordex::diag;
using namespace qordex::ipsys;
using qordex::test::BinPath;
using qordex::test::Run;

TEST(EIpHlpErrorTest, MessagesNameTheOperation) {
    struct Case {
        unsigned long code;
        const char* text;
    } cases[] = {
        {50, "Function GetIfTable is not supported by the operating system."},
        {87, "Function GetIfTable. Invalid parameter"},
        {232, "Function GetIfTable. No adapter information exists for the local computer."},
        {5, "System Error.  Code: 5.  Access is denied."},
        {1168, "System Error.  Code: 1168.  Element not found."},
        {4242, "System Error.  Code: 4242."},
    };
    for (const auto& c : cases) {
        EIpHlpError e("GetIfTable", c.code);
        EXPECT_STREQ(e.what(), c.text) << c.code;
        EXPECT_EQ(e.Code(), c.code);
    }
    // The router operations report every code as the general error.
    EXPECT_STREQ(EIpHlpError::OsError(87).what(),
                 "System Error.  Code: 87.  The parameter is incorrect.");
}

TEST(EIpHlpErrorTest, ErrnoMapsToThePlatformCodes) {
    EXPECT_EQ(ErrnoToIpHlp(EPERM), kErrorAccessDenied);
    EXPECT_EQ(ErrnoToIpHlp(EACCES), kErrorAccessDenied);
    EXPECT_EQ(ErrnoToIpHlp(EINVAL), kErrorInvalidParameter);
    EXPECT_EQ(ErrnoToIpHlp(EOPNOTSUPP), kErrorNotSupported);
    EXPECT_EQ(ErrnoToIpHlp(ENOENT), kErrorNotFound);
    EXPECT_EQ(ErrnoToIpHlp(EEXIST), kErrorObjectAlreadyExists);
}

TEST(ProcParsersTest, SocketTableGivesRealPortsAndAddresses) {
    const std::string text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0  "
        "      0 1 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0202000A:D431 0100000A:01BB 01 00000000:00000000 00:00000000 00000000     0  "
        "      0 2 1 0000000000000000 100 0 0 10 0\n"
        "garbage line\n";
    auto rows = ParseSocketTable(text);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Ip4ToText(rows[0].local), "127.0.0.1");
    EXPECT_EQ(rows[0].localPort, 80); // not 20480
    EXPECT_EQ(rows[0].state, 10);
    EXPECT_EQ(Ip4ToText(rows[1].local), "10.0.2.2");
    EXPECT_EQ(rows[1].localPort, 54321);
    EXPECT_EQ(Ip4ToText(rows[1].remote), "10.0.0.1");
    EXPECT_EQ(rows[1].remotePort, 443);
}

TEST(ProcParsersTest, SnmpSectionsPairNamesWithValues) {
    const std::string text = "Ip: Forwarding DefaultTTL InReceives\n"
                             "Ip: 2 64 12345678901\n"
                             "Tcp: RtoAlgorithm MaxConn\n"
                             "Tcp: 1 -1\n";
    auto t = ParseSnmp(text);
    EXPECT_EQ(t["Ip"]["Forwarding"], 2);
    EXPECT_EQ(t["Ip"]["DefaultTTL"], 64);
    EXPECT_EQ(t["Ip"]["InReceives"], 12345678901LL);
    EXPECT_EQ(t["Tcp"]["MaxConn"], -1);
}

TEST(ProcParsersTest, ResolverConfKeepsServerOrderAndDomain) {
    struct Case {
        const char* text;
        std::vector<std::string> servers;
        const char* domain;
    } cases[] = {
        {"# comment\nnameserver 10.0.0.1\nnameserver 10.0.0.2 ; x\nsearch a.example b.example\n",
         {"10.0.0.1", "10.0.0.2"},
         "a.example"},
        {"domain d.example\nsearch s.example\nnameserver 1.1.1.1\n", {"1.1.1.1"}, "d.example"},
        {"", {}, ""},
        {"nameserver\noptions ndots:2\n", {}, ""},
    };
    for (const auto& c : cases) {
        auto conf = ParseResolverConf(c.text);
        EXPECT_EQ(conf.nameservers, c.servers) << c.text;
        EXPECT_EQ(conf.domain, c.domain) << c.text;
    }
}

TEST(ProcParsersTest, MasksAndPrefixes) {
    uint32_t m;
    ASSERT_TRUE(TextToIp4("255.255.255.0", m));
    EXPECT_EQ(MaskToPrefix(m), 24);
    ASSERT_TRUE(TextToIp4("255.0.255.0", m));
    EXPECT_EQ(MaskToPrefix(m), -1);
    EXPECT_EQ(MaskToPrefix(0), 0);
    EXPECT_EQ(MaskToPrefix(0xFFFFFFFFu), 32);
    EXPECT_EQ(Ip4ToText(PrefixToMask(20)), "255.255.240.0");
    EXPECT_FALSE(TextToIp4("10.0.0", m));
}

TEST(NetInfoTableTest, PagesAndButtonsInOrder) {
    const auto& t = NetInfoCommands();
    ASSERT_EQ(t.size(), 41u); // 45 buttons less the four notification buttons
    std::vector<std::string> pages;
    std::set<std::string> captions, buttons;
    for (const auto& c : t) {
        if (pages.empty() || pages.back() != c.page)
            pages.push_back(c.page);
        captions.insert(c.caption);
        buttons.insert(c.button);
        EXPECT_NE(c.run, nullptr);
    }
    EXPECT_EQ(captions.size(), t.size());
    EXPECT_EQ(buttons.size(), t.size());
    std::vector<std::string> want = {"Network Configuration",
                                     "Managing Network Adapters",
                                     "Managing Interfaces",
                                     "IP Addresses",
                                     "Using the ARP",
                                     "IP and ICMP",
                                     "Routing",
                                     "TCP UDP Statistic",
                                     "Router"};
    EXPECT_EQ(pages, want);
    EXPECT_EQ(t.front().button, "BtNetworkParams");
    EXPECT_EQ(t[4].caption, "GetMACaddress");
    EXPECT_EQ(t[4].button, "GetMACBt");
    EXPECT_EQ(t[11].button, "BGetIpAddrTable");
    EXPECT_EQ(t.back().caption, "UnenableRouter");
    EXPECT_EQ(t.back().button, "BtUnenableRouter");
}

namespace {

// Answers prompts from a list and records everything.
class ScriptIO : public NetInfoIO {
public:
    explicit ScriptIO(std::vector<std::string> answers) : answers_(std::move(answers)) {}
    void Line(const std::string& line) override { lines.push_back(line); }
    std::optional<std::string> Ask(const std::string& prompt) override {
        prompts.push_back(prompt);
        if (next_ >= answers_.size())
            return std::nullopt;
        return answers_[next_++];
    }
    void Error(const std::string& message) override { errors.push_back(message); }
    std::vector<std::string> lines, prompts, errors;

private:
    std::vector<std::string> answers_;
    size_t next_ = 0;
};

const NetInfoCommand& Command(const std::string& caption) {
    for (const auto& c : NetInfoCommands())
        if (c.caption == caption)
            return c;
    throw std::runtime_error("no command " + caption);
}

} // namespace

TEST(NetInfoCommandTest, PromptsCancelAndConversionErrors) {
    {
        // Cancel at the first prompt: only the lines written before asking.
        ScriptIO io({});
        Command("GetAdapterIndex").run(io);
        EXPECT_EQ(io.lines, std::vector<std::string>{"GetAdapterIndex"});
        EXPECT_EQ(io.prompts, std::vector<std::string>{"Input the name of adapter"});
    }
    {
        ScriptIO io({""}); // an empty answer ends the action too
        Command("GetIfEntry").run(io);
        EXPECT_TRUE(io.lines.empty());
    }
    {
        ScriptIO io({"12x"});
        try {
            Command("SetIpTTL").run(io);
            FAIL() << "no conversion error";
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), "'12x' is not a valid integer value");
        }
        EXPECT_EQ(io.lines, std::vector<std::string>{"SetIpTTL"});
    }
    {
        ScriptIO io({"0"});
        Command("DeleteIpForwardEntry").run(io);
        EXPECT_EQ(io.errors, std::vector<std::string>{"Invalid IP entry"});
        EXPECT_TRUE(io.lines.empty());
    }
    {
        // The unsupported operations fail with the layer's own text.
        ScriptIO io({"1", ""});
        EXPECT_THROW(Command("IpReleaseAddress").run(io), EIpHlpError);
        EXPECT_EQ(io.lines, std::vector<std::string>{"IpReleaseAddress"});
        EXPECT_EQ(io.prompts.size(), 2u);
    }
}

TEST(NetInfoCliTest, ListsEveryOperationWithItsQuestions) {
    auto r = qordex::test::Run({BinPath("qordex-cli"), "netinfo", "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = qordex::test::SplitLines(r.out);
    ASSERT_EQ(lines.size(), NetInfoCommands().size() + 2);
    for (std::size_t i = 0; i < NetInfoCommands().size(); ++i) {
        const NetInfoCommand& c = NetInfoCommands()[i];
        EXPECT_EQ(lines[i].substr(0, lines[i].find(' ')), c.caption);
        for (const std::string& q : c.questions)
            EXPECT_NE(lines[i].find(q.substr(0, q.find_last_not_of(' ') + 1)), std::string::npos)
                << c.caption << " names \"" << q << '"';
    }
    EXPECT_EQ(lines[lines.size() - 2], "NotifyAddrChange       [SECONDS]");
    EXPECT_EQ(lines.back(), "NotifyRouteChange      [SECONDS]");
    EXPECT_EQ(lines[lines.size() - 3], "UnenableRouter") << "no question, no padding";
    r = qordex::test::Run({BinPath("qordex-cli"), "netinfo", "NoSuchThing"});
    EXPECT_EQ(r.status, 2);
    r = qordex::test::Run({BinPath("qordex-cli"), "netinfo", "GetUniDirAdapterInfo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "GetUniDirectionalAdapterInfo\n");
    EXPECT_EQ(r.err,
              "Function GetUniDirectionalAdapterInfo is not supported by the operating system.\n");
}

// A missing answer is no cancel on the command line: the operation does not
// run and the command says which question went unanswered.
TEST(NetInfoCliTest, MissingEmptyOrExtraAnswersAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"GetIfEntry"}, "netinfo GetIfEntry: needs an answer to \"Input interface index\""},
        {{"CreateIpNetEntry", "10.77.0.60"},
         "netinfo CreateIpNetEntry: needs an answer to \"Input physical address\""},
        {{"CreateProxyArpEntry", "10.77.0.61", "255.255.255.255"},
         "netinfo CreateProxyArpEntry: needs an answer to \"Input interface index\""},
        {{"DeleteIpForwardEntry"},
         "netinfo DeleteIpForwardEntry: needs an answer to \"Input Row #\""},
        {{"GetIfEntry", "1", "2"}, "netinfo GetIfEntry: takes 1 answer, got 2"},
        {{"SetIfEntry", "1", "1", "1"}, "netinfo SetIfEntry: takes 2 answers, got 3"},
        {{"GetIfTable", "extra"}, "netinfo GetIfTable: takes no arguments, got 1"},
        {{"EnableRouter", "now"}, "netinfo EnableRouter: takes no arguments, got 1"},
        {{"GetIfEntry", ""}, "netinfo GetIfEntry: empty answer to \"Input interface index\""},
        {{"CreateIpNetEntry", "10.77.0.60", ""},
         "netinfo CreateIpNetEntry: empty answer to \"Input physical address\""},
        {{"NotifyAddrChange", "1", "2"}, "netinfo NotifyAddrChange: takes one argument at most"},
        {{"--list", "GetIfTable"}, "netinfo: --list takes no arguments"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {BinPath("qordex-cli"), "netinfo"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0] << ": nothing ran";
        EXPECT_EQ(r.err.rfind("qordex-cli " + c.message + "\n", 0), 0u) << r.err;
    }
    // An adapter name may be empty; "--" lets an answer begin with a dash.
    auto r = qordex::test::Run({BinPath("qordex-cli"), "netinfo", "IpReleaseAddress", "1", ""});
    EXPECT_EQ(r.status, 1) << "the empty name reaches the operation";
    EXPECT_EQ(r.err, "Function IpReleaseAddress is not supported by the operating system.\n");
    r = qordex::test::Run({BinPath("qordex-cli"), "netinfo", "GetAdapterIndex", "--", "-h"});
    EXPECT_EQ(r.out, "GetAdapterIndex\n");
    EXPECT_EQ(r.status, 1) << "no adapter is called -h";
}

TEST(NetInfoCliTest, OutputThatCannotBeWrittenIsAFailure) {
    const std::string cli = BinPath("qordex-cli");
    for (const char* args : {"GetIfTable", "GetIpForwardTable", "--list", "GetIfEntry --help"}) {
        auto r = qordex::test::Shell("'" + cli + "' netinfo " + args + " > /dev/full");
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, "qordex-cli netinfo: write error: No space left on device\n") << args;
    }
}

TEST(NetInfoCliTest, OperationHelpDescribesItAndItsQuestions) {
    for (const NetInfoCommand& c : NetInfoCommands()) {
        const auto r = qordex::test::Run({BinPath("qordex-cli"), "netinfo", c.caption, "--help"});
        EXPECT_EQ(r.status, 0) << c.caption;
        const auto lines = qordex::test::SplitLines(r.out);
        ASSERT_GE(lines.size(), 4u) << c.caption;
        std::string usage = "Usage: qordex-cli netinfo " + c.caption;
        for (std::size_t i = 1; i <= c.questions.size(); ++i)
            usage += " ANSWER" + std::to_string(i);
        EXPECT_EQ(lines[0], usage);
        EXPECT_FALSE(c.summary.empty()) << c.caption;
        EXPECT_EQ(lines[2], c.summary);
        for (std::size_t i = 0; i < c.questions.size(); ++i)
            EXPECT_NE(
                r.out.find(std::to_string(i + 1) + ". " +
                           c.questions[i].substr(0, c.questions[i].find_last_not_of(' ') + 1)),
                std::string::npos)
                << c.caption;
    }
    const auto w = qordex::test::Run({BinPath("qordex-cli"), "netinfo", "NotifyRouteChange", "-h"});
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.out.rfind("Usage: qordex-cli netinfo NotifyRouteChange [SECONDS]\n", 0), 0u);
}

// The questions of the table are the ones each operation asks, in order:
// answered up to one of them and cancelled there, nothing has changed yet.
TEST(NetInfoCommandTest, EveryOperationAsksTheQuestionsOfItsTable) {
    auto sample = [](const std::string& q) -> std::string {
        if (q.find("mask") != std::string::npos || q.find("Mask") != std::string::npos)
            return "255.255.255.255";
        if (q.find("ddress") != std::string::npos || q.find("IP") != std::string::npos ||
            q == "Next Hop")
            return "10.77.0.60";
        if (q.find("physical") != std::string::npos)
            return "02-00-00-00-00-01";
        if (q.find("name") != std::string::npos)
            return "lo";
        return "1";
    };
    for (const NetInfoCommand& c : NetInfoCommands()) {
        for (std::size_t k = 0; k < c.questions.size(); ++k) {
            std::vector<std::string> answers;
            for (std::size_t i = 0; i < k; ++i)
                answers.push_back(sample(c.questions[i]));
            ScriptIO io(answers);
            try {
                c.run(io);
            } catch (const std::exception&) {
                // SendARP goes on without its answer, and fails.
            }
            EXPECT_EQ(io.prompts,
                      std::vector<std::string>(c.questions.begin(),
                                               c.questions.begin() + std::ptrdiff_t(k + 1)))
                << c.caption << " answered " << k;
        }
    }
}

// Text that is no dotted address is the operation's invalid parameter, before
// anything is written or changed; read as 255.255.255.255 it would pass as a
// mask and quietly narrow a subnet to one host.
TEST(NetInfoCommandTest, MalformedAddressesAreInvalidParameters) {
    struct Case {
        const char* command;
        std::vector<std::string> answers;
        std::vector<std::string> lines; // written before the failure
        const char* function;
    } cases[] = {
        {"GetBestRoute", {"abc"}, {"GetBestRoute"}, "GetBestRoute"},
        {"GetBestInterface", {"10.0.0.256"}, {}, "GetBestInterface"},
        {"GetRTTAndHopCount", {"1.2.3"}, {}, "GetRTTAndHopCount"},
        {"CreateIpNetEntry", {"10.1.0.x"}, {}, "CreateIpNetEntry"},
        {"DeleteIpNetEntry", {"1", "host"}, {}, "DeleteIpNetEntry"},
        {"CreateIpForwardEntry", {"10.4.0.0", "255.255.0.x"}, {}, "CreateIpForwardEntry"},
        {"CreateIpForwardEntry", {"10.4.0.0", "255.255.0.0", "gw"}, {}, "CreateIpForwardEntry"},
        {"CreateProxyArpEntry",
         {"10.1.0.77", "255.255.255.255.0"},
         {"CreateProxyArpEntry"},
         "CreateProxyArpEntry"},
        {"DeleteProxyArpEntry", {"-1"}, {"DeleteProxyArpEntry"}, "DeleteProxyArpEntry"},
    };
    for (const auto& c : cases) {
        ScriptIO io(c.answers);
        try {
            Command(c.command).run(io);
            ADD_FAILURE() << c.command << ": no error";
        } catch (const EIpHlpError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("Function ") + c.function + ". Invalid parameter")
                << c.command;
        }
        EXPECT_EQ(io.lines, c.lines) << c.command;
        EXPECT_EQ(io.prompts.size(), c.answers.size()) << c.command << ": asked no further";
    }
    {
        // An address no echo can go to.
        ScriptIO io({"0.0.0.0"});
        try {
            Command("GetRTTAndHopCount").run(io);
            ADD_FAILURE() << "no error";
        } catch (const EIpHlpError& e) {
            EXPECT_STREQ(e.what(), "Function GetRTTAndHopCount. Invalid parameter");
        }
        EXPECT_EQ(io.lines, std::vector<std::string>{"GetRTTAndHopCount"});
    }
    // Spaces around an address are no part of it.
    ScriptIO io({" 127.0.0.1 "});
    Command("GetBestInterface").run(io);
    EXPECT_EQ(io.lines, (std::vector<std::string>{"GetBestInterface", "BestIfIndex: 1"}));
}

// Negative and oversized numbers end in a clear error and change nothing.
TEST(NetInfoCommandTest, OddNumbersAreClearErrors) {
    const std::string invalid = ". Invalid parameter";
    struct Case {
        const char* command;
        std::vector<std::string> answers;
        std::string error; // empty: no exception
        std::vector<std::string> lines;
    } cases[] = {
        {"GetIfEntry", {"-1"}, "Function GetIfEntry" + invalid, {"GetIfEntry"}},
        {"GetIfEntry",
         {"99999999999999999999"},
         "'99999999999999999999' is not a valid integer value",
         {}},
        {"GetIfEntry", {"2147483648"}, "'2147483648' is not a valid integer value", {}},
        {"SetIfEntry", {"-2147483648", "1"}, "Function SetIfEntry" + invalid, {"SetIfEntry"}},
        {"SetIfEntry", {"1", "7"}, "Function SetIfEntry" + invalid, {"SetIfEntry"}},
        {"FlushIpNetTable", {"-1"}, "Function FlushIpNetTable" + invalid, {}},
        {"AddIPAddress",
         {"-1", "10.9.9.9", "255.255.255.0"},
         "Function AddIPAddress" + invalid,
         {"AddIPAddress"}},
        {"SetIpTTL", {"-64"}, "Function SetIpTTL" + invalid, {"SetIpTTL"}},
        {"SetIpTTL", {"0"}, "Function SetIpTTL" + invalid, {"SetIpTTL"}},
        {"SetTcpEntry", {"-1"}, "", {}},
        {"SetTcpEntry", {"+"}, "'+' is not a valid integer value", {}},
    };
    for (const auto& c : cases) {
        ScriptIO io(c.answers);
        std::string error;
        try {
            Command(c.command).run(io);
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.command << " " << c.answers[0];
        EXPECT_EQ(io.lines, c.lines) << c.command << " " << c.answers[0];
    }
    ScriptIO io({"-1"});
    Command("DeleteIpForwardEntry").run(io);
    EXPECT_EQ(io.errors, std::vector<std::string>{"Invalid IP entry"});
}
