// The Net information window: its pages and buttons, the command adapter
// (lines, prompts, errors), Save, Print, the launcher button and the watchers.

#include "app/MainForm.h"
#include "diag/IpHlpError.h"
#include "diag/IpThread.h"
#include "diag/NetInfoCommands.h"
#include "diag/ui/NetinfoUnit.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/Drain.h"
#include "support/NetNs.h"
#include "support/Process.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QFile>
#include <QPageSetupDialog>
#include <QPointer>
#include <QPrinterInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace qordex;
using qordex::diag::TNetInfoForm;
using qordex::test::InNetNs;

namespace {

// Also records what each prompt and message box looked like.
class RecordingDialogs : public test::ScriptedDialogs {
public:
    QStringList captions;      // of the text prompts
    QStringList defaults;      // the value each prompt offered
    QStringList messageTitles; // of the message boxes
    std::vector<QMessageBox::StandardButtons> messageButtons;

    std::optional<QString> InputText(QWidget* parent, const QString& caption, const QString& prompt,
                                     const QString& value) override {
        captions << caption;
        defaults << value;
        return ScriptedDialogs::InputText(parent, caption, prompt, value);
    }
    QMessageBox::StandardButton Message(QWidget* parent, QMessageBox::Icon icon,
                                        const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons) override {
        messageTitles << title;
        messageButtons.push_back(buttons);
        return ScriptedDialogs::Message(parent, icon, title, text, buttons);
    }
};

QStringList SplitLines(const std::string& out) {
    QStringList lines = QString::fromStdString(out).split(u'\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

QPushButton* Button(QWidget& form, const char* name) {
    return form.findChild<QPushButton*>(QString::fromLatin1(name));
}

void Click(QAbstractButton* bt) {
    ASSERT_NE(bt, nullptr);
    QTest::mouseClick(bt, Qt::LeftButton);
}

} // namespace

// ---- Layout ----------------------------------------------------------------

TEST(NetInfoWindow, PagesAndButtonsInOrder) {
    struct Page {
        const char* caption;
        std::vector<std::pair<const char*, const char*>> buttons; // name, caption
    };
    const std::vector<Page> pages = {
        {"Network Configuration", {{"BtNetworkParams", "GetNetworkParams"}}},
        {"Managing Network Adapters",
         {{"BtGetAdaptersInfo", "GetAdaptersInfo"},
          {"BtGetAdapterIndex", "GetAdapterIndex"},
          {"BtGetUniDirAdapterInfo", "GetUniDirAdapterInfo"},
          {"GetMACBt", "GetMACaddress"}}},
        {"Managing Interfaces",
         {{"BtGetNumberOfInterfaces", "GetNumberOfInterfaces"},
          {"BtGetInterfaceInfo", "GetInterfaceInfo"},
          {"BtGetFriendlyIfIndex", "GetFriendlyIfIndex"},
          {"BtGetIfTable", "GetIfTable"},
          {"BtGetIfEntry", "GetIfEntry"},
          {"BtSetIfEntry", "SetIfEntry"}}},
        {"IP Addresses",
         {{"BGetIpAddrTable", "GetIpAddrTable"},
          {"BtAddIPAddress", "AddIPAddress"},
          {"BtDeleteIPAddress", "DeleteIPAddress"},
          {"BtIpReleaseAddress", "IpReleaseAddress"},
          {"BtIpRenewAddress", "IpRenewAddress"}}},
        {"Using the ARP",
         {{"BtGetIpNetTable", "GetIpNetTable"},
          {"BtCreateIpNetEntry", "CreateIpNetEntry"},
          {"BtDeleteIpNetEntry", "DeleteIpNetEntry"},
          {"BtFlushIpNetTable", "FlushIpNetTable"},
          {"BtSendARP", "SendARP"},
          {"BtCreateProxyArpEntry", "CreateProxyArpEntry"},
          {"BtDeleteProxyArpEntry", "DeleteProxyArpEntry"}}},
        {"IP and ICMP",
         {{"BtGetIpStatistics", "GetIpStatistics"},
          {"BtGetIcmpStatistics", "GetIcmpStatistics"},
          {"BtSetIpStatistics", "SetIpStatistics"},
          {"BtSetIpTTL", "SetIpTTL"}}},
        {"Routing",
         {{"BtGetIpForwardTable", "GetIpForwardTable"},
          {"BtCreateIpForwardEntry", "CreateIpForwardEntry"},
          {"BtDeleteIpForwardEntry", "DeleteIpForwardEntry"},
          {"BtSetIpForwardEntry", "SetIpForwardEntry"},
          {"BtGetBestRoute", "GetBestRoute"},
          {"BtGetBestInterface", "GetBestInterface"},
          {"BtGetRTTAndHopCount", "GetRTTAndHopCount"}}},
        {"Notification",
         {{"BtNotifyAddrChange", "NotifyAddrChange"},
          {"BtCancelNotifyAddrChange", "Cancel"},
          {"BtNotifyRouteChange", "NotifyRouteChange"},
          {"BtCancelNotifyRouteChange", "Cancel"}}},
        {"TCP UDP Statistic",
         {{"BtGetTcpStatistics", "GetTcpStatistics"},
          {"BtGetUdpStatistics", "GetUdpStatistics"},
          {"BtGetTcpTable", "GetTcpTable"},
          {"BtGetUdpTable", "GetUdpTable"},
          {"BtSetTcpEntry", "SetTcpEntry"}}},
        {"Router", {{"BtEnableRouter", "EnableRouter"}, {"BtUnenableRouter", "UnenableRouter"}}},
    };

    TNetInfoForm form;
    EXPECT_EQ(form.windowTitle(), "Net information");
    EXPECT_EQ(form.objectName(), "TNetInfoForm");
    auto* tabs = form.findChild<QTabWidget*>("PageControl1");
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), int(pages.size()));
    form.show();
    int total = 0;
    for (int i = 0; i < tabs->count(); ++i) {
        EXPECT_EQ(tabs->tabText(i), pages[i].caption);
        tabs->setCurrentIndex(i); // lay the page out
        QApplication::processEvents();
        // Buttons in the order they are shown: top to bottom, left to right.
        QList<QPushButton*> shown = tabs->widget(i)->findChildren<QPushButton*>();
        std::sort(shown.begin(), shown.end(), [](QPushButton* a, QPushButton* b) {
            return std::pair(a->y(), a->x()) < std::pair(b->y(), b->x());
        });
        ASSERT_EQ(shown.size(), qsizetype(pages[i].buttons.size())) << pages[i].caption;
        for (size_t k = 0; k < pages[i].buttons.size(); ++k) {
            EXPECT_EQ(shown[k]->objectName(), pages[i].buttons[k].first);
            EXPECT_EQ(shown[k]->text(), pages[i].buttons[k].second)
                << shown[k]->objectName().toStdString();
        }
        total += int(shown.size());
    }
    EXPECT_EQ(total, 45);

    EXPECT_TRUE(Button(form, "BtNotifyAddrChange")->isEnabled());
    EXPECT_TRUE(Button(form, "BtNotifyRouteChange")->isEnabled());
    EXPECT_FALSE(Button(form, "BtCancelNotifyAddrChange")->isEnabled());
    EXPECT_FALSE(Button(form, "BtCancelNotifyRouteChange")->isEnabled());

    const std::pair<const char*, const char*> flat[] = {{"ClearBt", "Clear"},
                                                        {"SaveBt", "Save to file"},
                                                        {"PrintBt", "Print memo"},
                                                        {"PrnConfigBt", "Printer configuration"}};
    for (auto [name, hint] : flat) {
        auto* bt = form.findChild<QToolButton*>(name);
        ASSERT_NE(bt, nullptr) << name;
        EXPECT_EQ(bt->toolTip(), hint);
        EXPECT_TRUE(bt->autoRaise()) << name;
    }
    auto* memo = form.findChild<shell::TMemo*>("Memo1");
    ASSERT_NE(memo, nullptr);
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_LT(memo->x(), tabs->x()) << "the output pane is on the left";
}

TEST(NetInfoWindow, AllPageTabsAreInSightAndSelectTheirPage) {
    TNetInfoForm form;
    form.show();
    auto* rows = form.findChild<QWidget*>("PageControl1Tabs");
    ASSERT_NE(rows, nullptr);
    auto* tabs = form.PageControl1();
    const QList<QToolButton*> tabButtons = rows->findChildren<QToolButton*>();
    ASSERT_EQ(tabButtons.size(), tabs->count());
    for (int i = tabs->count() - 1; i >= 0; --i) {
        QToolButton* bt = tabButtons[i];
        EXPECT_EQ(bt->text(), tabs->tabText(i));
        EXPECT_TRUE(bt->isVisible());
        EXPECT_LE(bt->geometry().right(), rows->width()) << "no tab is cut off";
        Click(bt);
        EXPECT_EQ(tabs->currentIndex(), i);
        EXPECT_TRUE(bt->isChecked());
    }
    tabs->setCurrentIndex(7);
    EXPECT_TRUE(tabButtons[7]->isChecked());
    EXPECT_FALSE(tabButtons[0]->isChecked());
}

TEST(NetInfoWindow, EveryCommandOfTheTableHasItsButtonOnItsPage) {
    TNetInfoForm form;
    auto* tabs = form.PageControl1();
    for (const diag::NetInfoCommand& c : diag::NetInfoCommands()) {
        auto* bt = form.findChild<QPushButton*>(QString::fromStdString(c.button));
        ASSERT_NE(bt, nullptr) << c.button;
        EXPECT_EQ(bt->text().toStdString(), c.caption);
        const int page = tabs->indexOf(bt->parentWidget());
        ASSERT_GE(page, 0) << c.button;
        EXPECT_EQ(tabs->tabText(page).toStdString(), c.page);
    }
}

// ---- Commands --------------------------------------------------------------

namespace {

// Commands made up by the tests, to drive the window's side of the interface.
std::vector<std::string> g_answers;

void AskTwiceCommand(diag::NetInfoIO& io) {
    io.Line("AskTwice");
    g_answers.clear();
    for (const char* prompt : {"Input adapter index", "Input adapter name"}) {
        auto answer = io.Ask(prompt);
        if (!answer || answer->empty())
            return;
        g_answers.push_back(*answer);
        io.Line("got " + *answer);
    }
    io.Line("done");
}

void FailingCommand(diag::NetInfoIO& io) {
    io.Line("Failing");
    io.Line("written before the failure");
    throw diag::EIpHlpError("GetIpNetTable", diag::kErrorNoData);
}

void ConversionErrorCommand(diag::NetInfoIO& io) {
    io.Line("Convert");
    throw diag::EConvertError("'x1' is not a valid integer value");
}

void GoesOnAfterErrorCommand(diag::NetInfoIO& io) {
    io.Line("first adapter");
    io.Error("Function GetPerAdapterInfo is not supported by the operating system.");
    io.Line("second adapter");
}

void NonStandardThrowCommand(diag::NetInfoIO& io) {
    io.Line("Odd");
    throw 42;
}

void ClosesItsWindowCommand(diag::NetInfoIO& io) {
    io.Line("closing");
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* form = qobject_cast<TNetInfoForm*>(w))
            delete form;
    // The window is gone: lines go nowhere and questions are cancelled.
    io.Line("after");
    if (io.Ask("Input adapter index"))
        io.Line("answered");
}

} // namespace

TEST(NetInfoWindow, PromptsAreQueryPromptsWithAnEmptyDefault) {
    TNetInfoForm form;
    RecordingDialogs dialogs;
    dialogs.textAnswers = {QString("7"), QString("eth0")};
    form.RunCommand({"AskTwice", "BtAskTwice", "Test", AskTwiceCommand});
    EXPECT_EQ(dialogs.prompts, QStringList({"Input adapter index", "Input adapter name"}));
    EXPECT_EQ(dialogs.captions, QStringList({"Query", "Query"}));
    EXPECT_EQ(dialogs.defaults, QStringList({"", ""}));
    EXPECT_EQ(g_answers, (std::vector<std::string>{"7", "eth0"}));
    EXPECT_EQ(form.Memo1()->Lines(), QStringList({"AskTwice", "got 7", "got eth0", "done"}));
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST(NetInfoWindow, CancelledOrEmptyAnswerEndsTheActionQuietly) {
    struct Case {
        std::optional<QString> first, second;
        QStringList lines;
        int prompts;
    } cases[] = {
        {std::nullopt, QString("unused"), {"AskTwice"}, 1},
        {QString(""), QString("unused"), {"AskTwice"}, 1},
        {QString("3"), std::nullopt, {"AskTwice", "got 3"}, 2},
    };
    for (const Case& c : cases) {
        TNetInfoForm form;
        RecordingDialogs dialogs;
        dialogs.textAnswers = {c.first, c.second};
        form.RunCommand({"AskTwice", "BtAskTwice", "Test", AskTwiceCommand});
        EXPECT_EQ(form.Memo1()->Lines(), c.lines);
        EXPECT_EQ(dialogs.prompts.size(), c.prompts);
        EXPECT_TRUE(dialogs.messages.isEmpty()) << "a cancel is no error";
    }
}

TEST(NetInfoWindow, FailureShowsTheErrorDialogAndKeepsEarlierLines) {
    struct Case {
        void (*run)(diag::NetInfoIO&);
        QStringList lines;
        QString message;
    } cases[] = {
        {FailingCommand,
         {"Failing", "written before the failure"},
         "Function GetIpNetTable. No adapter information exists for the local computer."},
        {ConversionErrorCommand, {"Convert"}, "'x1' is not a valid integer value"},
        {NonStandardThrowCommand, {"Odd"}, "Odd failed."},
    };
    for (const Case& c : cases) {
        TNetInfoForm form;
        form.Memo1()->AddLine("from an earlier click");
        RecordingDialogs dialogs;
        form.RunCommand({"Odd", "BtOdd", "Test", c.run});
        QStringList expected = QStringList{"from an earlier click"} + c.lines;
        EXPECT_EQ(form.Memo1()->Lines(), expected);
        ASSERT_EQ(dialogs.messages.size(), 1);
        EXPECT_EQ(dialogs.messages[0], c.message);
        EXPECT_EQ(dialogs.messageButtons[0], QMessageBox::Ok);
    }
}

TEST(NetInfoWindow, ErrorShowsAMessageWithOkAndTheCommandGoesOn) {
    TNetInfoForm form;
    RecordingDialogs dialogs;
    form.RunCommand({"GoesOn", "BtGoesOn", "Test", GoesOnAfterErrorCommand});
    EXPECT_EQ(form.Memo1()->Lines(), QStringList({"first adapter", "second adapter"}));
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0],
              "Function GetPerAdapterInfo is not supported by the operating system.");
    EXPECT_EQ(dialogs.messageButtons[0], QMessageBox::Ok);
}

TEST(NetInfoWindow, ACommandWhoseWindowWentAwayEndsWithoutTouchingIt) {
    auto* form = new TNetInfoForm;
    QPointer<TNetInfoForm> guard = form;
    form->show();
    RecordingDialogs dialogs;
    dialogs.textAnswers = {QString("1")};
    form->RunCommand({"Closes", "BtCloses", "Test", ClosesItsWindowCommand});
    EXPECT_TRUE(guard.isNull());
    EXPECT_TRUE(dialogs.prompts.isEmpty()) << "no prompt for a window that is gone";
}

// The window writes exactly what the headless front end prints, and shows in
// its dialogs what the front end reports on stderr, for the same answers.
TEST(NetInfoWindow, ButtonsWriteTheLinesTheCommandLinePrints) {
    const std::string cli = test::BinPath("qordex-cli");
    ASSERT_EQ(test::Run({cli, "netinfo", "--list"}).status, 0);
    struct Case {
        const char* command;
        std::vector<std::string> answers;
    } cases[] = {
        {"GetNumberOfInterfaces", {}},
        {"GetIfTable", {}},
        {"GetIpAddrTable", {}},
        {"GetInterfaceInfo", {}},
        {"GetNetworkParams", {}},
        {"GetAdaptersInfo", {}},
        {"GetMACaddress", {}},
        {"GetIpForwardTable", {}},
        {"GetUniDirAdapterInfo", {}}, // not supported here: an error dialog
        {"GetIfEntry", {"1"}},        // loopback
        {"GetIfEntry", {"abc"}},      // conversion error
        {"GetIfEntry", {"999999"}},   // no such interface
        {"GetAdapterIndex", {"lo"}},  // a line before the question
        {"GetBestInterface", {"127.0.0.1"}},
        {"GetFriendlyIfIndex", {"1"}},
        {"DeleteIpForwardEntry", {"0"}}, // "Invalid IP entry", nothing deleted
        {"SetTcpEntry", {"0"}},          // outside the table: nothing at all
        {"SendARP", {""}},               // an empty address, as a cancel gives
    };
    for (const Case& c : cases) {
        const diag::NetInfoCommand* entry = nullptr;
        for (const auto& cmd : diag::NetInfoCommands())
            if (cmd.caption == c.command)
                entry = &cmd;
        ASSERT_NE(entry, nullptr) << c.command;
        std::vector<std::string> argv{cli, "netinfo", c.command};
        argv.insert(argv.end(), c.answers.begin(), c.answers.end());
        const auto out = test::Run(argv);

        TNetInfoForm form;
        form.Memo1()->AddLine("earlier");
        RecordingDialogs dialogs;
        for (const std::string& a : c.answers)
            dialogs.textAnswers.push_back(QString::fromStdString(a));
        Click(form.findChild<QPushButton*>(QString::fromStdString(entry->button)));

        const std::string what = std::string(c.command) + (c.answers.empty() ? "" : " ") +
                                 (c.answers.empty() ? "" : c.answers[0]);
        EXPECT_EQ(form.Memo1()->Lines(), QStringList{"earlier"} + SplitLines(out.out)) << what;
        EXPECT_EQ(dialogs.messages, SplitLines(out.err)) << what;
        EXPECT_EQ(dialogs.messages.isEmpty(), out.status == 0) << what;
        EXPECT_TRUE(dialogs.textAnswers.empty()) << what << ": every answer was asked for";
    }
}

// A cancelled question ends the action quietly in the window; the command
// line has no cancel (a missing answer is a usage error there).
TEST(NetInfoWindow, ACancelledQuestionKeepsTheLinesWrittenBeforeIt) {
    struct Case {
        const char* button;
        QStringList lines;
    } cases[] = {
        {"BtGetIfEntry", {"earlier"}},
        {"BtGetAdapterIndex", {"earlier", "GetAdapterIndex"}},
    };
    for (const Case& c : cases) {
        TNetInfoForm form;
        form.Memo1()->AddLine("earlier");
        RecordingDialogs dialogs;
        dialogs.textAnswers = {std::nullopt};
        Click(form.findChild<QPushButton*>(c.button));
        EXPECT_EQ(form.Memo1()->Lines(), c.lines) << c.button;
        EXPECT_TRUE(dialogs.messages.isEmpty()) << c.button;
    }
    // A cancelled address for SendARP goes on with an empty one, as the
    // command line's empty answer does.
    TNetInfoForm form;
    RecordingDialogs dialogs;
    dialogs.textAnswers = {std::nullopt};
    Click(form.findChild<QPushButton*>("BtSendARP"));
    const auto out = test::Run({test::BinPath("qordex-cli"), "netinfo", "SendARP", ""});
    EXPECT_EQ(form.Memo1()->Lines(), SplitLines(out.out));
    EXPECT_EQ(dialogs.messages, SplitLines(out.err));
}

TEST(NetInfoWindow, TcpTableShowsAListeningSocketWithItsRealPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    const int port = ntohs(sa.sin_port);

    TNetInfoForm form;
    RecordingDialogs dialogs;
    Click(Button(form, "BtGetTcpTable"));
    ::close(fd);
    const QStringList lines = form.Memo1()->Lines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "GetTcpTable");
    EXPECT_EQ(lines[2], "   Local Address  Port  Remote Address  Port State");
    // " %15s %5d %15s %5d %5d"; a listening socket is in state 2.
    const QString row =
        QString::asprintf(" %15s %5d %15s %5d %5d", "127.0.0.1", port, "0.0.0.0", 0, 2);
    EXPECT_TRUE(lines.contains(row)) << row.toStdString() << "\n" << lines.join("\n").toStdString();
    EXPECT_EQ(lines[1], QStringLiteral(" NumEntries: %1").arg(lines.size() - 3));
}

TEST(NetInfoWindow, ClicksAppendAndClearEmpties) {
    TNetInfoForm form;
    RecordingDialogs dialogs;
    Click(Button(form, "BtGetNumberOfInterfaces"));
    const QStringList once = form.Memo1()->Lines();
    ASSERT_FALSE(once.isEmpty());
    EXPECT_EQ(once[0], "GetNumberOfInterfaces");
    Click(Button(form, "BtGetNumberOfInterfaces"));
    EXPECT_EQ(form.Memo1()->Lines(), once + once) << "nothing is cleared automatically";
    Click(form.findChild<QToolButton*>("ClearBt"));
    EXPECT_TRUE(form.Memo1()->Lines().isEmpty());
}

// ---- Save and print --------------------------------------------------------

TEST(NetInfoWindow, SaveWritesTheMemoAndProposesNoName) {
    QTemporaryDir dir;
    TNetInfoForm form;
    form.Memo1()->AddLine("GetNumberOfInterfaces");
    form.Memo1()->AddLine("Number Of Interfaces: 2");
    RecordingDialogs dialogs;
    dialogs.fileAnswers = {dir.filePath("netinfo")};
    Click(form.findChild<QToolButton*>("SaveBt"));
    EXPECT_EQ(dialogs.presets, QStringList({""}));
    QFile f(dir.filePath("netinfo.txt"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "GetNumberOfInterfaces\nNumber Of Interfaces: 2\n");
}

TEST(NetInfoWindow, PrintWithoutAPrinterWritesAPdfOfEveryPage) {
    if (!QPrinterInfo::availablePrinters().isEmpty())
        GTEST_SKIP() << "a printer is configured: printing would use it";
    QTemporaryDir dir;
    TNetInfoForm form;
    // Enough lines for several pages.
    for (int i = 0; i < 400; ++i)
        form.Memo1()->AddLine(QStringLiteral("%1 line of the memo").arg(i, 10));
    RecordingDialogs dialogs;
    dialogs.fileAnswers = {dir.filePath("memo")};
    Click(form.findChild<QToolButton*>("PrintBt"));
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("; ").toStdString();
    QFile f(dir.filePath("memo.pdf"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray pdf = f.readAll();
    EXPECT_TRUE(pdf.startsWith("%PDF"));
    auto pages = QRegularExpression(QStringLiteral("/Type\\s*/Page[^s]"))
                     .globalMatch(QString::fromLatin1(pdf));
    int count = 0;
    while (pages.hasNext()) {
        pages.next();
        ++count;
    }
    EXPECT_GT(count, 1) << "400 lines do not fit on one page";

    // A cancelled file dialog prints nothing.
    dialogs.fileAnswers = {std::nullopt};
    Click(form.findChild<QToolButton*>("PrintBt"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"memo.pdf"}));
}

// What the PDF shows, as pdftotext reads it: text beyond the page's edge is
// not on the page and is left out.  White space removed, so that the test
// does not depend on how the columns are spaced or where a line wraps.
std::string PdfTextWithoutSpace(const QString& pdf) {
    const auto r = test::Run({"pdftotext", "-layout", pdf.toStdString(), "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string text;
    for (char c : r.out)
        if (!std::isspace(static_cast<unsigned char>(c)))
            text += c;
    return text;
}

TEST(NetInfoWindow, PrintedLinesFitThePageWidth) {
    if (!QPrinterInfo::availablePrinters().isEmpty())
        GTEST_SKIP() << "a printer is configured: printing would use it";
    if (!test::HasProgram("pdftotext"))
        GTEST_SKIP() << "pdftotext (poppler-utils) is not installed";
    QTemporaryDir dir;
    TNetInfoForm form;
    // The route table, its widest lines as GetIpForwardTable writes them,
    // and a line wider than any page.
    form.Memo1()->AddLine("GetIpForwardTable");
    form.Memo1()->AddLine(
        "     Destination            Mask Policy         Gateway Interface       Age Metric");
    for (int i = 0; i < 12; ++i)
        form.Memo1()->AddLine(QString::asprintf(
            " %15s %15s %6u %15s %9u %10u %2d %2d %2d %2d %2d", "10.20.30.0", "255.255.255.0", 0u,
            "10.20.30.254", 4294967u, 123456789u + unsigned(i), 11, 22, 33, 44, 50 + i));
    QString wide;
    for (int i = 0; i < 60; ++i)
        wide += QStringLiteral("w%1 ").arg(i, 3, 10, QLatin1Char('0'));
    form.Memo1()->AddLine(wide);
    RecordingDialogs dialogs;
    dialogs.fileAnswers = {dir.filePath("routes.pdf")};
    Click(form.findChild<QToolButton*>("PrintBt"));
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("; ").toStdString();
    const std::string text = PdfTextWithoutSpace(dir.filePath("routes.pdf"));
    std::size_t from = 0;
    for (const QString& line : form.Memo1()->Lines()) {
        std::string want;
        for (QChar c : line)
            if (!c.isSpace())
                want += char(c.unicode());
        const std::size_t at = text.find(want, from);
        EXPECT_NE(at, std::string::npos) << "whole on the page: " << line.toStdString();
        if (at != std::string::npos)
            from = at + want.size();
    }
}

TEST(NetInfoWindow, PrintToAnUnwritablePlaceShowsAnError) {
    if (!QPrinterInfo::availablePrinters().isEmpty())
        GTEST_SKIP() << "a printer is configured: printing would use it";
    TNetInfoForm form;
    form.Memo1()->AddLine("x");
    RecordingDialogs dialogs;
    dialogs.fileAnswers = {QStringLiteral("/nonexistent-folder/memo.pdf")};
    Click(form.findChild<QToolButton*>("PrintBt"));
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].contains("/nonexistent-folder/memo.pdf"));
}

TEST(NetInfoWindow, PrinterConfigurationOpensThePageSetupWithoutBlocking) {
    TNetInfoForm form;
    form.show();
    Click(form.findChild<QToolButton*>("PrnConfigBt"));
    auto* setup = form.findChild<QPageSetupDialog*>();
    ASSERT_NE(setup, nullptr);
    EXPECT_TRUE(setup->isVisible());
    setup->reject();
}

// ---- Launcher --------------------------------------------------------------

TEST(NetInfoWindow, LauncherButtonIsDisabledWhileTheWindowIsOpen) {
    app::TMainForm main;
    auto* infoBt = main.findChild<QToolButton*>("InfoBt");
    ASSERT_NE(infoBt, nullptr);
    ASSERT_TRUE(infoBt->isEnabled());
    Click(infoBt);
    auto* form = qobject_cast<TNetInfoForm*>(main.CurrentInstance("TNetInfoForm"));
    ASSERT_NE(form, nullptr);
    QPointer<TNetInfoForm> guard = form;
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(infoBt->isEnabled());
    EXPECT_EQ(main.OpenTool("InfoBt"), nullptr) << "one Net information window at a time";
    EXPECT_EQ(main.ToolWindows().Count(), 1);

    form->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
    EXPECT_TRUE(infoBt->isEnabled());
    EXPECT_EQ(main.ToolWindows().Count(), 0);

    // And it opens again.
    Click(infoBt);
    EXPECT_FALSE(infoBt->isEnabled());
    EXPECT_EQ(main.ToolWindows().Count(), 1);
}

// ---- Watchers --------------------------------------------------------------

TEST(NetInfoWindow, NotifyButtonsFollowTheWatchers) {
    TNetInfoForm form;
    QPushButton* addr = Button(form, "BtNotifyAddrChange");
    QPushButton* route = Button(form, "BtNotifyRouteChange");
    QPushButton* cancelAddr = Button(form, "BtCancelNotifyAddrChange");
    QPushButton* cancelRoute = Button(form, "BtCancelNotifyRouteChange");
    RecordingDialogs dialogs;

    Click(addr);
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("; ").toStdString();
    EXPECT_TRUE(form.WatcherRunning(1));
    EXPECT_FALSE(addr->isEnabled());
    EXPECT_FALSE(route->isEnabled()) << "starting one watcher disables the other's button";
    EXPECT_TRUE(cancelAddr->isEnabled());
    EXPECT_FALSE(cancelRoute->isEnabled());

    Click(cancelAddr);
    EXPECT_FALSE(cancelAddr->isEnabled());
    EXPECT_TRUE(PumpUntil([&] { return !form.WatcherRunning(1); }, 5000));
    EXPECT_TRUE(addr->isEnabled()) << "the ended watcher may be started again";
    EXPECT_TRUE(route->isEnabled());

    Click(route);
    EXPECT_TRUE(form.WatcherRunning(2));
    EXPECT_FALSE(addr->isEnabled());
    EXPECT_TRUE(cancelRoute->isEnabled());
    EXPECT_FALSE(cancelAddr->isEnabled());
    Click(cancelRoute);
    EXPECT_TRUE(PumpUntil([&] { return !form.WatcherRunning(2); }, 5000));
    EXPECT_TRUE(addr->isEnabled());
    EXPECT_TRUE(form.Memo1()->Lines().isEmpty()) << "nothing changed in the meantime";
}

TEST(NetInfoWindow, WatchersReportChangesInTheNamespace) {
    test::NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    struct Case {
        const char* button;
        const char* cancel;
        const char* change;
        const char* line;
    } cases[] = {
        {"BtNotifyAddrChange", "BtCancelNotifyAddrChange", "ip addr add 10.77.0.1/24 dev lo",
         "AddressChanged"},
        {"BtNotifyRouteChange", "BtCancelNotifyRouteChange",
         "ip link set lo up && ip route add 10.78.0.0/24 dev lo", "RouteChanged"},
    };
    for (const Case& c : cases) {
        TNetInfoForm form;
        RecordingDialogs dialogs;
        {
            InNetNs inside(ns);
            ASSERT_TRUE(inside.Ok());
            Click(Button(form, c.button));
        }
        ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("; ").toStdString();
        ASSERT_EQ(ns.Exec(c.change).status, 0) << c.change;
        EXPECT_TRUE(PumpUntil([&] { return form.Memo1()->Lines().contains(c.line); }, 5000))
            << c.line;
        for (const QString& l : form.Memo1()->Lines())
            EXPECT_EQ(l, c.line);
        Click(Button(form, c.cancel));
        EXPECT_TRUE(
            PumpUntil([&] { return !form.WatcherRunning(1) && !form.WatcherRunning(2); }, 5000));
    }
}

TEST(NetInfoWindow, ClosingStopsTheWatcherAndItsLateReportIsDropped) {
    test::NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    auto* form = new TNetInfoForm;
    QPointer<TNetInfoForm> guard = form;
    form->show();
    RecordingDialogs dialogs;
    {
        InNetNs inside(ns);
        ASSERT_TRUE(inside.Ok());
        Click(Button(*form, "BtNotifyAddrChange"));
    }
    ASSERT_TRUE(form->WatcherRunning(1));
    // A change the watcher sees and queues, while the window is not looking.
    ASSERT_EQ(ns.Exec("ip addr add 10.79.0.1/24 dev lo").status, 0);
    const diag::TWaitingThread* watcher = form->Watcher(1);
    ASSERT_NE(watcher, nullptr);
    ASSERT_TRUE(test::WaitWithoutPumping([&] { return watcher->Posted() > 0; }));

    const auto start = std::chrono::steady_clock::now();
    form->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(guard.isNull());
    // A guard against a hang, not a speed target: the watcher wakes at once.
    EXPECT_LT(took, std::chrono::seconds(5));

    // Whatever the watcher had queued goes nowhere, and nothing more comes:
    // it has ended, so a sentinel comes after all it queued.
    ASSERT_EQ(ns.Exec("ip addr add 10.79.0.2/24 dev lo").status, 0);
    ASSERT_TRUE(test::DrainQueue());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST(NetInfoWindow, DestroyingTheWindowWithARunningWatcherReturns) {
    // The launcher's end destroys open windows without a close.
    auto* form = new TNetInfoForm;
    RecordingDialogs dialogs;
    Click(Button(*form, "BtNotifyRouteChange"));
    ASSERT_TRUE(form->WatcherRunning(2));
    delete form;
    // Its end notice, queued before it was joined, finds no window.
    ASSERT_TRUE(test::DrainQueue());
}

// ---- Router ----------------------------------------------------------------

TEST(NetInfoWindow, ClosingWithdrawsTheRequestsToForward) {
    test::NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    auto forwarding = [&] { return ns.Exec("cat /proc/sys/net/ipv4/ip_forward").out; };
    ASSERT_EQ(forwarding(), "0\n");
    RecordingDialogs dialogs;
    {
        InNetNs inside(ns);
        ASSERT_TRUE(inside.Ok());
        auto* form = new TNetInfoForm;
        Click(Button(*form, "BtEnableRouter"));
        Click(Button(*form, "BtEnableRouter"));
        Click(Button(*form, "BtUnenableRouter"));
        EXPECT_EQ(form->Memo1()->Lines(), QStringList({"EnableRouter", "Success", "EnableRouter",
                                                       "Success", "UnEnableRouter", " Count: 1"}));
        EXPECT_EQ(forwarding(), "1\n") << "one request still stands";
        delete form;
    }
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("; ").toStdString();
    EXPECT_EQ(forwarding(), "0\n") << "the machine does not stay a router after the window";
}

// ---- Picture ---------------------------------------------------------------

TEST(NetInfoWindow, GrabsAPicture) {
    TNetInfoForm form;
    RecordingDialogs dialogs;
    form.show();
    Click(Button(form, "BtGetIfTable"));
    form.PageControl1()->setCurrentIndex(qEnvironmentVariableIntValue("QORDEX_NETINFO_PAGE"));
    QApplication::processEvents();
    const QString out = qEnvironmentVariable("QORDEX_NETINFO_PNG");
    QPixmap shot = form.grab();
    EXPECT_FALSE(shot.isNull());
    if (!out.isEmpty()) {
        EXPECT_TRUE(shot.save(out));
    }
}
