// Our encoders and decoders against Python's standard library, and the
// encode/decode commands of qordex-cli.

#include "mail/MimeUtil.h"
#include "mail/UUEnc.h"
#include "platform/MessageLoop.h"
#include "support/Process.h"

#include "support/TestData.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace qordex::mail;
using qordex::test::BinPath;
using qordex::test::HasProgram;
using qordex::test::Run;

namespace {

const std::size_t kSizes[] = {0, 1, 2, 3, 56, 57, 58, 75, 76, 77, 2 * 1024 * 1024 + 1};

using qordex::test::RandomBytes;

// Runs a Python snippet that reads bytes on stdin and writes bytes to stdout.
std::string Python(const std::string& code, const std::string& input) {
    const auto r = Run({"python3", "-c", "import sys\n" + code}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// One job for PythonBatch: expression number `fn` applied to `input`.
struct PyJob {
    std::size_t fn;
    std::string input;
};

void PutFramed(std::string& out, std::uint32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((n >> shift) & 0xFF);
}

// Runs every job in one interpreter: the Python expressions `exprs` (each
// over the bytes `b`, after `imports`) applied to the jobs' inputs.  Returns
// the results in the order of the jobs.
std::vector<std::string> PythonBatch(const std::string& imports,
                                     const std::vector<std::string>& exprs,
                                     const std::vector<PyJob>& jobs) {
    std::string framed;
    for (const auto& job : jobs) {
        PutFramed(framed, static_cast<std::uint32_t>(job.fn));
        PutFramed(framed, static_cast<std::uint32_t>(job.input.size()));
        framed += job.input;
    }
    std::string fns = "fs = [";
    for (const auto& e : exprs)
        fns += "lambda b: " + e + ",\n";
    fns += "]\n";
    const std::string code = imports + "\nimport struct\n" + fns +
                             "d = sys.stdin.buffer.read()\ni = 0\nout = []\n"
                             "while i < len(d):\n"
                             "    f, n = struct.unpack('>II', d[i:i+8])\n"
                             "    r = fs[f](d[i+8:i+8+n])\n"
                             "    i += 8 + n\n"
                             "    out.append(struct.pack('>I', len(r)) + r)\n"
                             "sys.stdout.buffer.write(b''.join(out))";
    const std::string raw = Python(code, framed);
    std::vector<std::string> results;
    std::size_t i = 0;
    while (i + 4 <= raw.size()) {
        std::uint32_t n = 0;
        for (int k = 0; k < 4; ++k)
            n = (n << 8) | static_cast<unsigned char>(raw[i + std::size_t(k)]);
        results.push_back(raw.substr(i + 4, n));
        i += 4 + n;
    }
    EXPECT_EQ(results.size(), jobs.size());
    results.resize(jobs.size());
    return results;
}

// Appends a job for each input; returns the index of the first.
std::size_t AddJobs(std::vector<PyJob>& jobs, std::size_t fn,
                    const std::vector<std::string>& inputs) {
    const std::size_t first = jobs.size();
    for (const auto& in : inputs)
        jobs.push_back({fn, in});
    return first;
}

std::vector<std::string> Samples(unsigned seed) {
    std::vector<std::string> samples;
    for (std::size_t n : kSizes)
        samples.push_back(RandomBytes(n, unsigned(n) + seed));
    return samples;
}

std::vector<std::string> Map(const std::vector<std::string>& in,
                             std::string (*fn)(std::string_view, int), int mode) {
    std::vector<std::string> out;
    for (const auto& s : in)
        out.push_back(fn(s, mode));
    return out;
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
    const auto data = Samples(0);
    std::vector<std::string> small, smallEncoded;
    for (const auto& d : data)
        if (d.size() < 1000) {
            small.push_back(d);
            smallEncoded.push_back(EncodeBase64(d));
        }
    std::vector<PyJob> jobs;
    const std::size_t ours = AddJobs(jobs, 0, Map(data, EncodeString, cmBase64));
    const std::size_t theirs = AddJobs(jobs, 1, data);
    const std::size_t oursWhole = AddJobs(jobs, 0, smallEncoded);
    const std::size_t theirsWhole = AddJobs(jobs, 2, small);
    const auto out =
        PythonBatch("import base64",
                    {"base64.b64decode(b)", "base64.encodebytes(b)", "base64.b64encode(b)"}, jobs);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_TRUE(out[ours + i] == data[i]) << data[i].size();
        EXPECT_TRUE(DecodeString(out[theirs + i], cmBase64) == data[i]) << data[i].size();
    }
    for (std::size_t i = 0; i < small.size(); ++i) {
        EXPECT_EQ(out[oursWhole + i], small[i]);
        EXPECT_EQ(DecodeBase64(out[theirsWhole + i]), small[i]);
    }
}

// Attachments come uuencoded by other programs: their lines decode to the
// very bytes, with a space or a grave accent for zero and whatever the last
// line's length, and ours decode in theirs.
TEST(PythonInterop, UUencodeBothWays) {
    REQUIRE_PYTHON();
    auto data = Samples(1);
    data.push_back(std::string("abc\0\0\0xyz", 9));
    data.push_back("abcd");
    data.push_back(RandomBytes(1024 * 1024, 11));
    std::vector<PyJob> jobs;
    // Each of our lines decodes on its own.
    const std::size_t ours = AddJobs(jobs, 0, Map(data, EncodeString, cmUUencode));
    const std::size_t spaces = AddJobs(jobs, 1, data);
    const std::size_t graves = AddJobs(jobs, 2, data);
    const auto out = PythonBatch(
        "import binascii",
        {"b''.join(binascii.a2b_uu(l) for l in b.split(b'\\r\\n') if l)",
         "b''.join(binascii.b2a_uu(b[i:i+45]) for i in range(0, len(b), 45))",
         "b''.join(binascii.b2a_uu(b[i:i+45], backtick=True) for i in range(0, len(b), 45))"},
        jobs);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_TRUE(out[ours + i] == data[i]) << data[i].size();
        EXPECT_TRUE(DecodeString(out[spaces + i], cmUUencode) == data[i]) << data[i].size();
        EXPECT_TRUE(DecodeString(out[graves + i], cmUUencode) == data[i]) << data[i].size();
    }
}

// The same against uuencode and uudecode of sharutils, with their "begin"
// and "end" lines.
TEST(UudecodeInterop, UUencodeBothWays) {
    if (!HasProgram("uudecode") || !HasProgram("uuencode"))
        GTEST_SKIP() << "uuencode and uudecode (sharutils) are not installed";
    auto data = Samples(3);
    data.push_back(RandomBytes(1024 * 1024, 12));
    for (const auto& d : data) {
        const std::string wrapped =
            "begin 644 data.bin\r\n" + EncodeString(d, cmUUencode) + "`\r\nend\r\n";
        const auto theirs = qordex::test::Run({"uudecode", "-o", "/dev/stdout"}, wrapped);
        EXPECT_EQ(theirs.status, 0) << theirs.err;
        EXPECT_TRUE(theirs.out == d) << d.size();
        const auto encoded = qordex::test::Run({"uuencode", "data.bin"}, d);
        EXPECT_EQ(encoded.status, 0) << encoded.err;
        EXPECT_TRUE(DecodeString(encoded.out, cmUUencode) == d) << d.size();
    }
}

TEST(PythonInterop, QuotedBothWays) {
    REQUIRE_PYTHON();
    const auto data = Samples(2);
    // Python's soft breaks, with CR LF as on the wire; its hard line breaks
    // keep their meaning there, so the data holds none.
    std::vector<std::string> noBreaks = data;
    for (auto& d : noBreaks)
        for (char& c : d)
            if (c == '\r' || c == '\n')
                c = 'x';
    std::vector<PyJob> jobs;
    // Our line breaks carry no meaning, so each line decodes on its own.
    const std::size_t ours = AddJobs(jobs, 0, Map(data, EncodeString, cmQuoted));
    const std::size_t theirs = AddJobs(jobs, 1, noBreaks);
    const auto out =
        PythonBatch("import quopri",
                    {"b''.join(quopri.decodestring(l) for l in b.split(b'\\r\\n'))",
                     "quopri.encodestring(b, quotetabs=True).replace(b'\\n', b'\\r\\n')"},
                    jobs);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_TRUE(out[ours + i] == data[i]) << data[i].size();
        EXPECT_TRUE(DecodeString(out[theirs + i], cmQuoted) == noBreaks[i]) << data[i].size();
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
    std::vector<PyJob> jobs;
    std::vector<std::string> texts;
    for (const auto& c : cases)
        for (char type : {'Q', 'B'})
            for (bool fold : {true, false}) {
                jobs.push_back(
                    {0, HdrEncodeInLine(c.text, Rfc822Specials(), type, fold, 66, c.charset)});
                texts.push_back(c.text);
            }
    const auto out =
        PythonBatch("from email.header import decode_header",
                    {"b''.join(p for p, cs in decode_header(b.decode('ascii')))"}, jobs);
    for (std::size_t i = 0; i < jobs.size(); ++i)
        EXPECT_EQ(out[i], texts[i]) << jobs[i].input;
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

TEST_F(CodecCommand, WritesIntoADeviceAndThroughALinkInPlace) {
    const std::string in = Path("in.bin"), target = Path("target.txt"), link = Path("link.txt");
    WriteFile(in, "abc");
    WriteFile(target, "old");
    ASSERT_EQ(QFile::link(QString::fromStdString(target), QString::fromStdString(link)), true);
    ASSERT_EQ(qordex::test::Run({cli, "encode", in, link}).status, 0);
    EXPECT_EQ(ReadFile(target), "YWJj\r\n");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(link)).isSymLink());
    // Renaming over /dev/null would replace the device for everyone.
    ASSERT_EQ(qordex::test::Run({cli, "encode", in, "/dev/null"}).status, 0);
    EXPECT_FALSE(QFileInfo(QStringLiteral("/dev/null")).isFile());
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

TEST_F(CodecCommand, FilesThatCannotBeReadOrWrittenFailWithOne) {
    const std::string in = Path("in.bin");
    WriteFile(in, "abc");
    const struct {
        std::vector<std::string> files;
        const char* message;
    } cases[] = {
        {{dir.path().toStdString()}, "Cannot open file"},
        {{in, dir.path().toStdString()}, "Cannot create file"},
        {{in, Path("no/such/dir/out.txt")}, "Cannot create file"},
        {{in, "/dev/full"}, "Cannot write file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {cli, "encode"};
        argv.insert(argv.end(), c.files.begin(), c.files.end());
        const auto r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, 1) << c.files.back();
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    const auto full = qordex::test::Shell("'" + cli + "' encode '" + in + "' > /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("Cannot write standard output"), std::string::npos) << full.err;
    // Nothing was left beside the files.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"in.bin"});
}

// Ctrl-C while the result is being written leaves neither the target nor
// the hidden temporary file beside it.
TEST_F(CodecCommand, AnInterruptedRunLeavesNoHalfWrittenFile) {
    const std::string fifo = Path("in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (int sig : {SIGINT, SIGTERM}) {
        qordex::test::Background p({cli, "decode", fifo, Path("out.bin")});
        // The decoder opens the fifo first, then its temporary file, then
        // waits for the rest of the input.
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::string part = EncodeString(RandomBytes(100000, 7), cmBase64);
        ASSERT_EQ(::write(fd, part.data(), part.size()), ssize_t(part.size()));
        auto entries = [&] {
            return QDir(dir.path())
                .entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        };
        ASSERT_TRUE(qordex::PumpUntil([&] { return entries().size() == 2; }, 20000))
            << "the temporary file appears";
        ASSERT_TRUE(p.Signal(sig));
        p.Wait(20000);
        EXPECT_FALSE(p.Running());
        ::close(fd);
        EXPECT_EQ(entries(), QStringList{"in.fifo"}) << "signal " << sig;
    }
}
