// GetAll against a mailbox server on loopback: the names that unique ids
// give, nothing written outside the folder, reruns, cut messages, and the
// message file that appears only whole.

#include "Pop3Peers.h"
#include "mail/EmailRead.h"
#include "mail/Pop3Prot.h"
#include "platform/MessageLoop.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

using namespace qordex;
using namespace qordex::mail;
using namespace qordex::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// Every entry under a folder, with "/" after folders and "@" after links.
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string name = fs::relative(it->path(), root).string();
        if (it->is_symlink())
            name += "@";
        else if (it->is_directory())
            name += "/";
        out.insert(name);
    }
    return out;
}

// A logged-in client and a GetAll run on it.
struct Session {
    explicit Session(const MailboxServer& server)
        : getAll(pop3, [this](const std::string& l) { log.push_back(l); }) {
        pop3.SetHost("127.0.0.1");
        pop3.SetPort(server.PortText());
        pop3.SetUserName("alice");
        pop3.SetPassWord("secret");
        pop3.OnRequestDone = [this](TCustomPop3Cli*, TPop3Request, std::uint16_t e) {
            ++done;
            last = e;
        };
        getAll.OnFinished = [this](bool good, const std::string& e, bool fileError) {
            finished = true;
            ok = good;
            error = e;
            fileFailure = fileError;
        };
    }
    bool Open() {
        done = 0;
        pop3.Open();
        return PumpUntil([&] { return done > 0; }, 20000) && last == 0;
    }
    // Runs GetAll to its end; returns its log.
    Lines Run(const std::string& folder) {
        log.clear();
        finished = false;
        getAll.Start(folder);
        if (!PumpUntil([&] { return finished; }, 30000))
            ADD_FAILURE() << "GetAll did not end";
        return log;
    }

    TPop3Cli pop3;
    TPop3GetAll getAll;
    Lines log;
    int done = 0, last = -1;
    bool finished = false, ok = false, fileFailure = false;
    std::string error;
};

std::string Message(const std::string& subject, const std::string& body) {
    return "From: a@example.org\r\nSubject: " + subject + "\r\n\r\n" + body + "\r\n";
}

} // namespace

TEST(Pop3GetAll, NamesStayInsideTheFolder) {
    struct Case {
        std::string uidl, file;
    } cases[] = {
        {"plain-1", "Msg plain-1.txt"},
        {"../x", "Msg ..%2Fx.txt"},
        {"..", "Msg ...txt"},
        {"../../../../tmp/evil", "Msg ..%2F..%2F..%2F..%2Ftmp%2Fevil.txt"},
        {"a\\b", "Msg a%5Cb.txt"},
        {"50%", "Msg 50%25.txt"},
        {"/abs", "Msg %2Fabs.txt"},
        {"dangling", "Msg dangling.txt"},
    };
    std::vector<MailboxMessage> box;
    int i = 0;
    for (const Case& c : cases)
        box.push_back({c.uidl, Message("m" + std::to_string(++i), "..dot line\r\n.\r\nlast")});
    MailboxServer server(box);
    QTemporaryDir top;
    const fs::path folder = fs::path(top.path().toStdString()) / "box";
    fs::create_directories(folder);
    // A folder that a naive "Msg " + "../x" would write into, and a dangling
    // link under a message's name that must be neither replaced nor followed.
    fs::create_directory(folder / "Msg ..");
    fs::create_symlink(fs::path(top.path().toStdString()) / "target.txt",
                       folder / "Msg dangling.txt");

    Session s(server);
    ASSERT_TRUE(s.Open());
    const Lines log = s.Run(folder.string() + "/");
    EXPECT_TRUE(s.ok) << s.error;
    Lines want;
    for (std::size_t n = 1; n <= std::size(cases); ++n)
        want.push_back("Message " + std::to_string(n) +
                       (cases[n - 1].uidl == "dangling" ? " already here" : ""));
    want.push_back("Finished");
    EXPECT_EQ(log, want);

    std::set<std::string> expected = {"Msg ../", "Msg dangling.txt@"};
    for (const Case& c : cases)
        if (c.uidl != "dangling")
            expected.insert(c.file);
    EXPECT_EQ(Tree(folder), expected);
    // Nothing beside the folder either: no link target, no stray file.
    EXPECT_EQ(Tree(top.path().toStdString()).count("target.txt"), 0u);
    std::set<std::string> outside;
    for (const auto& e : fs::directory_iterator(top.path().toStdString()))
        outside.insert(e.path().filename().string());
    EXPECT_EQ(outside, (std::set<std::string>{"box"}));
    // The file holds the unstuffed lines, each ended by CR LF.
    EXPECT_EQ(ReadFile(folder / "Msg ..%2Fx.txt"), Message("m2", "..dot line\r\n.\r\nlast"));

    // A rerun downloads nothing.
    const Lines again = s.Run(folder.string());
    Lines here;
    for (std::size_t n = 1; n <= std::size(cases); ++n)
        here.push_back("Message " + std::to_string(n) + " already here");
    here.push_back("Finished");
    EXPECT_EQ(again, here);
    EXPECT_TRUE(s.ok);
}

TEST(Pop3GetAll, ACutMessageLeavesNoFile) {
    const std::vector<MailboxMessage> box = {
        {"one", Message("1", "first")},
        {"two", Message("2", std::string(200000, 'b'))},
        {"three", Message("3", "third")},
    };
    QTemporaryDir folder;
    {
        MailboxServer server(box, /*cutRetr=*/2);
        Session s(server);
        ASSERT_TRUE(s.Open());
        const Lines log = s.Run(folder.path().toStdString());
        EXPECT_EQ(log, (Lines{"Message 1", "Message 2", "Error -ERR Disconneced unexpectedly"}));
        EXPECT_FALSE(s.ok);
        EXPECT_FALSE(s.fileFailure);
        // Only the whole message is there: no part of the second, no temporary file.
        EXPECT_EQ(Tree(folder.path().toStdString()), (std::set<std::string>{"Msg one.txt"}));
    }
    {
        MailboxServer server(box);
        Session s(server);
        ASSERT_TRUE(s.Open());
        EXPECT_EQ(s.Run(folder.path().toStdString()),
                  (Lines{"Message 1 already here", "Message 2", "Message 3", "Finished"}));
        EXPECT_EQ(ReadFile(fs::path(folder.path().toStdString()) / "Msg two.txt"),
                  Message("2", std::string(200000, 'b')));
    }
}

TEST(Pop3GetAll, StopsAtIdsThatNameNoFile) {
    struct Case {
        std::string uidl;
        Lines log;
    } cases[] = {
        {"", {"Message 1", "Error Message 2: empty unique id"}},
        {std::string(300, 'u'),
         {"Message 1", "Error Message 2: unique id too long for a file name"}},
    };
    for (const Case& c : cases) {
        MailboxServer server({{"ok", Message("1", "x")}, {c.uidl, Message("2", "y")}});
        QTemporaryDir folder;
        Session s(server);
        ASSERT_TRUE(s.Open());
        EXPECT_EQ(s.Run(folder.path().toStdString()), c.log);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(Tree(folder.path().toStdString()), (std::set<std::string>{"Msg ok.txt"}));
    }
}

TEST(Pop3GetAll, EmptyMailboxAndMissingFolder) {
    MailboxServer server({});
    Session s(server);
    ASSERT_TRUE(s.Open());
    QTemporaryDir folder;
    EXPECT_EQ(s.Run(folder.path().toStdString()), (Lines{"No message to download."}));
    EXPECT_TRUE(s.ok);
    EXPECT_THROW(s.getAll.Start(folder.path().toStdString() + "/missing/"), std::runtime_error);
    EXPECT_FALSE(s.getAll.Running());
}

TEST(MessageFile, AppearsOnlyWhenCommitted) {
    QTemporaryDir dir;
    std::string error;
    const int fd = OpenMessageFolder(dir.path().toStdString(), error);
    ASSERT_GE(fd, 0) << error;
    const fs::path root = dir.path().toStdString();
    {
        auto f = TMessageFile::Create(fd, error);
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->WriteLine("half"));
        // Dropped uncommitted: nothing stays.
    }
    EXPECT_TRUE(fs::is_empty(root));

    auto f = TMessageFile::Create(fd, error);
    ASSERT_TRUE(f);
    f->WriteLine("a");
    f->WriteLine("");
    ASSERT_TRUE(f->Commit("out.txt", false, error)) << error;
    EXPECT_EQ(ReadFile(root / "out.txt"), "a\r\n\r\n");

    // Without replace, whatever stands under the name stays as it is.
    fs::create_symlink(root / "nowhere", root / "link.txt");
    fs::create_directory(root / "dir.txt");
    for (const char* name : {"out.txt", "link.txt", "dir.txt"}) {
        auto g = TMessageFile::Create(fd, error);
        g->WriteLine("new");
        bool exists = false;
        EXPECT_FALSE(g->Commit(name, false, error, &exists)) << name;
        EXPECT_TRUE(exists) << name;
    }
    EXPECT_EQ(ReadFile(root / "out.txt"), "a\r\n\r\n");
    EXPECT_FALSE(fs::exists(root / "nowhere"));
    EXPECT_EQ(Tree(root), (std::set<std::string>{"out.txt", "link.txt@", "dir.txt/"}));

    // With replace (qordex-cli's -o) a file is replaced.
    auto h = TMessageFile::Create(fd, error);
    h->WriteLine("replaced");
    ASSERT_TRUE(h->Commit("out.txt", true, error)) << error;
    EXPECT_EQ(ReadFile(root / "out.txt"), "replaced\r\n");
    EXPECT_TRUE(MessageNameTaken(fd, "link.txt"));
    EXPECT_FALSE(MessageNameTaken(fd, "free.txt"));
    ::close(fd);
}
