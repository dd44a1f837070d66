// Our encoders and decoders against Python's standard library, and the
// encode/decode commands of qordex-cli.

#include "mail/MimeUtil.h"
#include "mail/UUEnc.h"
#include "support/Process.h"

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>

using namespace qordex::mail;
using qordex::test::BinPath;
using qordex::test::HasProgram;
using qordex::test::Run;

namespace {

const std::size_t kSizes[] = {0, 1, 2, 3, 56, 57, 58, 75, 76, 77, 2 * 1024 * 1024 + 1};

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(gen() & 0xFF);
    return s;
}

// Runs a Python snippet that reads bytes on stdin and writes bytes to stdout.
std::string Python(const std::string& code, const std::string& input) {
    const auto r = Run({"python3", "-c", "import sys\n" + code}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

#define REQUIRE_PYTHON()                                                                           \
    if (!HasProgram("python3"))                                                                    \
    GTEST_SKIP() << "python3 is not installed"

const char* kB64Decode = "import base64\n"
                         "sys.stdout.buffer.write(base64.b64decode(sys.stdin.buffer.read()))";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

} // namespace

TEST(PythonInterop, Base64BothWays) {
    REQUIRE_PYTHON();
    for (std::size_t n : kSizes) {
        const std::string data = RandomBytes(n, unsigned(n));
        EXPECT_EQ(Python(kB64Decode, EncodeString(data, cmBase64)), data) << n;
        const std::string theirs = Python(
            "import base64\nsys.stdout.buffer.write(base64.encodebytes(sys.stdin.buffer.read()))",
            data);
        EXPECT_EQ(DecodeString(theirs, cmBase64), data) << n;
        if (n < 1000) {
            EXPECT_EQ(Python(kB64Decode, EncodeBase64(data)), data) << n;
            EXPECT_EQ(DecodeBase64(Python("import base64\nsys.stdout.buffer.write("
                                          "base64.b64encode(sys.stdin.buffer.read()))",
                                          data)),
                      data)
                << n;
        }
    }
}

TEST(PythonInterop, UUencodeBothWays) {
    REQUIRE_PYTHON();
    for (std::size_t n : kSizes) {
        const std::string data = RandomBytes(n, unsigned(n) + 1);
        // Each of our lines decodes on its own.
        EXPECT_EQ(
            Python("import binascii\n"
                   "lines = sys.stdin.buffer.read().split(b'\\r\\n')\n"
                   "sys.stdout.buffer.write(b''.join(binascii.a2b_uu(l) for l in lines if l))",
                   EncodeString(data, cmUUencode)),
            data)
            << n;
        // Python pads a short final group with zero values, which our decoder
        // (by the length of its groups, not of its lines) reads as data: the
        // variants agree on whole groups.
        const std::string whole = data.substr(0, data.size() / 3 * 3);
        const std::string theirs =
            Python("import binascii\nd = sys.stdin.buffer.read()\n"
                   "sys.stdout.buffer.write(b''.join(binascii.b2a_uu(d[i:i+45]) "
                   "for i in range(0, len(d), 45)))",
                   whole);
        EXPECT_EQ(DecodeString(theirs, cmUUencode), whole) << n;
    }
}

TEST(PythonInterop, QuotedBothWays) {
    REQUIRE_PYTHON();
    for (std::size_t n : kSizes) {
        const std::string data = RandomBytes(n, unsigned(n) + 2);
        // Our line breaks carry no meaning, so each line decodes on its own.
        EXPECT_EQ(Python("import quopri\n"
                         "lines = sys.stdin.buffer.read().split(b'\\r\\n')\n"
                         "sys.stdout.buffer.write(b''.join(quopri.decodestring(l) for l in lines))",
                         EncodeString(data, cmQuoted)),
                  data)
            << n;
        // Python's soft breaks, with CR LF as on the wire; its hard line
        // breaks keep their meaning there, so the data holds none.
        std::string noBreaks = data;
        for (char& c : noBreaks)
            if (c == '\r' || c == '\n')
                c = 'x';
        const std::string theirs =
            Python("import quopri\nsys.stdout.buffer.write(quopri.encodestring("
                   "sys.stdin.buffer.read(), quotetabs=True).replace(b'\\n', b'\\r\\n'))",
                   noBreaks);
        EXPECT_EQ(DecodeString(theirs, cmQuoted), noBreaks) << n;
    }
}

TEST(PythonInterop, QuotedPrintableLinesSurviveARelayThatStripsTrailingSpace) {
    REQUIRE_PYTHON();
    // Python's own decoder (not the C accelerator) strips trailing white
    // space from every line, as relays do (RFC 2045, 6.7 rule 3).
    const std::vector<std::string> lines = {
        "trailing space ",
        "trailing tab\t",
        " ",
        "",
        std::string(74, 'a') + " ",
        std::string(150, 'b') + " " + std::string(100, '\xE9') + "= end  ",
        RandomBytes(300, 4),
    };
    std::string wire, expected;
    for (const auto& line : lines) {
        std::size_t pos = 1;
        std::string encoded;
        while (pos <= line.size()) {
            std::string piece = EncodeQPLine(line, 76, {}, false, pos, true);
            EXPECT_LE(piece.size(), 76u);
            encoded += piece + (pos <= line.size() ? "\r\n" : "");
        }
        wire += encoded + "\r\n";
        expected += line + "\n";
    }
    EXPECT_EQ(Python("import io, quopri\nquopri.a2b_qp = None\nout = io.BytesIO()\n"
                     "quopri.decode(io.BytesIO(sys.stdin.buffer.read()), out)\n"
                     "sys.stdout.buffer.write(out.getvalue())",
                     wire),
              expected);
}

TEST(PythonInterop, EncodedWordsDecodeWithEmailHeader) {
    REQUIRE_PYTHON();
    const struct {
        std::string text, charset;
    } cases[] = {
        {"R\xE9sum\xE9 of the caf\xE9 meeting: na\xEFve questions about the cr\xE8me "
         "br\xFBl\xE9"
         "e budget (draft) for next year, with _underscores_ and a=b?",
         "iso-8859-1"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e aus K\xC3\xB6ln \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
         "text that is long enough to be folded into several encoded words",
         "utf-8"},
    };
    const char* decode = "from email.header import decode_header\n"
                         "parts = decode_header(sys.stdin.buffer.read().decode('ascii'))\n"
                         "sys.stdout.buffer.write(b''.join(p for p, cs in parts))";
    for (const auto& c : cases)
        for (char type : {'Q', 'B'})
            for (bool fold : {true, false}) {
                const std::string header =
                    HdrEncodeInLine(c.text, Rfc822Specials(), type, fold, 66, c.charset);
                EXPECT_EQ(Python(decode, header), c.text) << type << fold << " " << header;
            }
}

class CodecCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        cli = BinPath("qordex-cli");
    }
    std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }
    QTemporaryDir dir;
    std::string cli;
};

TEST_F(CodecCommand, EncodeThenDecodeThroughAPipeGivesTheFileBack) {
    const std::string data = RandomBytes(3 * 1024 * 1024 + 5, 21);
    const std::string file = Path("data.bin");
    WriteFile(file, data);
    const auto encoded = qordex::test::Run({cli, "encode", "--mode", "base64", file});
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    const auto decoded = qordex::test::Run({cli, "decode", "--mode", "base64"}, encoded.out);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_TRUE(decoded.out == data);
    if (HasProgram("python3")) {
        EXPECT_TRUE(Python(kB64Decode, encoded.out) == data);
    }
    const auto piped = qordex::test::Shell("'" + cli + "' encode --mode base64 '" + file + "' | '" +
                                           cli + "' decode --mode base64 | cmp - '" + file + "'");
    EXPECT_EQ(piped.status, 0) << piped.out << piped.err;
}

TEST_F(CodecCommand, EveryModeBetweenFilesAndInPlace) {
    const std::string data = RandomBytes(100000, 22);
    for (const char* mode : {"base64", "uu", "quoted"}) {
        const std::string in = Path("in.bin"), mid = Path("mid.txt"), out = Path("out.bin");
        WriteFile(in, data);
        WriteFile(out, "old contents that must go");
        ASSERT_EQ(qordex::test::Run({cli, "encode", std::string("--mode=") + mode, in, mid}).status,
                  0);
        ASSERT_EQ(qordex::test::Run({cli, "decode", "--mode", mode, mid, out}).status, 0);
        EXPECT_TRUE(ReadFile(out) == data) << mode;
        // The same file as source and target: the result replaces it whole.
        ASSERT_EQ(qordex::test::Run({cli, "encode", "--mode", mode, in, in}).status, 0);
        EXPECT_TRUE(ReadFile(in) == ReadFile(mid)) << mode;
        // "-" stands for standard input and output.
        const auto r = qordex::test::Run({cli, "decode", "--mode", mode, "-", "-"}, ReadFile(mid));
        EXPECT_TRUE(r.out == data) << mode;
    }
}

TEST_F(CodecCommand, BadUsageExitsWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {cli, "encode", "--mode", "rot13"},
        {cli, "decode", "--mode"},
        {cli, "encode", "--bogus"},
        {cli, "decode", "a", "b", "c"},
    };
    for (const auto& argv : cases) {
        const auto r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, 2) << argv.back();
        EXPECT_NE(r.err.find("qordex-cli " + argv[1] + ":"), std::string::npos) << r.err;
    }
    const auto help = qordex::test::Run({cli, "encode", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--mode"), std::string::npos);
}

TEST_F(CodecCommand, AMissingInputFailsAndLeavesTheOutput) {
    const std::string out = Path("keep.txt");
    WriteFile(out, "keep me");
    const auto r = qordex::test::Run({cli, "encode", Path("missing.bin"), out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot open file"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(out), "keep me");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}
