// The FTP server window, driven through its controls under a dark palette,
// with a real client (Python's ftplib) run while the window's loop turns.

#include "ftp/ui/FtpSUnit.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/Process.h"
#include "support/TestData.h"
#include "support/Widgets.h"

#include <QApplication>
#include <QImage>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::ftp;
using qordex::test::Find;

namespace {

// Runs a Python ftplib script against the window's server while pumping
// the window's loop; returns what the script printed.
std::string Client(int port, const std::string& body) {
    const std::string script = "import ftplib, io, sys\n"
                               "f = ftplib.FTP()\n"
                               "f.connect('127.0.0.1', int(sys.argv[1]), timeout=60)\n" +
                               body;
    test::Background p({"/usr/bin/python3", "-c", script, std::to_string(port)});
    PumpUntil([&] { return !p.Running(); }, 120000);
    p.Wait(1000);
    return p.Output();
}

TEST(FtpServerWindow, ServesWithItsBoxesAndLogs) {
    QTemporaryDir dir;
    test::WriteFile(dir.filePath("a.txt").toStdString(), "hello\n");
    auto* form = new TForm8;
    form->show();
    auto* memo = Find<shell::TMemo>(form, "InfoMemo");
    auto* start = Find<QPushButton>(form, "StartBt");
    auto* port = Find<QLineEdit>(form, "PortEdit");
    auto* address = Find<QLineEdit>(form, "AddressEdit");
    auto* sharing = Find<QLineEdit>(form, "SharingEdit");
    auto* getCheck = Find<QCheckBox>(form, "GetCheck");
    auto* count = Find<QLabel>(form, "ClientCountLabel");
    EXPECT_EQ(Find<QLineEdit>(form, "UserEdit")->text(), "qordex");
    EXPECT_EQ(Find<QLineEdit>(form, "PassEdit")->text(), "tewlim");
    EXPECT_EQ(sharing->text(), "c:\\");
    EXPECT_EQ(port->text(), "21");
    for (auto [name, on] : {std::pair{"GetCheck", true}, {"PutCheck", true}, {"RenameCheck", true},
                            {"DeleCheck", false}, {"ChangeDirCheck", false},
                            {"MakeDirCheck", false}, {"RemDirCheck", false}})
        EXPECT_EQ(Find<QCheckBox>(form, name)->isChecked(), on) << name;

    // A port that cannot be had: the reason is logged and Start works again.
    test::Background blocker({"/usr/bin/python3", "-c",
                              "import socket,sys,time\ns=socket.socket()\ns.bind(('127.0.0.1',0))\n"
                              "s.listen()\nprint(s.getsockname()[1], flush=True)\ntime.sleep(120)"});
    const int busy = blocker.FirstLineNumber();
    ASSERT_GT(busy, 0);
    address->setText("127.0.0.1");
    port->setText(QString::number(busy));
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(start->isEnabled());
    EXPECT_EQ(start->text(), "Start");
    EXPECT_EQ(form->StartTag(), 0);

    const int free = test::FreeTcpPort();
    port->setText(QString::number(free));
    sharing->setText(dir.path());
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return form->StartTag() == 1; }, 10000));
    EXPECT_EQ(start->text(), "Stop");
    EXPECT_FALSE(port->isEnabled());

    std::string out = Client(free, "f.login('qordex', 'tewlim')\n"
                                   "print(f.pwd())\n"
                                   "b = io.BytesIO(); f.retrbinary('RETR a.txt', b.write); print(b.getvalue())\n"
                                   "try: f.cwd('x')\nexcept ftplib.error_perm as e: print(e)\n"
                                   "f.quit()\n");
    EXPECT_EQ(out, "/\nb'hello\\n'\n501 CWD failed. No permission\n");

    // Boxes are read at each command.
    getCheck->setChecked(false);
    out = Client(free, "f.login('qordex', 'tewlim')\n"
                       "try: f.retrbinary('RETR a.txt', print)\nexcept ftplib.error_perm as e: print(e)\n"
                       "try: f.login('qordex', 'wrong')\nexcept ftplib.error_perm as e: print(e)\n");
    EXPECT_EQ(out, "500 Cannot RETR.\n530 Login incorrect.\n");
    ASSERT_TRUE(PumpUntil([&] { return count->text() == "0"; }, 10000));

    const QString log = memo->toPlainText();
    EXPECT_TRUE(log.contains("Server started"));
    EXPECT_TRUE(log.contains(" 127.0.0.1 connected"));
    EXPECT_TRUE(log.contains("< 127.0.0.1 USER qordex"));
    EXPECT_TRUE(log.contains("> 127.0.0.1 230 User qordex logged in."));
    EXPECT_TRUE(log.contains(" 127.0.0.1 User 'qordex' is authenticated"));
    EXPECT_EQ(log.count("is authenticated"), 2); // not for the refused login
    EXPECT_TRUE(log.contains(" 127.0.0.1 disconnected"));

    Find<QPushButton>(form, "ListCliBt")->click();
    EXPECT_TRUE(memo->toPlainText().endsWith("No clients"));

    // Under a dark palette the log and the boxes stay legible.
    form->setPalette(test::DarkPalette());
    const QImage shot = form->grab().toImage();
    shot.save(QString::fromStdString(test::BinPath("ftp_server_window.png")));
    EXPECT_FALSE(shot.isNull());

    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return form->StartTag() == 0; }, 10000));
    EXPECT_TRUE(memo->toPlainText().endsWith("Server closed."));
    EXPECT_TRUE(port->isEnabled());
    delete form;
}

} // namespace
