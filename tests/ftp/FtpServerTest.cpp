// The FTP server (through qordex-cli ftp-server) driven line by line over
// loopback: paths that try to leave the root, PORT bounces, data
// connections from the wrong host, limits and the replies of the edge cases.

#include "FtpSrvTestSupport.h"
#include "support/FtpPeers.h"

#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

using namespace qordex::test;

namespace {

const std::string kSecret = "TOP SECRET outside the root\n";

// A served root beside a folder that must stay out of reach, with links
// from the one into the other.
struct Tree {
    QTemporaryDir base;
    std::string root, out;
    Tree() {
        root = base.path().toStdString() + "/root";
        out = base.path().toStdString() + "/out";
        ::mkdir(out.c_str(), 0755);
        WriteFile(out + "/secret.txt", kSecret);
        Populate();
    }
    // (Re)makes the root's contents.
    void Populate() {
        qordex::test::Run({"rm", "-rf", root});
        ::mkdir(root.c_str(), 0755);
        ::mkdir((root + "/sub").c_str(), 0755);
        WriteFile(root + "/victim.txt", "inside\n");
        ::symlink((out + "/secret.txt").c_str(), (root + "/lnk_file").c_str());
        ::symlink(out.c_str(), (root + "/lnk_dir").c_str());
        ::symlink("../out/new.txt", (root + "/lnk_new").c_str());
    }
    std::string Path(const std::string& name) const { return root + "/" + name; }
};

struct stat StatOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

std::vector<std::string> Names(const std::string& dir) {
    auto r = qordex::test::Run({"ls", "-a", dir});
    return SplitLines(r.out);
}

TEST(FtpServer, PathsNeverLeaveTheRoot) {
    Tree t;
    OurFtpServer server(t.root, {"--allow", "get,put,rename,dele,cwd,mkd,rmd"});
    ASSERT_TRUE(server.Started()) << server.Log();
    const struct stat before = StatOf(t.out + "/secret.txt");
    const auto outNames = Names(t.out);

    const std::string host = t.out + "/secret.txt";
    const std::vector<std::string> paths = {
        "../out/secret.txt",     "/../out/secret.txt", "sub/../../out/secret.txt",
        "..\\out\\secret.txt",   "%2e%2e/out/secret.txt", host,
        "lnk_file",              "lnk_dir/secret.txt", "lnk_new",
        std::string(300, 'n'),
    };
    const std::vector<std::string> commands = {"RETR", "SIZE", "MDTM", "DELE", "RNFR", "RNTO",
                                               "STOR", "MKD",  "RMD",  "CWD",  "LIST", "MLST",
                                               "MD5",  "APPE", "NLST", "MLSD"};
    // Links reach outside the root: those are refused before any 150.
    auto isLink = [](const std::string& p) { return p.rfind("lnk_", 0) == 0; };

    for (const std::string& cmd : commands) {
        for (const std::string& p : paths) {
            SCOPED_TRACE(cmd + " " + p);
            FtpControl c(server.Port());
            ASSERT_TRUE(c.Ok());
            ASSERT_TRUE(c.Login());
            std::string first, data, last;
            if (cmd == "RETR" || cmd == "LIST" || cmd == "NLST" || cmd == "MLSD") {
                const Transfer x = PassiveGet(c, cmd + " " + p);
                first = x.first, data = x.data, last = x.last;
            } else if (cmd == "STOR" || cmd == "APPE") {
                const Transfer x = PassivePut(c, cmd + " " + p, "EVIL");
                first = x.first, last = x.last;
            } else if (cmd == "RNTO") {
                ASSERT_EQ(c.Cmd("RNFR victim.txt").substr(0, 3), "350");
                first = c.Cmd("RNTO " + p);
            } else {
                first = c.Cmd(cmd + " " + p);
            }
            EXPECT_EQ(first.find(kSecret.substr(0, 10)), std::string::npos);
            EXPECT_EQ(data.find("TOP SECRET"), std::string::npos);
            // No reply shows where the files live on the host (unless the
            // client wrote that path itself).
            if (p != host) {
                EXPECT_EQ((first + last).find(t.base.path().toStdString()), std::string::npos) << first;
            }
            if (isLink(p) && (cmd == "RETR" || cmd == "STOR" || cmd == "APPE" || cmd == "SIZE" ||
                              cmd == "MD5" || cmd == "MDTM")) {
                EXPECT_NE(first.substr(0, 1), "1") << first;
                EXPECT_NE(first.substr(0, 1), "2") << first;
            }
            EXPECT_EQ(c.Cmd("NOOP").substr(0, 3), "200"); // still served
            // Whatever happened inside the root is undone for the next round.
            t.Populate();
        }
    }
    const struct stat after = StatOf(t.out + "/secret.txt");
    EXPECT_EQ(ReadFile(t.out + "/secret.txt"), kSecret);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(Names(t.out), outNames);
}

TEST(FtpServer, CwdChainStopsAtTheLimit) {
    Tree t;
    OurFtpServer server(t.root, {"--allow", "get,cwd,mkd"});
    ASSERT_TRUE(server.Started());
    FtpControl c(server.Port());
    ASSERT_TRUE(c.Login());
    const std::string name(250, 'd');
    int refused = 0;
    for (int i = 0; i < 25 && refused == 0; ++i) {
        const std::string mk = c.Cmd("MKD " + name);
        const std::string cd = c.Cmd("CWD " + name);
        if (cd.rfind("250", 0) != 0)
            ++refused;
    }
    EXPECT_EQ(refused, 1);
    const std::string pwd = c.Cmd("PWD");
    EXPECT_EQ(pwd.rfind("257 \"/", 0), 0u) << pwd;
    EXPECT_LE(pwd.size(), 4200u);
    EXPECT_EQ(c.Cmd("CWD /").substr(0, 3), "250");
    EXPECT_EQ(c.Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(c.Cmd("CWD ../../..").substr(0, 3), "250");
    EXPECT_EQ(c.Cmd("PWD"), "257 \"/\" is current directory.");
    EXPECT_EQ(c.Cmd("CWD sub"), "250 CWD command successful. \"/sub/\" is current directory.");
    EXPECT_EQ(c.Cmd("XPWD"), "257 \"/sub/\" is current directory.");
    EXPECT_EQ(c.Cmd("CDUP"), "250 CWD command successful. \"/\" is current directory.");
    EXPECT_EQ(c.Cmd("CWD lnk_dir").substr(0, 3), "550");
}

TEST(FtpServer, PortNeverBouncesElsewhere) {
    Tree t;
    WriteFile(t.Path("a.txt"), "data");
    OurFtpServer server(t.root);
    ASSERT_TRUE(server.Started());
    // A listener on another loopback address: the server must never call it.
    const int trap = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &sa.sin_addr);
    ASSERT_EQ(::bind(trap, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(trap, 4), 0);
    socklen_t len = sizeof sa;
    ::getsockname(trap, reinterpret_cast<sockaddr*>(&sa), &len);
    const int trapPort = ntohs(sa.sin_port);

    FtpControl c(server.Port());
    ASSERT_TRUE(c.Login());
    const std::string hi = std::to_string(trapPort / 256), lo = std::to_string(trapPort % 256);
    for (const std::string& arg : {"127,0,0,2," + hi + "," + lo, std::string("127,0,0,1,0,21"),
                                   std::string("127,0,0,1,3,255"), std::string("127,0,0,1,300,1"),
                                   std::string("127,0,0,256,4,1"), std::string("127,0,0,1,4")}) {
        EXPECT_EQ(c.Cmd("PORT " + arg), "501 Invalid PORT command.") << arg;
        const std::string r = c.Cmd("RETR a.txt");
        if (r.rfind("150", 0) == 0) {
            EXPECT_NE(c.Reply().substr(0, 3), "226");
        }
    }
    EXPECT_EQ(c.Cmd("NOOP").substr(0, 3), "200");
    pollfd p{trap, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the server connected to 127.0.0.2";
    ::close(trap);
}

TEST(FtpServer, PassivePortServesOnlyTheClient) {
    Tree t;
    const std::string payload = RandomBytes(3 * 1024 * 1024 + 5, 7);
    WriteFile(t.Path("big.bin"), payload);
    OurFtpServer server(t.root);
    ASSERT_TRUE(server.Started());
    FtpControl c(server.Port());
    ASSERT_TRUE(c.Login());
    const std::string r = c.Cmd("PASV");
    ASSERT_EQ(r.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << r;
    int n[6];
    std::sscanf(r.c_str() + r.find('('), "(%d,%d,%d,%d,%d,%d)", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]);
    const int port = n[4] * 256 + n[5];
    const int thief = ConnectTcp(port, "127.0.0.2");
    ASSERT_GE(thief, 0);
    EXPECT_EQ(ReadToEnd(thief), ""); // dropped without a byte
    ::close(thief);
    const int d = ConnectTcp(port);
    ASSERT_GE(d, 0);
    EXPECT_EQ(c.Cmd("RETR big.bin"), "150 Opening data connection for big.bin.");
    EXPECT_EQ(ReadToEnd(d) == payload, true);
    ::close(d);
    EXPECT_EQ(c.Reply(), "226 File sent ok");
}

TEST(FtpServer, RepliesOfTheEdgeCases) {
    Tree t;
    WriteFile(t.Path("k.bin"), RandomBytes(1000, 3));
    OurFtpServer server(t.root, {"--allow", "get,put,rename,dele,cwd,mkd,rmd"});
    ASSERT_TRUE(server.Started());
    FtpControl c(server.Port());
    EXPECT_EQ(c.Greeting(), "220 FTP Server ready.");
    struct Step {
        std::string cmd, reply;
    } steps[] = {
        {"LIST", "530 Please login with USER and PASS."},
        {"PASS p", "503 Login with USER first."},
        {"NOOP x", "200 Ok. Parameter was 'x'."},
        {"STRU F", "200 Ok. STRU parameter 'F' ignored."},
        {"USER u", "331 Password required for u."},
        {"PASS wrong", "530 Login incorrect."},
        {"PWD", "530 Please login with USER and PASS."},
        {"USER u", "331 Password required for u."},
        {"PASS p", "230 User u logged in."},
        {"list -la", ""}, // lower case dispatches like LIST
        {"XYZZY", "500 'XYZZY': command not understood."},
        {" ", "500 '': command not understood."},
        {"TYPE I", "200 Type set to I."},
        {"TYPE x", "500 'TYPE x': command not understood."},
        {"MODE", "501 Missing argument for MODE"},
        {"MODE s", "200 MODE Ok"},
        {"MODE B", "502 MODE other than S not supported"},
        {"SYST", "215 UNIX Type: L8 Qordex"},
        {"REST 99999999999999999999", "501 Required byte offset parameter bad or missing."},
        {"REST 18446744073709551617", "501 Required byte offset parameter bad or missing."},
        {"REST 100", "350 REST supported. Ready to resume at byte offset 100."},
        {"RNTO x", "503 Bad sequence of commands."},
        {"RNFR k.bin", "350 File exists, ready for destination name."},
        {"NOOP", "200 Ok. Parameter was ''."},
        {"RNTO x", "503 Bad sequence of commands."},
        {"RNFR nothere", "550 '/nothere': no such file or directory."},
        {"RNFR", "501 Syntax error is parameter."},
        {"SIZE k.bin", "213 1000"},
        {"SIZE nothere", "550 Command failed: File not found."},
        {"SIZE", "501 Syntax error in parameter."},
        {"MKD newdir", "257 '/newdir': directory created."},
        {"MKD newdir", "550 '/newdir': file or directory already exists."},
        {"RMD newdir", "250 '/newdir': directory removed."},
        {"RMD k.bin", "550 '/k.bin': no such directory."},
        {"DELE nothere", "550 '/nothere': no such file or directory."},
        {"MDTM 20240229123456 k.bin", "253 Date/time changed OK"},
        {"MFMT 20200101000000 k.bin", "213 Date/time changed OK"},
        {"MDTM k.bin", "213 20200101000000.000"},
        {"MFMT k.bin", "501 Syntax error in MDTM/MFMT parameter."},
        {"MDTM 20231301000000 k.bin", "501 Syntax error in MDTM/MFMT parameter."},
        {"MDTM nothere", "550 'nothere': no such file or directory."},
        {"MD5 nothere", "550 'nothere': no such file."},
        {"MLST nothere", "550 'nothere': no such file or directory."},
        {"ABOR", "225 ABOR command successful."},
    };
    for (const Step& s : steps) {
        const std::string r = c.Cmd(s.cmd);
        if (s.cmd == "list -la") {
            // No PORT or PASV came: the data connection fails after the 150.
            EXPECT_EQ(r, "150 Opening data connection for directory list.");
            EXPECT_EQ(c.Reply().substr(0, 18), "501 Cannot RETR. C") << "listing without data port";
        }
        if (!s.reply.empty()) {
            EXPECT_EQ(r, s.reply) << s.cmd;
        }
    }
}

} // namespace
