// The content-coding registry, the Accept-Encoding value and the decoder chain.

#include "web/HttpContCod.h"

#include <QLocale>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::web;

namespace {

// A decoder of its own: named by the prefix convention, it swaps case.
class THttpContentCodingSwap : public THttpContentCoding {
public:
    using THttpContentCoding::THttpContentCoding;
    static const char* ClassName() { return "THttpContentCodingSwap"; }
    void WriteBuffer(const char* data, std::size_t len) override {
        std::string s(data, len);
        for (char& c : s)
            c = char(std::isupper((unsigned char)c) ? std::tolower(c) : std::toupper(c));
        Output(s.data(), s.size());
    }
    void Complete() override { Output("!", 1); }
};

class TMisnamed : public THttpContentCoding {
public:
    using THttpContentCoding::THttpContentCoding;
    static const char* ClassName() { return "TMisnamed"; }
    void WriteBuffer(const char*, std::size_t) override {}
};

struct Sink {
    TMemoryStream stream;
    std::string events;
    THttpContCodHandler handler{[this] { return &stream; },
                                [this](const char* d, std::size_t n) { events.append(d, n); }};
};

} // namespace

TEST(ContentCoding, RegistryHoldsIdentityAndStar) {
    const auto& items = TContCodingsList::Instance().Items();
    ASSERT_GE(items.size(), 2u);
    EXPECT_EQ(items[0]->coding, "identity");
    EXPECT_EQ(items[1]->coding, "*");
    EXPECT_EQ(items[0]->quality, 0.0f);
    EXPECT_EQ(CodingFromClassName("THttpContentCodingGzip"), "Gzip");
    try {
        CodingFromClassName("TMisnamed");
        FAIL() << "no exception";
    } catch (const EHttpContentCodingException& e) {
        EXPECT_STREQ(e.what(), "GetCoding must be overriden in TMisnamed");
    }
    EXPECT_THROW(TContCodingsList::Instance().Register<TMisnamed>(1), EHttpContentCodingException);
}

TEST(ContentCoding, HeaderValueNeedsBothOptions) {
    Sink s;
    EXPECT_EQ(s.handler.HeaderValue(), "");
    s.handler.SetEnabled(true);
    EXPECT_EQ(s.handler.HeaderValue(), ""); // qualities 0, not announced without them
    s.handler.SetUseQuality(true);
    EXPECT_EQ(s.handler.HeaderValue(), "identity;q=0, *;q=0");
}

TEST(ContentCoding, QualityIgnoresTheLocale) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German));
    EXPECT_EQ(FormatQuality(0.5f), "0.5");
    EXPECT_EQ(FormatQuality(0.123456f), "0.123");
    EXPECT_EQ(FormatQuality(0.1f), "0.1");
    EXPECT_EQ(FormatQuality(1.0f), "1");
    EXPECT_EQ(FormatQuality(0.0f), "0");
    QLocale::setDefault(saved);
}

TEST(ContentCoding, UnknownCodingIsDeliveredAsReceived) {
    Sink s;
    s.handler.SetEnabled(true);
    for (const char* coding : {"gzip", "identity, gzip", "", "identity"}) {
        s.stream.SetSize(0);
        s.stream.Seek(0);
        s.events.clear();
        s.handler.Prepare(coding);
        s.handler.Write("\x1f\x8b raw", 6);
        s.handler.Complete();
        EXPECT_EQ(s.stream.Bytes(), "\x1f\x8b raw") << coding;
        EXPECT_EQ(s.events, "\x1f\x8b raw") << coding;
    }
}

TEST(ContentCoding, RegisteredCodingJoinsTheChainAndTheHeader) {
    TContCodingsList::Instance().Register<THttpContentCodingSwap>(0.5f);
    {
        Sink s;
        s.handler.SetEnabled(true);
        EXPECT_EQ(s.handler.HeaderValue(), "Swap");
        s.handler.SetUseQuality(true);
        EXPECT_EQ(s.handler.HeaderValue(), "identity;q=0, *;q=0, Swap;q=0.5");
        s.handler.Prepare("swap, identity");
        s.handler.Write("AbC", 3);
        s.handler.Complete();
        EXPECT_EQ(s.stream.Bytes(), "aBc!");
        // Disabled: the body is written as received.
        s.handler.SetEnabled(false);
        s.stream.SetSize(0);
        s.stream.Seek(0);
        s.handler.Prepare("swap");
        s.handler.Write("AbC", 3);
        EXPECT_EQ(s.stream.Bytes(), "AbC");
    }
    TContCodingsList::Instance().Remove("THttpContentCodingSwap");
}

TEST(ContentCoding, ShortStreamWriteIsReported) {
    class Full : public TMemoryStream {
    public:
        long long Write(const void*, long long) override { return 0; }
    } full;
    THttpContCodHandler h([&] { return &full; }, {});
    h.Prepare("");
    EXPECT_TRUE(h.StreamOk());
    h.Write("x", 1);
    EXPECT_FALSE(h.StreamOk());
    h.Prepare("");
    EXPECT_TRUE(h.StreamOk());
}
