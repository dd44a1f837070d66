// The HTTP server's texts: request heads (split anywhere), header fields,
// path mapping, byte ranges, listings, escaping and Digest answers.

#include "web/HttpSrvText.h"

#include <gtest/gtest.h>

#include <limits>

using namespace qordex::web;

namespace {

TEST(HttpRequestHead, ParsesWholeAndEverySplit) {
    const std::string req = "\r\nget /a/b.txt?x=1&y=2 http/1.1\r\nHost: h:81\r\nX: y\n\r\nBODY";
    for (std::size_t cut = 0; cut < req.size(); ++cut) {
        THttpRequestHead head;
        const auto r = ParseRequestHead(std::string_view(req).substr(0, cut), head);
        const bool whole = cut >= req.size() - 4;
        EXPECT_EQ(r.status, whole ? THttpHeadStatus::Done : THttpHeadStatus::NeedMore) << cut;
    }
    THttpRequestHead head;
    const auto r = ParseRequestHead(req, head);
    ASSERT_EQ(r.status, THttpHeadStatus::Done);
    EXPECT_EQ(req.substr(r.consumed), "BODY");
    EXPECT_EQ(head.method, "GET");
    EXPECT_EQ(head.path, "/a/b.txt");
    EXPECT_EQ(head.params, "x=1&y=2");
    EXPECT_EQ(head.version, "HTTP/1.1");
    EXPECT_EQ(head.headers, (std::vector<std::string>{"Host: h:81", "X: y"}));
}

TEST(HttpRequestHead, MalformedAndOversized) {
    struct Case {
        std::string data;
        THttpHeadStatus status;
    } cases[] = {
        {"GET\r\n\r\n", THttpHeadStatus::Bad},
        {"GET / HTTP/1.0 extra\r\n\r\n", THttpHeadStatus::Bad},
        {"GET /\r\n\r\n", THttpHeadStatus::Done}, // version defaults to 1.0
        {"GET /" + std::string(9000, 'a'), THttpHeadStatus::TooLarge},
        {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'a'), THttpHeadStatus::TooLarge},
        {"GET / HTTP/1.1\r\n" + [] {
             std::string s;
             for (int i = 0; i < 200; ++i)
                 s += "A: b\r\n";
             return s;
         }(),
         THttpHeadStatus::TooLarge},
        {"GET / HTTP/1.1\r\n" + [] {
             std::string s;
             for (int i = 0; i < 20; ++i)
                 s += "A: " + std::string(4000, 'b') + "\r\n";
             return s;
         }(),
         THttpHeadStatus::TooLarge},
    };
    for (const auto& c : cases) {
        THttpRequestHead head;
        EXPECT_EQ(ParseRequestHead(c.data, head).status, c.status) << c.data.substr(0, 40);
    }
    THttpRequestHead head;
    ParseRequestHead("GET /\r\n\r\n", head);
    EXPECT_EQ(head.version, "HTTP/1.0");
}

TEST(HttpRequestFields, KeepAliveAndLengths) {
    struct Case {
        std::string version;
        std::vector<std::string> lines;
        bool keepAlive;
        long long length;
        bool bad;
    } cases[] = {
        {"HTTP/1.1", {}, false, 0, false},
        {"HTTP/1.1", {"Connection: keep-alive"}, true, 0, false},
        {"HTTP/1.1", {"connection: CLOSE"}, false, 0, false},
        {"HTTP/1.0", {"Connection: Keep-Alive"}, true, 0, false},
        {"HTTP/1.0", {"Connection: upgrade"}, false, 0, false},
        {"HTTP/1.1", {"Content-Length: 12"}, false, 12, false},
        {"HTTP/1.1", {"Content-Length: -1"}, false, 0, true},
        {"HTTP/1.1", {"Content-Length: 1x"}, false, 0, true},
        {"HTTP/1.1", {"Content-Length: +5"}, false, 0, true},
        {"HTTP/1.1", {"Content-Length: 5", "Content-Length: 6"}, false, 5, true},
        {"HTTP/1.1", {"Content-Length: 5", "content-length: 5"}, false, 5, false},
        {"HTTP/1.1", {"Content-Length: 99999999999999999999"}, false, 0, true},
    };
    for (const auto& c : cases) {
        THttpRequestFields f;
        for (const auto& l : c.lines)
            ApplyHeaderLine(f, l, c.version, "80");
        EXPECT_EQ(f.keepAlive, c.keepAlive) << c.version << " " << testing::PrintToString(c.lines);
        EXPECT_EQ(f.contentLength, c.length) << testing::PrintToString(c.lines);
        EXPECT_EQ(f.badContentLength, c.bad) << testing::PrintToString(c.lines);
    }
    THttpRequestFields f;
    ApplyHeaderLine(f, "Host: example:8080", "HTTP/1.1", "80");
    ApplyHeaderLine(f, "Transfer-Encoding: chunked", "HTTP/1.1", "80");
    EXPECT_EQ(f.hostName, "example");
    EXPECT_EQ(f.hostPort, "8080");
    EXPECT_TRUE(f.hasTransferEncoding);
    THttpRequestFields g;
    ApplyHeaderLine(g, "HOST:   plain", "HTTP/1.1", "8081");
    EXPECT_EQ(g.hostName, "plain");
    EXPECT_EQ(g.hostPort, "8081");
}

TEST(HttpPaths, TraversalNeverLeavesTheRoot) {
    struct Case {
        const char* path;
        TPathCheck check;
        const char* relative;
    } cases[] = {
        {"/", TPathCheck::Ok, ""},
        {"/a/b.txt", TPathCheck::Ok, "a/b.txt"},
        {"/a/", TPathCheck::Ok, "a/"},
        {"/../x", TPathCheck::Ok, "x"},
        {"/%2e%2e/x", TPathCheck::Ok, "x"},
        {"/a/./b/../c", TPathCheck::Ok, "a/c"},
        {"/..%2fx", TPathCheck::Bad, ""},
        {"/..%2Fx", TPathCheck::Bad, ""},
        {"/..%5cx", TPathCheck::Bad, ""},
        {"/%252e%252e%252fx", TPathCheck::Ok, "%2e%2e%2fx"},
        {"/x%00.html", TPathCheck::Bad, ""},
        {"x", TPathCheck::Bad, ""},
        {"", TPathCheck::Bad, ""},
        {"//etc/passwd", TPathCheck::Ok, "etc/passwd"},
        {"/a%20b", TPathCheck::Ok, "a b"},
        {"/a%2", TPathCheck::Ok, "a%2"},
    };
    for (const auto& c : cases) {
        std::string rel;
        EXPECT_EQ(MapRequestPath(c.path, rel), c.check) << c.path;
        if (c.check == TPathCheck::Ok) {
            EXPECT_EQ(rel, c.relative) << c.path;
        }
    }
}

TEST(HttpPaths, DecodeEncodeEscape) {
    EXPECT_EQ(UrlDecodePath("a%41%4a+%"), "aAJ+%");
    EXPECT_EQ(UrlDecodePath("%4"), "%4");
    EXPECT_EQ(UrlDecodePath("x%4"), "x%4");
    EXPECT_EQ(UrlEncodeName("a b&c#%<.txt"), "a%20b%26c%23%25%3C.txt");
    EXPECT_EQ(HtmlEscape("a  b\t<\"&'>\xA0\xFF"), "a &nbsp;b&nbsp;&lt;&#34;&amp;&#39;&gt;&nbsp;&yuml;");
    EXPECT_EQ(HtmlEscape("x\ny"), "x\n<BR>y");
}

TEST(HttpRanges, ParseTable) {
    struct Case {
        const char* value;
        std::vector<std::pair<long long, long long>> ranges;
    } cases[] = {
        {"bytes=0-99", {{0, 99}}},
        {"bytes=-100", {{-1, 100}}},
        {"bytes=500-", {{500, -1}}},
        {" bytes = 0-0 , -1 ", {{0, 0}, {-1, 1}}},
        {"bytes=abc", {}},
        {"bytes=x-1,2-3", {{2, 3}}},
        {"bytes=-", {}},
        {"bytes=5-3", {}},
        {"bytes=1--3", {}},
        {"items=0-5", {}},
        {"bytes", {}},
        {"Bytes=1-2", {{1, 2}}},
    };
    for (const auto& c : cases) {
        THttpRangeList list;
        ParseRangeHeader(c.value, list);
        std::vector<std::pair<long long, long long>> got;
        for (const auto& r : list)
            got.emplace_back(r.RangeFrom, r.RangeTo);
        EXPECT_EQ(got, c.ranges) << c.value;
    }
}

TEST(HttpRanges, PlanTable) {
    struct Case {
        const char* value;
        long long size;
        TRangePlan plan;
        std::vector<std::string> texts;
    } cases[] = {
        {"bytes=0-99", 1000, TRangePlan::Partial, {"0-99/1000"}},
        {"bytes=-100", 1000, TRangePlan::Partial, {"900-999/1000"}},
        {"bytes=500-", 1000, TRangePlan::Partial, {"500-999/1000"}},
        {"bytes=0-99999", 1000, TRangePlan::Partial, {"0-999/1000"}},
        {"bytes=-5000", 1000, TRangePlan::Partial, {"0-999/1000"}},
        {"bytes=0-0,-1", 1000, TRangePlan::Partial, {"0-0/1000", "999-999/1000"}},
        {"bytes=2000-3000", 1000, TRangePlan::Unsatisfiable, {}},
        {"bytes=1000-", 1000, TRangePlan::Unsatisfiable, {}},
        {"bytes=-0", 1000, TRangePlan::Unsatisfiable, {}},
        {"bytes=0-", 0, TRangePlan::Unsatisfiable, {}},
        {"bytes=abc", 1000, TRangePlan::Whole, {}},
        {"items=0-1", 1000, TRangePlan::Whole, {}},
        {"bytes=0-1,2-3,4-5,6-7,8-9,10-11,12-13,14-15,16-17,18-19,20-21,22-23,24-25,26-27,28-29,"
         "30-31,32-33",
         1000, TRangePlan::Whole, {}},
        {"bytes=0-999,0-999", 1000, TRangePlan::Whole, {}},
        {"bytes=5368709000-", 5368709120LL, TRangePlan::Partial, {"5368709000-5368709119/5368709120"}},
        // Overlapping parts of the largest size a file may have add up past it.
        {"bytes=0-,0-", std::numeric_limits<long long>::max(), TRangePlan::Whole, {}},
        {"bytes=1-,1-", std::numeric_limits<long long>::max(), TRangePlan::Whole, {}},
    };
    for (const auto& c : cases) {
        THttpRangeList list;
        ParseRangeHeader(c.value, list);
        std::vector<TResolvedRange> parts;
        EXPECT_EQ(PlanRanges(list, c.size, parts), c.plan) << c.value;
        std::vector<std::string> texts;
        for (const auto& p : parts)
            texts.push_back(ContentRangeText(p, c.size));
        if (c.plan == TRangePlan::Partial) {
            EXPECT_EQ(texts, c.texts) << c.value;
        }
    }
}

TEST(HttpAnswers, ContentTypesDatesAndBodies) {
    EXPECT_EQ(DocumentContentType("/x/A.HTM"), "text/html");
    EXPECT_EQ(DocumentContentType("a.tar.txt"), "text/plain");
    EXPECT_EQ(DocumentContentType("a.wmlscriptc"), "application/vnd.wap.wmlscriptc");
    EXPECT_EQ(DocumentContentType("noext"), "application/binary");
    EXPECT_EQ(DocumentContentType("dir.html/file"), "application/binary");
    EXPECT_EQ(HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_NE(Answer404Body("/a<b").find("The requested URL /a&lt;b was not found"), std::string::npos);
}

TEST(HttpListing, RowsLinksAndParents) {
    THttpDirEntry f;
    f.Name = "a b&<c>.txt";
    f.SizeLow = 5;
    f.SizeHigh = 1;
    f.Year = 2020;
    f.Month = 2;
    f.Day = 3;
    f.Hour = 4;
    f.Min = 5;
    f.Sec = 6;
    const std::string row = FormatDirEntry("/dir/", f);
    EXPECT_NE(row.find("<TD>-rw--</TD><TD ALIGN=\"right\">4294967301</TD>"), std::string::npos) << row;
    EXPECT_NE(row.find("<TD>Feb 03, 2020</TD>"), std::string::npos);
    EXPECT_NE(row.find("<TD>04:05:06</TD>"), std::string::npos);
    EXPECT_NE(row.find("HREF=\"/dir/a%20b%26%3Cc%3E.txt\">a b&amp;&lt;c&gt;.txt</A>"), std::string::npos)
        << row;
    THttpDirEntry d;
    d.Name = "sub";
    d.Directory = true;
    d.ReadOnly = true;
    d.Hidden = true;
    EXPECT_NE(FormatDirEntry("/", d).find("<TD>dr--h</TD><TD ALIGN=\"right\"></TD>"), std::string::npos);
    EXPECT_NE(FormatDirEntry("/", d).find("HREF=\"/sub\""), std::string::npos);
    EXPECT_NE(FormatDirEntry("/x", d).find("HREF=\"/x/sub\""), std::string::npos);

    const std::string empty = BuildDirListText("/", {}, {});
    EXPECT_NE(empty.find("<TR><TD>No file</TD></TR>"), std::string::npos);
    EXPECT_EQ(empty.find("Total:"), std::string::npos);
    EXPECT_EQ(empty.find("To Parent"), std::string::npos);

    const std::string deep = BuildDirListText("/a/b/", {d}, {f});
    EXPECT_NE(deep.find("<A HREF=\"/a\">[To Parent Directrory]</A>"), std::string::npos) << deep;
    EXPECT_NE(deep.find("Total: 2 file(s), 4294967301 byte(s)"), std::string::npos);

    // A request path that would close the attribute is escaped in every link.
    const std::string evil = BuildDirListText("/a\"><script>/", {}, {f});
    EXPECT_EQ(evil.find("<script>"), std::string::npos) << evil;
    EXPECT_NE(evil.find("HREF=\"/a%22%3E%3Cscript%3E/a%20b"), std::string::npos) << evil;
}

TEST(HttpDigest, ResponseOfTheRfcExample) {
    // RFC 2617 §3.5.
    const TDigestFields f = ParseDigestAuthorization(
        "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
        "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
        "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.qop, "auth");
    EXPECT_EQ(f.nc, "00000001");
    EXPECT_EQ(f.algorithm, "MD5");
    EXPECT_EQ(DigestResponse(f, "Circle Of Life", "GET", {}), f.response);
    EXPECT_FALSE(ParseDigestAuthorization("Basic abc").ok);
    EXPECT_FALSE(ParseDigestAuthorization("Digest username=\"x").ok);
    EXPECT_FALSE(ParseDigestAuthorization("Digest username=x, nonce=y, response=z, algorithm=SHA").ok);
}

} // namespace
