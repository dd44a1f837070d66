// The FTP server's command-line, PORT, REST, MDTM and path parsing and its
// listing lines.

#include "ftp/FtpSrvParse.h"

#include <gtest/gtest.h>

using namespace qordex::ftp;

namespace {

TEST(FtpSrvParse, CommandKeywordAndParams) {
    struct Case {
        std::string line, keyword, params;
    } cases[] = {
        {"list", "LIST", ""},
        {"  Retr \t a file.txt ", "RETR", "a file.txt "},
        {"MD5 x", "MD5", "x"},
        {"", "", ""},
        {"   ", "", ""},
        {"-x y", "", "-x y"},
        {std::string("NO\xff\xf4OP"), "NOOP", ""},                // IAC IP dropped with its byte
        {std::string("STOR a\xff\xff"), "STOR", "a\xff"},        // IAC IAC is one 255
        {std::string("STOR a\xff"), "STOR", "a"},                // a lone trailing IAC goes
        {"CWD ..\\x", "CWD", "..\\x"},
    };
    for (const Case& c : cases) {
        const FtpCommandLine out = ParseFtpCommand(c.line);
        EXPECT_EQ(out.keyword, c.keyword) << c.line;
        EXPECT_EQ(out.params, c.params) << c.line;
    }
}

TEST(FtpSrvParse, PortArgumentTakesOnlySixBytes) {
    struct Case {
        std::string params;
        bool ok;
        std::string addr;
        int port;
    } cases[] = {
        {"127,0,0,1,4,1", true, "127.0.0.1", 1025},
        {" 10 , 1 ,2,3, 255 , 255 ", true, "10.1.2.3", 65535},
        {"127,0,0,1,0,21", true, "127.0.0.1", 21}, // form only: the engine refuses the port
        {"127,0,0,1,4", false, "", 0},
        {"127,0,0,1,4,1,7", false, "", 0},
        {"256,0,0,1,4,1", false, "", 0},
        {"127,0,0,1,300,1", false, "", 0},
        {"127,0,0,1,4,1000", false, "", 0},
        {"127,0,0,1,4,99999999999999999999", false, "", 0},
        {"127,0,0,1,4,-1", false, "", 0},
        {"a,b,c,d,e,f", false, "", 0},
        {"", false, "", 0},
        {"127,,0,1,4,1", false, "", 0},
    };
    for (const Case& c : cases) {
        const auto out = ParsePortArgument(c.params);
        ASSERT_EQ(out.has_value(), c.ok) << c.params;
        if (c.ok) {
            EXPECT_EQ(out->addr, c.addr);
            EXPECT_EQ(out->port, c.port);
        }
    }
}

TEST(FtpSrvParse, RestOffsetRefusesWhatDoesNotFit) {
    EXPECT_EQ(ParseRestOffset("100"), 100);
    EXPECT_EQ(ParseRestOffset("  42abc"), 42);
    EXPECT_EQ(ParseRestOffset(""), 0);
    EXPECT_EQ(ParseRestOffset("x"), 0);
    EXPECT_EQ(ParseRestOffset("9223372036854775807"), INT64_MAX);
    EXPECT_FALSE(ParseRestOffset("9223372036854775808"));
    EXPECT_FALSE(ParseRestOffset("18446744073709551616")); // would wrap to 0
    EXPECT_FALSE(ParseRestOffset("99999999999999999999999"));
}

TEST(FtpSrvParse, MdtmArguments) {
    MdtmArgument m = ParseMdtmArgument("20240229123456 file name.txt");
    EXPECT_TRUE(m.valid);
    EXPECT_TRUE(m.hasTime);
    EXPECT_FALSE(m.hasZone);
    EXPECT_EQ(m.utc, 1709210096);
    EXPECT_EQ(m.name, "file name.txt");

    m = ParseMdtmArgument("20240229123456+60 f");
    EXPECT_TRUE(m.hasZone);
    EXPECT_EQ(m.utc, 1709210096 + 3600);
    EXPECT_EQ(m.name, "f");

    m = ParseMdtmArgument("plain.txt");
    EXPECT_FALSE(m.hasTime);
    EXPECT_EQ(m.name, "plain.txt");

    m = ParseMdtmArgument("2024022912345 short-stamp");
    EXPECT_FALSE(m.hasTime);
    EXPECT_EQ(m.name, "2024022912345 short-stamp");

    for (const char* bad : {"20230229000000 f", "20241301000000 f", "20240100000000 f",
                            "20240101240000 f", "20240101006000 f"})
        EXPECT_FALSE(ParseMdtmArgument(bad).valid) << bad;
}

TEST(FtpSrvParse, VirtualPathsStayUnderTheRoot) {
    struct Case {
        std::string cwd, arg;
        std::optional<std::string> out;
    } cases[] = {
        {"/", "a.txt", "/a.txt"},
        {"/sub/", "a.txt", "/sub/a.txt"},
        {"/sub/", "/a.txt", "/a.txt"},
        {"/sub/", "", "/sub"},
        {"/", "", "/"},
        {"/", "../x", "/x"},
        {"/", "/../x", "/x"},
        {"/", "sub/../../x", "/x"},
        {"/", "..\\x", "/x"},
        {"/a/b/", "..", "/a"},
        {"/a/b/", "../../../..", "/"},
        {"/", "%2e%2e/x", "/%2e%2e/x"}, // no URL decoding
        {"/", "c:\\x", "/c:/x"},        // ":" is an ordinary character
        {"/", "./a/./b//c/", "/a/b/c"},
        {"/", std::string("a\0b", 3), std::nullopt},
        {"/", std::string(256, 'n'), std::nullopt},
        {"/", std::string(255, 'n'), "/" + std::string(255, 'n')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveVirtualPath(c.cwd, c.arg), c.out) << c.cwd << " + " << c.arg;

    // A long chain of folders is refused once it passes the limit.
    std::string cwd = "/";
    int steps = 0;
    while (auto next = ResolveVirtualPath(cwd, std::string(200, 'd'))) {
        cwd = AsDirectory(*next);
        ++steps;
        ASSERT_LT(steps, 100);
    }
    EXPECT_LE(cwd.size(), kMaxVirtualPath + 1);
    EXPECT_GT(steps, 10);
}

TEST(FtpSrvParse, ListLinesAndFacts) {
    setenv("TZ", "UTC", 1);
    tzset();
    FtpDirEntry f;
    f.name = "report.txt";
    f.size = 1234;
    f.modified = 1709647620; // 2024-03-05 14:07 UTC
    f.created = f.modified;
    EXPECT_EQ(FormatListLine(f, 2024),
              "-rw-rw-rw-   1 ftp      ftp         1234 Mar 05 14:07 report.txt\r\n");
    EXPECT_EQ(FormatListLine(f, 2025),
              "-rw-rw-rw-   1 ftp      ftp         1234 Mar 05  2024 report.txt\r\n");
    f.readOnly = true;
    f.name = "RUN.Exe";
    f.size = 5000000000LL;
    EXPECT_EQ(FormatListLine(f, 2024),
              "-r-xr-xr-x   1 ftp      ftp   5000000000 Mar 05 14:07 RUN.Exe\r\n");
    EXPECT_EQ(FormatFacts(f),
              "size=5000000000;type=file;perm=r;create=20240305140700;modify=20240305140700; RUN.Exe");
    f.readOnly = false;
    EXPECT_NE(FormatFacts(f).find("perm=fdrwa;"), std::string::npos);
    FtpDirEntry d;
    d.isDir = true;
    for (auto [name, type] : {std::pair{".", "cdir"}, {"..", "pdir"}, {"sub", "dir"}}) {
        d.name = name;
        EXPECT_EQ(FormatFacts(d).rfind(std::string("size=0;type=") + type + ";perm=fdelcmp;", 0), 0u);
    }
    EXPECT_EQ(FormatListLine(d, 1970).substr(0, 10), "drw-rw-rw-");
}

} // namespace
