// The DNS window and its server list, driven through their controls: the
// system resolver, raw queries to a local server, the check box, the list
// opened from two windows, and pictures in a light and a dark palette.

#include "app/MainForm.h"
#include "diag/DnsQuery.h"
#include "diag/DnsReport.h"
#include "diag/DnsServers.h"
#include "diag/ui/DnsListUnit.h"
#include "diag/ui/DnsUnit.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/ScriptedDialogs.h"

#include "diag/DnsPeers.h"
#include "diag/DnsTestMessages.h"
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::diag;
using namespace qordex::shell;
using qordex::test::DnsMsg;
using qordex::test::DnsResponder;
using qordex::test::Hex;
using qordex::test::kQName;

namespace {

template<class T> T* Find(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

void Click(QAbstractButton* bt) {
    QTest::mouseClick(bt, Qt::LeftButton);
}

// Runs the deferred deletes of closed windows.
void Settle() {
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    PumpMessages();
}

struct DnsWindow {
    QPointer<TForm3> form;
    QLineEdit* host;
    QLineEdit* server;
    QLineEdit* port;
    QCheckBox* check;
    QPushButton *lookup, *reverse, *cancel, *a, *ptr, *mx;
    QToolButton *codes, *list;
    TMemo* memo;

    explicit DnsWindow(TForm3* opened = new TForm3) : form(opened) {
        form->show();
        host = Find<QLineEdit>(*form, "HostEdit");
        server = Find<QLineEdit>(*form, "DNSServerEdit");
        port = Find<QLineEdit>(*form, "PortEdit");
        check = Find<QCheckBox>(*form, "DNSCheck");
        lookup = Find<QPushButton>(*form, "LookUpBt");
        reverse = Find<QPushButton>(*form, "ReverseLookUpBt");
        cancel = Find<QPushButton>(*form, "CancelBt");
        a = Find<QPushButton>(*form, "ALookUpBt");
        ptr = Find<QPushButton>(*form, "PTRLookUpBt");
        mx = Find<QPushButton>(*form, "MXLookUpBt");
        codes = Find<QToolButton>(*form, "CodesBt");
        list = Find<QToolButton>(*form, "DNSlistBt");
        memo = Find<TMemo>(*form, "Memo1");
    }
    ~DnsWindow() {
        delete form.data();
        Settle();
    }
    QStringList Lines() const { return memo->Lines(); }
    bool WaitFor(const QString& line) {
        return PumpUntil([&] { return Lines().contains(line); }, 20000);
    }
    void UseServer(int serverPort) {
        if (!check->isChecked())
            Click(check);
        server->setText("127.0.0.1");
        port->setText(QString::number(serverPort));
    }
};

QStringList ToQt(const std::vector<std::string>& lines) {
    QStringList out;
    for (const auto& l : lines)
        out << QString::fromStdString(l);
    return out;
}

QString ExpectedDefaultServer() {
    try {
        return QString::fromStdString(DefaultDnsServer());
    } catch (const std::exception&) {
        return "Default";
    }
}

} // namespace

TEST(DnsWindow, ControlsAndDefaults) {
    test::ScriptedDialogs dialogs;
    DnsWindow w;
    EXPECT_EQ(w.form->windowTitle(), "DNS");
    EXPECT_EQ(w.form->objectName(), "TForm3");
    EXPECT_EQ(w.host->text(), "");
    EXPECT_EQ(w.server->text(), ExpectedDefaultServer()) << "filled on the first showing";
    EXPECT_FALSE(w.server->isEnabled());
    EXPECT_EQ(w.port->text(), "53");
    EXPECT_FALSE(w.port->isEnabled());
    EXPECT_EQ(w.check->text(), "Specify DNS server");
    EXPECT_FALSE(w.check->isChecked());
    const std::pair<QPushButton*, const char*> buttons[] = {
        {w.lookup, "Lookup"}, {w.reverse, "Reverse"}, {w.cancel, "Cancel"},
        {w.a, "A lookup"},    {w.ptr, "PTR lookup"},  {w.mx, "MX lookup"}};
    for (const auto& [bt, caption] : buttons) {
        EXPECT_EQ(bt->text(), caption);
        EXPECT_EQ(bt->isEnabled(), bt != w.cancel) << caption;
    }
    EXPECT_TRUE(w.codes->isEnabled());
    EXPECT_EQ(w.codes->toolTip(), "Internet Country Codes");
    EXPECT_TRUE(w.list->isEnabled());
    EXPECT_EQ(w.list->toolTip(), "Select DNS server from list");
    EXPECT_TRUE(w.memo->isReadOnly());
    EXPECT_EQ(Find<QToolButton>(*w.form, "SpeedButton1")->toolTip(), "Clear");
    EXPECT_EQ(Find<QToolButton>(*w.form, "SaveBt")->toolTip(), "Save to file");
    QStringList labels;
    for (QLabel* l : w.form->findChildren<QLabel*>())
        labels << l->text();
    EXPECT_TRUE(labels.contains("Host"));
    EXPECT_TRUE(labels.contains("DNS server"));
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST(DnsWindow, CheckingTheBoxLetsTheUserTypeAServer) {
    test::ScriptedDialogs dialogs;
    DnsWindow w;
    const QString def = w.server->text();
    Click(w.check);
    EXPECT_TRUE(w.check->isChecked());
    EXPECT_TRUE(w.server->isEnabled());
    EXPECT_TRUE(w.port->isEnabled());
    EXPECT_EQ(w.server->text(), "");
    EXPECT_FALSE(w.lookup->isEnabled());
    EXPECT_FALSE(w.reverse->isEnabled());
    EXPECT_TRUE(w.a->isEnabled());
    w.server->setText("192.0.2.1");
    Click(w.check);
    EXPECT_FALSE(w.check->isChecked());
    EXPECT_FALSE(w.server->isEnabled());
    EXPECT_FALSE(w.port->isEnabled());
    EXPECT_EQ(w.server->text(), def) << "the default server comes back";
    EXPECT_TRUE(w.lookup->isEnabled());
    EXPECT_TRUE(w.reverse->isEnabled());
}

TEST(DnsWindow, SystemResolverLookups) {
    test::ScriptedDialogs dialogs;
    DnsWindow w;
    w.host->setText("127.0.0.1");
    Click(w.lookup);
    EXPECT_EQ(w.Lines(),
              QStringList({"Waiting for DNS...", "127.0.0.1  (1 addresses)", "127.0.0.1"}));
    EXPECT_TRUE(w.lookup->isEnabled());
    EXPECT_FALSE(w.cancel->isEnabled());

    // An empty host fails like a lookup that found nothing, and the
    // buttons come back.
    w.memo->Clear();
    w.host->clear();
    Click(w.lookup);
    EXPECT_EQ(w.Lines(), QStringList({"Waiting for DNS...", "NOT FOUND, ERROR #10022"}));
    EXPECT_TRUE(w.lookup->isEnabled());
    EXPECT_TRUE(w.reverse->isEnabled());
    EXPECT_FALSE(w.cancel->isEnabled());
    w.memo->Clear();
    Click(w.reverse);
    EXPECT_EQ(w.Lines(), QStringList({"Waiting for DNS...", "NOT FOUND, ERROR #10022"}));
    EXPECT_TRUE(w.reverse->isEnabled());

    // A name goes to the resolver and comes back later.
    w.memo->Clear();
    w.host->setText("localhost");
    Click(w.lookup);
    EXPECT_FALSE(w.lookup->isEnabled());
    EXPECT_FALSE(w.reverse->isEnabled());
    EXPECT_TRUE(w.cancel->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return w.Lines().size() >= 2; }, 20000));
    EXPECT_EQ(w.Lines().at(1).left(11), "127.0.0.1  ");
    EXPECT_TRUE(w.lookup->isEnabled());
    EXPECT_FALSE(w.cancel->isEnabled());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST(DnsWindow, CancelEndsTheLookupWith10004) {
    test::ScriptedDialogs dialogs;
    DnsWindow w;
    w.host->setText("localhost");
    Click(w.lookup);
    // The answer cannot arrive before the loop runs: Cancel comes first.
    Click(w.cancel);
    EXPECT_EQ(w.Lines(), QStringList({"Waiting for DNS...", "NOT FOUND, ERROR #10004"}));
    EXPECT_TRUE(w.lookup->isEnabled());
    EXPECT_TRUE(w.reverse->isEnabled());
    EXPECT_FALSE(w.cancel->isEnabled());
    // The next lookup's answer is the only one that comes.
    Click(w.lookup);
    ASSERT_TRUE(PumpUntil([&] { return w.Lines().size() >= 4; }, 20000));
    PumpMessages();
    EXPECT_EQ(w.Lines().mid(2, 1), QStringList({"Waiting for DNS..."}));
    EXPECT_TRUE(w.Lines().at(3).startsWith("127.0.0.1  ")) << w.Lines().join("|").toStdString();
    EXPECT_EQ(w.Lines().filter("NOT FOUND").size(), 1);
}

TEST(DnsWindow, RawQueriesPrintTheResponse) {
    test::ScriptedDialogs dialogs;
    DnsMsg reply;
    reply.Header(1, 0x8580, 1, 3).Question("h.test", 1).A(kQName, 60, "10.0.0.1");
    reply.A(kQName, 60, "10.0.0.2");
    reply.Labels("c").Pointer(kQName).Fields(5, 60, 2).Pointer(kQName);
    DnsResponder peer({"udp", Hex(reply)});
    DnsWindow w;
    w.UseServer(peer.Port());
    w.host->setText("h.test");
    Click(w.a);
    ASSERT_TRUE(w.WaitFor(QString("Response dump (%1 bytes):").arg(reply.Size())));
    QStringList expected = {"Request ID         : 1"};
    expected += ToQt(DnsResponseLines(w.form->DnsQuery1(), 0));
    EXPECT_EQ(w.Lines(), expected);
    EXPECT_EQ(w.Lines().filter(QRegularExpression("^Answer #")).size(), 3);
    EXPECT_EQ(w.Lines().filter("  Address          : ").size(), 2);
    EXPECT_TRUE(w.a->isEnabled()) << "the raw query buttons stay enabled";

    // Save proposes the host as the file name.
    dialogs.fileAnswers.push_back(std::nullopt);
    Click(Find<QToolButton>(*w.form, "SaveBt"));
    EXPECT_EQ(dialogs.presets, QStringList({"h.test.txt"}));
    Click(Find<QToolButton>(*w.form, "SpeedButton1"));
    EXPECT_TRUE(w.Lines().isEmpty());

    // A second query: the next ID.
    Click(w.mx);
    ASSERT_TRUE(w.WaitFor("Request ID         : 2"));
}

TEST(DnsWindow, RawQueryFailures) {
    test::ScriptedDialogs dialogs;
    DnsWindow w;
    // A server that does not resolve: the socket's message, no request line.
    w.UseServer(53);
    w.server->setText("Default");
    w.host->setText("h.test");
    Click(w.a);
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages.at(0).contains("Default")) << dialogs.messages.at(0).toStdString();
    EXPECT_TRUE(w.Lines().isEmpty());

    // A name that cannot be queried.
    w.server->setText("127.0.0.1");
    w.host->setText("a..b");
    Click(w.mx);
    ASSERT_EQ(dialogs.messages.size(), 2);
    EXPECT_TRUE(dialogs.messages.at(1).contains("empty label"));
    EXPECT_TRUE(w.Lines().isEmpty());

    // A refused TCP connect.
    w.host->setText("h.test");
    w.port->setText(QString::number(test::FreeTcpPort()));
    w.form->DnsQuery1().SetProto("tcp");
    Click(w.a);
    ASSERT_TRUE(w.WaitFor("Error #10061"));
    // The server that did not resolve had taken ID 1 already.
    EXPECT_EQ(w.Lines(), QStringList({"Request ID         : 2", "Error #10061"}));
}

// Two DNS windows opened from the launcher: the list opened from the first
// writes into the first, not into the newest.
TEST(DnsWindow, TheListWritesIntoTheWindowThatOpenedIt) {
    test::ScriptedDialogs dialogs;
    app::TMainForm launcher;
    auto* dnsBt = launcher.findChild<QToolButton*>("DNSBt");
    ASSERT_NE(dnsBt, nullptr);
    EXPECT_TRUE(dnsBt->isEnabled());
    DnsWindow first(qobject_cast<TForm3*>(launcher.OpenTool("DNSBt")));
    DnsWindow second(qobject_cast<TForm3*>(launcher.OpenTool("DNSBt")));
    ASSERT_TRUE(first.form && second.form);
    EXPECT_EQ(launcher.CurrentInstance("TForm3"), second.form.data());
    EXPECT_EQ(launcher.ToolWindows().Count(), 2);
    const QString secondServer = second.server->text();
    Click(first.list);
    QPointer<TForm21> list = first.form->DnsListWindow();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->windowTitle(), "DNS servers");
    EXPECT_FALSE(first.list->isEnabled()) << "one list per window";
    EXPECT_TRUE(second.list->isEnabled());

    QTreeWidget* tree = list->DNSList();
    ASSERT_EQ(tree->topLevelItemCount(), 136);
    EXPECT_EQ(tree->headerItem()->text(0), "IP Address");
    EXPECT_EQ(tree->headerItem()->text(1), "Domain name");
    EXPECT_EQ(tree->headerItem()->text(2), "Description");
    EXPECT_EQ(tree->columnWidth(0), 105);
    EXPECT_EQ(tree->toolTip(), "Doubleclick to select");

    // Nothing selected, then a title row: nothing happens.
    list->DNSListDblClick();
    tree->setCurrentItem(tree->topLevelItem(0));
    list->DNSListDblClick();
    tree->setCurrentItem(tree->topLevelItem(14));
    EXPECT_EQ(tree->currentItem()->text(0), "- Secondary Servers");
    list->DNSListDblClick();
    Settle();
    ASSERT_NE(list, nullptr) << "a title row is not a server";
    EXPECT_FALSE(first.check->isChecked());

    QTreeWidgetItem* row = tree->topLevelItem(20);
    tree->setCurrentItem(row);
    const QString picked = row->text(0);
    list->DNSListDblClick();
    Settle();
    EXPECT_EQ(list, nullptr) << "a pick closes the list";
    EXPECT_TRUE(first.check->isChecked());
    EXPECT_TRUE(first.server->isEnabled());
    EXPECT_EQ(first.server->text(), picked);
    EXPECT_FALSE(first.lookup->isEnabled());
    EXPECT_FALSE(first.reverse->isEnabled());
    EXPECT_TRUE(first.list->isEnabled());
    EXPECT_FALSE(second.check->isChecked());
    EXPECT_EQ(second.server->text(), secondServer);
}

TEST(DnsWindow, EnterPicksAndClosingReleasesTheButton) {
    test::ScriptedDialogs dialogs;
    DnsWindow w;
    Click(w.list);
    QPointer<TForm21> list = w.form->DnsListWindow();
    ASSERT_NE(list, nullptr);
    list->close();
    Settle();
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(w.list->isEnabled()) << "closed by the user";

    Click(w.list);
    list = w.form->DnsListWindow();
    QTreeWidget* tree = list->DNSList();
    tree->setFocus();
    tree->setCurrentItem(tree->topLevelItem(1));
    QTest::keyClick(tree, Qt::Key_Return);
    Settle();
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(w.server->text(), "198.41.0.4");
    EXPECT_TRUE(w.check->isChecked());

    // Closing the DNS window closes its list.
    Click(w.list);
    list = w.form->DnsListWindow();
    ASSERT_NE(list, nullptr);
    w.form->close();
    Settle();
    EXPECT_EQ(list, nullptr);
}

// Pictures of the window and its list, as a person sees them, in the
// default and in a dark palette; QORDEX_DNS_PNG names a file to keep them.
TEST(DnsWindow, Pictures) {
    test::ScriptedDialogs dialogs;
    const QPalette original = QApplication::palette();
    for (const bool dark : {false, true}) {
        if (dark)
            QApplication::setPalette(test::DarkPalette());
        DnsMsg reply;
        reply.Header(1, 0x8580, 1, 1).Question("mail.test", 15);
        reply.Pointer(kQName).Fields(15, 3600, 7).U16(10).Labels("mx").Pointer(kQName);
        DnsResponder peer({"udp", Hex(reply)});
        DnsWindow w;
        w.host->setText("mail.test");
        Click(w.lookup);
        Click(w.cancel);
        w.UseServer(peer.Port());
        Click(w.mx);
        ASSERT_TRUE(w.WaitFor(QString("Response dump (%1 bytes):").arg(reply.Size())));
        Click(w.list);
        QPointer<TForm21> list = w.form->DnsListWindow();
        ASSERT_NE(list, nullptr);
        QApplication::processEvents();
        const QPixmap shot = w.form->grab();
        const QPixmap listShot = list->grab();
        EXPECT_FALSE(shot.isNull());
        EXPECT_FALSE(listShot.isNull());
        const QString out = qEnvironmentVariable("QORDEX_DNS_PNG");
        if (!out.isEmpty()) {
            const QString stem = out.left(out.lastIndexOf('.')) + (dark ? "-dark" : "");
            EXPECT_TRUE(shot.save(stem + ".png"));
            EXPECT_TRUE(listShot.save(stem + "-list.png"));
        }
    }
    QApplication::setPalette(original);
}
