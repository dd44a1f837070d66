// The FTP client window as a person drives it: its controls, buttons run
// against pyftpdlib and the scripted server, the listing window, the log
// limit, and QUIT when the window closes.

#include "ftp/FtpTestSupport.h"
#include "ftp/ui/DirUnit.h"
#include "ftp/ui/FtpCUnit.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/FtpPeers.h"
#include "support/Palettes.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qordex;
using namespace qordex::ftp;
using qordex::test::FtpScript;
using qordex::test::ScriptedFtpServer;

namespace {

class FtpWindow : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm7;
        form->show();
        memo = form->findChild<shell::TMemo*>("DisplayMemo");
        ASSERT_TRUE(memo);
    }
    void TearDown() override { delete form.data(); }
    QLineEdit* Edit(const char* name) { return form->findChild<QLineEdit*>(name); }
    QCheckBox* Check(const char* name) { return form->findChild<QCheckBox*>(name); }
    void Click(const char* name) {
        auto* b = form->findChild<QPushButton*>(name);
        ASSERT_TRUE(b) << name;
        b->click();
    }
    bool LogHas(const QString& text, int timeoutMs = 15000) {
        return PumpUntil(
            [&] {
                for (const QString& l : memo->Lines())
                    if (l.contains(text))
                        return true;
                return false;
            },
            timeoutMs);
    }
    void Target(int port, const char* user = "", const char* pass = "") {
        Edit("HostNameEdit")->setText("127.0.0.1");
        Edit("PortEdit")->setText(QString::number(port));
        Edit("UserNameEdit")->setText(user);
        Edit("PassWordEdit")->setText(pass);
    }
    QPointer<TForm7> form;
    shell::TMemo* memo = nullptr;
};

TEST_F(FtpWindow, ControlsCaptionsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "FTP client");
    EXPECT_EQ(form->size(), QSize(744, 424));
    EXPECT_EQ(Edit("PortEdit")->text(), "21");
    const std::pair<const char*, bool> checks[] = {{"cbBinary", true},
                                                   {"cbDisplay", false},
                                                   {"PassiveCheckBox", true},
                                                   {"SyncCheckBox", false},
                                                   {"NoAutoResumeAtCheckBox", false},
                                                   {"FtpCheck", false},
                                                   {"PAuthCheck", false}};
    for (const auto& [name, on] : checks) {
        ASSERT_TRUE(Check(name)) << name;
        EXPECT_EQ(Check(name)->isChecked(), on) << name;
    }
    const std::pair<const char*, const char*> buttons[] = {
        {"ConnectAsyncButton", "Connect"},     {"DirAsyncButton", "Directory List"},
        {"LsAsyncButton", "File List"},        {"CDupAsyncButton", "Dir Up"},
        {"RestGetAsyncButton", "Restart Get"}, {"AbortAsyncButton", "Abort"},
        {"ReceiveAsyncButton", "Receive"},     {"DoQuoteAsyncButton", "Do Quote"},
        {"FileSizeAsyncButton", "File Size"},  {"RmdirAsyncButton", "Remove Dir"},
    };
    for (const auto& [name, caption] : buttons) {
        auto* b = form->findChild<QPushButton*>(name);
        ASSERT_TRUE(b) << name;
        EXPECT_EQ(b->text(), caption);
    }
    EXPECT_EQ(form->findChildren<QPushButton*>().size(), 24 + 14);
    QStringList groups;
    for (auto* g : form->findChildren<QGroupBox*>())
        groups << g->title();
    EXPECT_TRUE(groups.contains("Synchorous mode")) << groups.join(",").toStdString();
    EXPECT_TRUE(groups.contains("Asynchronous mode"));
    auto* combo = form->findChild<QComboBox*>("ProxyCombo");
    ASSERT_TRUE(combo);
    EXPECT_EQ(combo->currentText(), "FTP Proxy");
    EXPECT_EQ(combo->count(), 4);
    auto* panel = form->findChild<QWidget*>("ProxyPanel");
    ASSERT_TRUE(panel);
    EXPECT_FALSE(panel->isVisible());
    form->findChild<QToolButton*>("ProxyBt")->click();
    EXPECT_TRUE(panel->isVisible());
    // The listing work file lives in a folder of the window's own.
    EXPECT_EQ(form->ListingFile().rfind("/tmp/FTPTEMP.TXT"), std::string::npos);
    EXPECT_NE(form->ListingFile().find("FTPTEMP.TXT"), std::string::npos);
}

TEST_F(FtpWindow, LooksRightInLightAndDarkPalettes) {
    auto* panel = form->findChild<QWidget*>("ProxyPanel");
    const QString dir = QString::fromLocal8Bit(qgetenv("QORDEX_SHOT_DIR"));
    for (bool dark : {false, true}) {
        form->setPalette(dark ? test::DarkPalette() : QApplication::style()->standardPalette());
        panel->setVisible(dark);
        form->Log("220 ready");
        const QImage shot = form->grab().toImage();
        EXPECT_EQ(shot.size(), QSize(744, 424));
        if (!dir.isEmpty())
            shot.save(dir + (dark ? "/ftp-dark.png" : "/ftp-light.png"));
        // The log's text stands out from its background in both palettes.
        EXPECT_NE(memo->palette().color(QPalette::Text), memo->palette().color(QPalette::Base));
    }
}

TEST_F(FtpWindow, TheLogKeepsAtMost201Lines) {
    for (int i = 0; i < 500; ++i) {
        form->Log(QString::number(i));
        ASSERT_LE(memo->Lines().size(), 201) << i;
    }
    EXPECT_EQ(memo->Lines().last(), "499");
}

TEST_F(FtpWindow, ButtonsAgainstPyftpdlibAndTheListingWindow) {
    QTemporaryDir served;
    ::chmod(served.path().toLocal8Bit().constData(), 0755);
    std::ofstream(served.filePath("one.txt").toStdString()) << "1\n";
    std::ofstream(served.filePath("two.txt").toStdString()) << "22\n";
    qordex::test::PyftpdPeer peer(served.path().toStdString(), "win", "pw");
    if (!peer.Available())
        GTEST_SKIP() << peer.SkipReason();
    Target(peer.Port(), "win", "pw");

    Click("ConnectAsyncButton");
    ASSERT_TRUE(LogHas("Request 5 Done."));
    EXPECT_TRUE(LogHas("Session Connected, error = 0"));
    EXPECT_EQ(form->findChild<QLabel*>("StateLabel")->text(), "1");

    Click("LsAsyncButton");
    ASSERT_TRUE(LogHas("Request 8 Done."));
    ASSERT_TRUE(PumpUntil([&] { return form->DirectoryForm() != nullptr; }, 5000));
    QStringList names;
    for (int i = 0; i < form->DirectoryForm()->List()->count(); ++i)
        names << form->DirectoryForm()->List()->item(i)->text();
    names.sort();
    EXPECT_EQ(names, (QStringList{"one.txt", "two.txt"}));
    EXPECT_EQ(form->DirectoryForm()->windowTitle(), "Directory list");

    // "Display Data" shows the listing in the log and stores nothing.
    Check("cbDisplay")->setChecked(true);
    Click("DirAsyncButton");
    ASSERT_TRUE(LogHas("Request 7 Done."));
    EXPECT_EQ(form->DirectoryForm()->List()->count(), 0);

    // SIZE counts in the current type: pyftpdlib answers it in binary only.
    Click("TypeSetAsyncButton");
    ASSERT_TRUE(LogHas("Request 37 Done."));
    Edit("HostFileEdit")->setText("two.txt");
    Click("SizeAsyncButton");
    EXPECT_TRUE(LogHas("File size is 3 bytes"));

    Check("SyncCheckBox")->setChecked(true);
    Click("PwdAsyncButton");
    EXPECT_TRUE(LogHas("Directory is \"/\""));
    EXPECT_TRUE(LogHas("Command Success"));
    Edit("HostFileEdit")->setText("missing");
    Click("DeleAsyncButton");
    EXPECT_TRUE(LogHas("Command Failure"));

    // Closing the listing window clears the tool's flag; the next listing opens a new one.
    form->DirectoryForm()->close();
    EXPECT_TRUE(PumpUntil([&] { return form->DirectoryForm() == nullptr; }, 5000));
}

TEST_F(FtpWindow, ABadResumeOffsetSendsNothing) {
    qordex::test::ScriptedDialogs dialogs;
    Edit("ResumeAtEdit")->setText("12x");
    Click("RestartGetAsyncButton");
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0], "'12x' is not a valid integer value");
    EXPECT_FALSE(LogHas("Executing Requested Command", 0));
}

TEST_F(FtpWindow, CopiesWhatEachButtonNames) {
    qordex::test::ScriptedDialogs dialogs; // refusals: nothing is connected
    TFtpClient& c = form->FtpClient1();
    // "Restart Get" sets the options anew: line feeds alone no longer end replies.
    Edit("ResumeAtEdit")->setText("0");
    Check("NoAutoResumeAtCheckBox")->setChecked(true);
    Click("RestGetAsyncButton");
    EXPECT_EQ(c.Options(), TFtpOptions(ftpNoAutoResumeAt));
    // "Get" leaves the type alone.
    Check("cbBinary")->setChecked(false);
    Click("GetAsyncButton");
    EXPECT_TRUE(c.Binary());
    Click("TypeSetAsyncButton");
    EXPECT_FALSE(c.Binary());
    EXPECT_EQ(dialogs.messages.size(), 3); // each was refused with a message
}

TEST_F(FtpWindow, ClosingWhileConnectedSendsQuit) {
    FtpScript s;
    s.Login().Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    Target(std::stoi(srv.Port()), "anonymous", "guest");
    Click("ConnectAsyncButton");
    ASSERT_TRUE(LogHas("Request 5 Done."));
    form->close(); // frees the window
    EXPECT_TRUE(PumpUntil([&] { return form.isNull(); }, 5000));
    const auto t = srv.Transcript();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[t.size() - 2], "C: QUIT");
}

} // namespace
