// The buffered file stream against the bytes on disk: block rules, partial
// blocks, holes, resumed writes, reads at the end, errors that must show.

#include "ftp/BufStreams.h"
#include "support/TestData.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace qordex::ftp;
using qordex::test::RandomBytes;

namespace {

class BufStreamsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string Path(const char* name) { return dir.filePath(name).toStdString(); }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void Spit(const std::string& path, const std::string& data) {
        std::ofstream(path, std::ios::binary) << data;
    }
};

TEST_F(BufStreamsTest, BufferSizeRule) {
    const struct {
        std::uint32_t requested, chosen;
    } cases[] = {{1000, 4096}, {100, 512},     {1048576, 65536}, {8192, 8192}, {0, 512},
                 {512, 512},   {65536, 65536}, {65537, 65536},   {513, 4096},  {1536, 1536}};
    for (const auto& c : cases)
        EXPECT_EQ(TBufferedFileStream::ChooseBufferSize(c.requested), c.chosen) << c.requested;
}

TEST_F(BufStreamsTest, PartialWriteInsideExistingFileKeepsTheRest) {
    const std::string path = Path("f");
    const std::string original = RandomBytes(100, 1);
    Spit(path, original);
    {
        TBufferedFileStream s(path, fmOpenReadWrite, 65536);
        EXPECT_EQ(s.Seek(5, soBeginning), 5);
        EXPECT_EQ(s.Write("0123456789", 10), 10);
    }
    std::string expected = original;
    expected.replace(5, 10, "0123456789");
    EXPECT_EQ(Slurp(path), expected);
}

TEST_F(BufStreamsTest, BlocksReachTheFileWhenLeftAndTheRestAtClose) {
    const std::string path = Path("f");
    const std::string data = RandomBytes(70000, 2);
    auto s = std::make_unique<TBufferedFileStream>(path, fmCreate, 65536);
    EXPECT_EQ(s->Write(data.data(), 70000), 70000);
    EXPECT_EQ(Slurp(path).size(), 65536u); // the full block, not the tail
    EXPECT_EQ(s->Size(), 70000);
    s->Close();
    EXPECT_EQ(Slurp(path), data);
}

// Writes in pieces of every awkward size, on a new file and on a resumed one,
// must give the same bytes as one plain write.
TEST_F(BufStreamsTest, PiecewiseWritesAndResumeGiveTheSameFile) {
    const std::string data = RandomBytes(300000, 3);
    for (std::int64_t resumeAt : {std::int64_t(0), std::int64_t(30000), std::int64_t(65536),
                                  std::int64_t(65537), std::int64_t(131071)}) {
        for (std::size_t piece : {std::size_t(1), std::size_t(1460), std::size_t(4096),
                                  std::size_t(70000), std::size_t(262144)}) {
            if (piece == 1 && resumeAt != 30000)
                continue; // one byte at a time is slow; one case is enough
            const std::string path = Path("r");
            Spit(path, data.substr(0, std::size_t(resumeAt)));
            {
                TBufferedFileStream s(path, resumeAt ? fmOpenReadWrite : fmCreate, 65536);
                ASSERT_EQ(s.Seek(resumeAt, soBeginning), resumeAt);
                for (std::size_t at = std::size_t(resumeAt); at < data.size(); at += piece) {
                    const std::size_t n = std::min(piece, data.size() - at);
                    ASSERT_EQ(s.Write(data.data() + at, std::int64_t(n)), std::int64_t(n));
                }
                s.Close();
            }
            ASSERT_EQ(Slurp(path), data) << "resume " << resumeAt << " piece " << piece;
        }
    }
}

// A file opened for writing only cannot fill a partial block: only what was
// written may go back, never the unloaded rest of the block.
TEST_F(BufStreamsTest, WriteOnlyResumeNeverWritesBytesItDidNotHave) {
    const std::string path = Path("w");
    const std::string original = RandomBytes(100000, 4);
    Spit(path, original);
    {
        TBufferedFileStream s(path, fmOpenWrite, 65536);
        s.Seek(70000, soBeginning);
        s.Write("abc", 3);
        s.Seek(70010, soBeginning); // a gap inside the same block
        s.Write("xyz", 3);
        s.Seek(66000, soBeginning); // before the first range
        s.Write("Q", 1);
    }
    std::string expected = original;
    expected.replace(70000, 3, "abc");
    expected.replace(70010, 3, "xyz");
    expected.replace(66000, 1, "Q");
    EXPECT_EQ(Slurp(path), expected);
}

TEST_F(BufStreamsTest, SeekPastTheEndLeavesAHoleOfZeros) {
    const std::string path = Path("h");
    Spit(path, std::string(1000, 'a'));
    {
        TBufferedFileStream s(path, fmOpenReadWrite, 65536);
        EXPECT_EQ(s.Seek(5000, soBeginning), 5000);
        s.Write("z", 1);
    }
    const std::string got = Slurp(path);
    ASSERT_EQ(got.size(), 5001u);
    EXPECT_EQ(got.substr(0, 1000), std::string(1000, 'a'));
    EXPECT_EQ(got.substr(1000, 4000), std::string(4000, '\0'));
    EXPECT_EQ(got.back(), 'z');
}

TEST_F(BufStreamsTest, ReadsReturnWhatIsReallyThere) {
    const std::string path = Path("rd");
    const std::string data = RandomBytes(200000, 5);
    Spit(path, data);
    TBufferedFileStream s(path, fmOpenRead, 65536);
    std::string got;
    std::vector<char> buf(70001);
    for (std::int64_t n; (n = s.Read(buf.data(), std::int64_t(buf.size()))) > 0;)
        got.append(buf.data(), std::size_t(n));
    EXPECT_EQ(got, data);
    EXPECT_EQ(s.Read(buf.data(), 10), 0); // at the end
    // A file cut behind the stream's back: Read says how much it really got.
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    TBufferedFileStream t(path, fmOpenRead, 512);
    ASSERT_EQ(::truncate(path.c_str(), 700), 0);
    EXPECT_EQ(t.Read(buf.data(), 1000), 700);
}

TEST_F(BufStreamsTest, ReadingAWriteOnlyFileIsAnError) {
    const std::string path = Path("wo");
    Spit(path, "hello");
    TBufferedFileStream s(path, fmOpenWrite, 512);
    char buf[5];
    EXPECT_THROW(s.Read(buf, 5), EReadError);
}

TEST_F(BufStreamsTest, SeekOrigins) {
    const std::string path = Path("s");
    Spit(path, std::string(100, 'x'));
    TBufferedFileStream s(path, fmOpenRead, 512);
    EXPECT_EQ(s.Seek(10, soBeginning), 10);
    EXPECT_EQ(s.Seek(5, soCurrent), 15);
    EXPECT_EQ(s.Seek(-20, soEnd), 80);
    EXPECT_EQ(s.Seek(-500, soCurrent), 0);
    EXPECT_EQ(s.Seek32(-1, 2), 99); // the 32-bit form sign-extends
    EXPECT_THROW(s.Seek(0, TSeekOrigin(3)), EStreamError);
    try {
        s.Seek32(1, 7);
        FAIL();
    } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), "Invalid seek origin");
    }
}

TEST_F(BufStreamsTest, OpenErrorsNameTheFile) {
    const std::string missing = Path("no/such/file");
    try {
        TBufferedFileStream s(missing, fmOpenRead, 512);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + missing + "\". ", 0), 0u)
            << e.what();
    }
    EXPECT_THROW(TBufferedFileStream(missing, fmCreate, 512), EFCreateError);
}

TEST_F(BufStreamsTest, ExclusiveShareKeepsASecondWriterOut) {
    const std::string path = Path("x");
    TBufferedFileStream first(path, fmCreate, 512);
    first.Write("data", 4);
    EXPECT_THROW(TBufferedFileStream(path, fmOpenReadWrite | fmShareExclusive, 512), EFOpenError);
    EXPECT_THROW(TBufferedFileStream(path, fmCreate, 512), EFCreateError);
    first.Close();
    // Once it is closed the file is free, and was not emptied by the refusal.
    TBufferedFileStream second(path, fmOpenReadWrite | fmShareExclusive, 512);
    EXPECT_EQ(second.Size(), 4);
}

TEST_F(BufStreamsTest, AFullDiskShowsAtClose) {
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not there";
    for (std::size_t n : {std::size_t(1024), std::size_t(1 << 20)}) {
        TBufferedFileStream s("/dev/full", fmCreate, 65536);
        const std::string data(n, 'x');
        bool failed = false;
        try {
            s.Write(data.data(), std::int64_t(n));
            s.Close();
        } catch (const EWriteError&) {
            failed = true;
        }
        EXPECT_TRUE(failed) << n;
    }
}

TEST_F(BufStreamsTest, APipeIsWrittenInOrder) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[1]);
    {
        TBufferedFileStream s(path, fmCreate, 512);
        EXPECT_EQ(s.Write("hello pipe", 10), 10);
        s.Close();
    }
    ::close(fds[1]);
    char buf[32] = {};
    EXPECT_EQ(::read(fds[0], buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "hello pipe");
    ::close(fds[0]);
}

} // namespace
