// The HTTP client window against the scripted server: its controls, the
// log lines, the stored document and its name, Save, the proxy panel,
// Cancel, and closing during a request.

#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/ScriptedDialogs.h"
#include "web/HttpProt.h"
#include "web/ui/HttpUnit.h"

#include "web/HttpPeers.h"
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qordex;
using namespace qordex::web;
using qordex::test::LoggedHeader;
using qordex::test::ReadFile;
using qordex::test::ScriptServer;
using qordex::test::WriteFile;

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class HttpWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new ScriptServer(1); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server->Ok());
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path().toStdString() + "/";
        form = new TForm4;
        form->show();
        Find(url, "URLEdit");
        Find(data, "DataEdit");
        Find(user, "UsernameEdit");
        Find(pass, "PasswordEdit");
        Find(date, "DateTimeEdit");
        Find(folderEdit, "FolderEdit");
        Find(getBt, "GetBt");
        Find(headBt, "HeadBt");
        Find(postBt, "PostBt");
        Find(cancelBt, "CancelBt");
        Find(display, "DisplayMemo");
        Find(document, "DocumentMemo");
        Find(size, "SizeLabel");
        Find(panel, "ProxyPanel");
        Find(useProxy, "PEnableCheck");
        Find(proxyAuth, "PAuthCheck");
        Find(proxyAddr, "PAddressEdit");
        Find(proxyPort, "PPortEdit");
        folderEdit->setText(QString::fromStdString(folder));
        server->Log();
    }
    void TearDown() override { delete form.data(); }
    template<class T> void Find(T*& into, const char* name) {
        into = form->findChild<T*>(name);
        ASSERT_NE(into, nullptr) << name;
    }
    QStringList Log() const { return display->Lines(); }
    // Runs `fn` from the loop once `ready` holds: for clicks during a blocking request.
    void When(std::function<bool()> ready, std::function<void()> fn) {
        auto* t = new QTimer(form);
        t->setInterval(5);
        QObject::connect(t, &QTimer::timeout, [t, ready, fn] {
            if (ready()) {
                t->stop();
                fn();
            }
        });
        t->start();
    }

    static ScriptServer* server;
    qordex::test::ScriptedDialogs dialogs;
    QTemporaryDir tmp;
    std::string folder;
    QPointer<TForm4> form;
    QLineEdit *url, *data, *user, *pass, *date, *folderEdit, *proxyAddr, *proxyPort;
    QPushButton *getBt, *headBt, *postBt, *cancelBt;
    shell::TMemo *display, *document;
    QLabel* size;
    QFrame* panel;
    QCheckBox *useProxy, *proxyAuth;
};
ScriptServer* HttpWindow::server = nullptr;

} // namespace

TEST_F(HttpWindow, ControlsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "HTTP client");
    EXPECT_EQ(form->objectName(), "TForm4");
    EXPECT_EQ(form->size(), QSize(744, 515));
    EXPECT_EQ(url->text(), "www.");
    EXPECT_EQ(data->text(), "");
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(user->toolTip(), "Username");
    EXPECT_EQ(form->findChild<QLineEdit*>("AgentEdit")->text(),
              "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; Qordex)");
    EXPECT_EQ(form->findChild<QLineEdit*>("ProgramEdit")->text(), "Qordex");
    EXPECT_EQ(getBt->text(), "Get");
    EXPECT_EQ(headBt->text(), "Head");
    EXPECT_EQ(postBt->text(), "Post");
    EXPECT_EQ(cancelBt->text(), "Cancel");
    EXPECT_FALSE(cancelBt->isEnabled());
    EXPECT_EQ(size->text(), "---");
    EXPECT_TRUE(display->isReadOnly());
    EXPECT_TRUE(document->isReadOnly());
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(useProxy->isChecked());
    EXPECT_EQ(useProxy->text(), "Use Proxy");
    EXPECT_EQ(proxyAuth->text(), "Authenticate");
    const struct {
        const char* name;
        const char* hint;
    } hints[] = {{"ParseBt", "Parse URL"},
                 {"DecodeUrlBt", "Decode data"},
                 {"NowBt", "Now date/time"},
                 {"GetTempBt", "Get temporary directory"},
                 {"ClearBt", "Clear"},
                 {"SaveBodyBt", "Save body to file"},
                 {"ProxyBt", "Proxy configuration"},
                 {"Label15", "Get default proxy address and port"}};
    for (const auto& h : hints) {
        auto* w = form->findChild<QWidget*>(h.name);
        ASSERT_NE(w, nullptr) << h.name;
        EXPECT_EQ(w->toolTip(), h.hint) << h.name;
    }
    // The engine as the window sets it.
    THttpCli& c = form->HttpCli();
    EXPECT_EQ(c.RequestVer(), "1.0");
    EXPECT_EQ(c.ProxyPort(), "80");
    EXPECT_EQ(c.LocationChangeMaxCount(), 5);
    EXPECT_EQ(c.Options(), 0u);
    // The temporary folder is filled at the first show.
    TForm4 fresh;
    fresh.show();
    EXPECT_FALSE(fresh.findChild<QLineEdit*>("FolderEdit")->text().isEmpty());
    EXPECT_TRUE(fresh.findChild<QLineEdit*>("FolderEdit")->text().endsWith(u'/'));
}

TEST_F(HttpWindow, GetShowsATextDocumentAndLogsTheDialogue) {
    url->setText(QString::fromStdString(server->Url("/files/a.txt")));
    QTest::mouseClick(getBt, Qt::LeftButton);
    const QStringList log = Log();
    ASSERT_GE(log.size(), 8) << log.join("\n").toStdString();
    EXPECT_EQ(log[0], "Not using proxy");
    EXPECT_EQ(log[1], "CMD> GET /files/a.txt HTTP/1.0");
    EXPECT_TRUE(log.contains("HDR> \"HTTP/1.1 200 OK\""));
    EXPECT_TRUE(log.contains("text/plain => a.txt"));
    EXPECT_TRUE(log.contains("Document = a.txt"));
    EXPECT_TRUE(log.contains("StatusCode = 200"));
    ASSERT_TRUE(PumpUntil([&] { return Log().contains("RequestDone, no error"); }, 5000));
    EXPECT_EQ(document->toPlainText(), "file body /files/a.txt");
    EXPECT_EQ(size->text(), "22 bytes");
    EXPECT_EQ(form->DocFileName(), "a.txt");
    EXPECT_EQ(ReadFile(folder + "a.txt"), "file body /files/a.txt");
    EXPECT_TRUE(getBt->isEnabled());
    EXPECT_FALSE(cancelBt->isEnabled());
}

TEST_F(HttpWindow, ImagesAreStoredAndOnlyAnnounced) {
    url->setText(QString::fromStdString(server->Url("/gif")));
    form->GetBtClick();
    EXPECT_EQ(form->DocFileName(), "gif.gif");
    const QStringList doc = document->Lines();
    ASSERT_EQ(doc.size(), 3);
    EXPECT_EQ(doc[0], "Content type is image/gif");
    EXPECT_EQ(doc[1], QString::fromStdString("Document stored in '" + folder + "gif.gif'"));
    EXPECT_EQ(doc[2], "Use SaveButton to save the file in a different location.");
    EXPECT_EQ(size->text(), "10 bytes");
}

TEST_F(HttpWindow, DocumentNamesComeFromThePathSafely) {
    const struct {
        const char* path;
        const char* file;
        const char* logged;
    } cases[] = {
        {"/dir/", "document.htm", nullptr},
        {"/files/.hidden", "HttpBody.htm", "Error opening file: Refused file name \".hidden\""},
        {"/files/..", "HttpBody.htm", "Using default file name: HttpBody.htm"},
    };
    for (const auto& c : cases) {
        url->setText(QString::fromStdString(server->Url(c.path)));
        form->GetBtClick();
        EXPECT_EQ(form->DocFileName(), c.file) << c.path;
        EXPECT_TRUE(Exists(folder + c.file)) << c.path;
        if (c.logged) {
            EXPECT_TRUE(Log().contains(c.logged)) << Log().join("\n").toStdString();
        }
    }
    EXPECT_FALSE(Exists(folder.substr(0, folder.size() - 1) + "/../HttpBody.htm.x"));
}

TEST_F(HttpWindow, ExistingFilesAreNeverReplacedAndOnlyOursAreDeleted) {
    WriteFile(folder + "a.txt", "mine");
    ::symlink((folder + "a.txt").c_str(), (folder + "b.txt").c_str());
    url->setText(QString::fromStdString(server->Url("/files/a.txt")));
    form->GetBtClick();
    EXPECT_EQ(form->DocFileName(), "a-1.txt");
    EXPECT_EQ(ReadFile(folder + "a.txt"), "mine");
    // A link is not followed either.
    url->setText(QString::fromStdString(server->Url("/files/b.txt")));
    form->GetBtClick();
    EXPECT_EQ(form->DocFileName(), "b-1.txt");
    EXPECT_FALSE(Exists(folder + "a-1.txt")); // the second Get cleared the first document
    EXPECT_EQ(ReadFile(folder + "a.txt"), "mine");
    form->ClearBtClick();
    EXPECT_FALSE(Exists(folder + "b-1.txt"));
    EXPECT_TRUE(Exists(folder + "a.txt"));
    EXPECT_EQ(size->text(), "---");
    EXPECT_TRUE(display->Lines().isEmpty());
}

TEST_F(HttpWindow, FailuresAreLoggedAndTheWindowStaysUsable) {
    url->setText(QString::fromStdString(server->Url("/nothing")));
    form->GetBtClick();
    const QStringList log = Log();
    ASSERT_GE(log.size(), 3);
    EXPECT_EQ(log[log.size() - 3], "GET Failed.");
    EXPECT_EQ(log[log.size() - 2], "StatusCode   = 404");
    EXPECT_EQ(log[log.size() - 1], "ReasonPhrase = Not Found");
    EXPECT_TRUE(getBt->isEnabled());
    form->HeadBtClick();
    EXPECT_TRUE(Log().contains("HEAD Failed."));
    EXPECT_TRUE(document->Lines().isEmpty());
}

TEST_F(HttpWindow, AnInvalidDateStopsBeforeTheRequest) {
    date->setText("not a date");
    url->setText(QString::fromStdString(server->Url("/files/a.txt")));
    form->GetBtClick();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0], "'not a date' is not a valid date and time");
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_TRUE(getBt->isEnabled());
    EXPECT_EQ(server->Log().size(), 0);
    // Now writes a date the request reads back.
    form->NowBtClick();
    form->GetBtClick();
    const QJsonArray log = server->Log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_NE(LoggedHeader(log[0], "If-Modified-Since"), "");
}

TEST_F(HttpWindow, PostSendsTheDataAsTyped) {
    data->setText("a=1&b=%41");
    url->setText(QString::fromStdString(server->Url("/echo")));
    form->PostBtClick();
    EXPECT_TRUE(Log().contains("StatusCode = 200"));
    EXPECT_EQ(document->toPlainText(), "POST\na=1&b=%41");
    form->DecodeUrlBtClick();
    EXPECT_EQ(Log().last(), "Data decoded = a=1");
}

TEST_F(HttpWindow, ParseLinesLineUp) {
    url->setText("http://u:p@host:81/x?y");
    form->ParseBtClick();
    EXPECT_EQ(Log(), QStringList({"URL   = http://u:p@host:81/x?y", "Proto = http", "Host  = host",
                                  "Path  = /x?y", "Port  = 81", "User  = u", "Pass  = p"}));
}

TEST_F(HttpWindow, ProxyWithoutAuthenticateSendsNoCredentials) {
    form->ProxyBtClick();
    EXPECT_TRUE(panel->isVisible());
    useProxy->setChecked(true);
    proxyAddr->setText("127.0.0.1");
    proxyPort->setText(QString::number(server->Port()));
    form->findChild<QLineEdit*>("PUserEdit")->setText("pu");
    form->findChild<QLineEdit*>("PPassEdit")->setText("pp");
    url->setText("http://example.test/echo");
    form->GetBtClick();
    EXPECT_EQ(Log()[0], QString("Using proxy '127.0.0.1:%1'").arg(server->Port()));
    const QJsonArray log = server->Log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(LoggedHeader(log[0], "Proxy-Authorization"), "");
    EXPECT_EQ(form->HttpCli().ProxyUsername(), "");
    form->ProxyBtClick();
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(HttpWindow, AddressImportsTheSystemProxy) {
    const char* saved = std::getenv("http_proxy");
    const std::string keep = saved ? saved : "";
    unsetenv("HTTP_PROXY");
    unsetenv("all_proxy");
    unsetenv("ALL_PROXY");
    auto* label = form->findChild<QLabel*>("Label15");
    form->ProxyBtClick();
    unsetenv("http_proxy");
    proxyAddr->setText("untouched");
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_EQ(proxyAddr->text(), "untouched");
    EXPECT_FALSE(useProxy->isChecked());
    setenv("http_proxy", "http://proxy.example:3128/", 1);
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_EQ(proxyAddr->text(), "proxy.example");
    EXPECT_EQ(proxyPort->text(), "3128");
    EXPECT_TRUE(useProxy->isChecked());
    if (saved)
        setenv("http_proxy", keep.c_str(), 1);
    else
        unsetenv("http_proxy");
}

TEST_F(HttpWindow, CancelAbortsTheRunningRequest) {
    url->setText(QString::fromStdString(server->Url("/hang")));
    When([&] { return form->HttpCli().State() == httpWaitingHeader; },
         [&] {
             EXPECT_FALSE(getBt->isEnabled());
             EXPECT_TRUE(cancelBt->isEnabled());
             QTest::mouseClick(cancelBt, Qt::LeftButton);
         });
    form->GetBtClick();
    const QStringList log = Log();
    ASSERT_GE(log.size(), 3);
    EXPECT_EQ(log[log.size() - 3], "GET Failed.");
    EXPECT_EQ(log[log.size() - 2], "StatusCode   = 404");
    EXPECT_EQ(log[log.size() - 1], "ReasonPhrase = Connection aborted on request");
    EXPECT_TRUE(getBt->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return Log().contains("RequestDone Error = 3"); }, 5000));
}

TEST_F(HttpWindow, ClosingDuringARequestWaitsForItToReturn) {
    url->setText(QString::fromStdString(server->Url("/chunked-slow")));
    form->HttpCli().SetRequestVer("1.1");
    When([&] { return form->HttpCli().State() == httpWaitingBody; }, [&] { form->close(); });
    QPointer<TForm4> alive(form.data());
    form->GetBtClick();                                            // the close arrives inside
    ASSERT_TRUE(PumpUntil([&] { return alive.isNull(); }, 10000)); // then it goes
    for (const char* f : {"chunked-slow", "HttpBody.htm"})
        EXPECT_FALSE(Exists(folder + f)) << f;
}

TEST_F(HttpWindow, SaveMovesTheDocumentOrOffersThePane) {
    url->setText(QString::fromStdString(server->Url("/files/a.txt")));
    form->GetBtClick();
    QTemporaryDir other;
    const QString target = other.path() + "/saved";
    dialogs.fileAnswers.push_back(target);
    form->SaveBodyBtClick();
    ASSERT_EQ(dialogs.presets.size(), 1);
    EXPECT_EQ(dialogs.presets[0], "a.txt");
    EXPECT_EQ(ReadFile(target.toStdString() + ".txt"), "file body /files/a.txt");
    EXPECT_FALSE(Exists(folder + "a.txt"));

    // The stored file is gone: the pane's text is offered instead.
    form->GetBtClick();
    ::unlink((folder + "a.txt").c_str());
    dialogs.fileAnswers.push_back(other.path() + "/pane.txt");
    dialogs.messageAnswers.push_back(QMessageBox::Yes);
    form->SaveBodyBtClick();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0], "Original temporary file do not exists, save BodyMemo content?");
    EXPECT_EQ(ReadFile(other.path().toStdString() + "/pane.txt"), "file body /files/a.txt");
}

// Saving from the temporary folder into another file system cannot rename:
// the document is copied whole, the stored file goes, no partial file stays.
TEST_F(HttpWindow, SaveIntoAnotherFileSystemCopiesTheDocument) {
    QTemporaryDir other(QStringLiteral("/dev/shm/qordex-save-XXXXXX"));
    struct stat here {}, there {};
    if (!other.isValid() || ::stat(folder.c_str(), &here) != 0 ||
        ::stat(other.path().toStdString().c_str(), &there) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "/dev/shm is not a writable file system apart from " << folder;
    url->setText(QString::fromStdString(server->Url("/files/b.txt")));
    form->GetBtClick();
    ASSERT_TRUE(Exists(folder + "b.txt"));
    const std::string target = other.path().toStdString() + "/kept";
    dialogs.fileAnswers.push_back(QString::fromStdString(target));
    form->SaveBodyBtClick();
    EXPECT_EQ(ReadFile(target + ".txt"), "file body /files/b.txt");
    EXPECT_FALSE(Exists(folder + "b.txt"));
    EXPECT_FALSE(Exists(target + ".txt.part"));
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messages.join(" | ").toStdString();
}

TEST_F(HttpWindow, DarkPaletteScreenshot) {
    form->ProxyBtClick();
    url->setText(QString::fromStdString(server->Url("/files/a.txt")));
    form->GetBtClick();
    form->setPalette(test::DarkPalette());
    const QImage shot = form->grab().toImage();
    EXPECT_EQ(shot.size(), QSize(744, 515));
    if (const char* out = std::getenv("QORDEX_SHOTS")) {
        shot.save(QString::fromLocal8Bit(out) + "/http-dark.png");
        form->setPalette(QPalette());
        form->grab().save(QString::fromLocal8Bit(out) + "/http-light.png");
    }
}
