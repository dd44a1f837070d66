// The Whois window and the country codes list, driven through their
// controls: registries, logos and status texts, the home page seam, a query
// against our own whois server, the proxy panel, closing while a query runs,
// the list opened from the DNS and the Whois window, and pictures.

#include "diag/CountryCodes.h"
#include "diag/Whois.h"
#include "diag/ui/CountryListUnit.h"
#include "diag/ui/DnsUnit.h"
#include "diag/ui/WhoisUnit.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "shell/WebAddress.h"
#include "support/Palettes.h"
#include "support/Process.h"
#include "support/ScriptedDialogs.h"

#include "diag/WhoisPeer.h"
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <map>

using namespace qordex;
using namespace qordex::diag;

namespace {

template<class T> T* Find(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

void Settle() {
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    PumpMessages();
}

struct WhoisWindow {
    QPointer<TForm17> form;
    QComboBox* server;
    QLineEdit *port, *domain;
    QPushButton *request, *cancel;
    QLabel* logo;
    QToolButton *codes, *proxy;
    shell::TMemo* memo;
    QStatusBar* status;

    WhoisWindow() : form(new TForm17) {
        form->show();
        server = Find<QComboBox>(*form, "ComboBox1");
        port = Find<QLineEdit>(*form, "PortEdit");
        domain = Find<QLineEdit>(*form, "DomainEdit");
        request = Find<QPushButton>(*form, "WhoisBt");
        cancel = Find<QPushButton>(*form, "CancelBt");
        logo = Find<QLabel>(*form, "Image1");
        codes = Find<QToolButton>(*form, "CodesBt");
        proxy = Find<QToolButton>(*form, "ProxyBt");
        memo = Find<shell::TMemo>(*form, "Memo1");
        status = Find<QStatusBar>(*form, "StatusBar1");
    }
    ~WhoisWindow() {
        delete form.data();
        Settle();
    }
    bool WaitIdle() {
        return PumpUntil([this] { return request->isEnabled(); }, 60000);
    }
};

// Remembers the addresses the window asks to open, instead of a browser.
struct Browser {
    QStringList opened;
    Browser() {
        shell::SetWebAddressOpener([this](const QString& a) { opened << a; });
    }
    ~Browser() { shell::SetWebAddressOpener({}); }
};

TEST(WhoisWindow, RegistriesLogosAndStatusTexts) {
    Browser browser;
    WhoisWindow w;
    EXPECT_EQ(w.form->windowTitle(), "Whois");
    EXPECT_EQ(w.server->currentText(), "InterNic");
    EXPECT_EQ(w.port->text(), "43");
    EXPECT_EQ(w.status->currentMessage(), "InterNic - Internet's Network Information Center");
    EXPECT_FALSE(w.cancel->isEnabled());
    EXPECT_EQ(w.codes->toolTip(), "Internet Country Codes");
    EXPECT_EQ(w.proxy->text(), "PROXY");
    ASSERT_EQ(w.server->count(), 8);
    EXPECT_EQ(w.server->itemText(7), "");
    struct {
        const char* entry;
        int logo;
        QString status;
    } cases[] = {
        {"ARIN", 2, "ARIN - American Registry for Internet Numbers"},
        {"AfriNIC", 3, "AfriNIC - African Regional Internet Registry"},
        {"APNIC", 4, "APNIC - Asia Pacific Network Information Centre"},
        {"LACNIC", 5, "LACNIC - Latin American and Caribbean IP address Regional Registry"},
        {"Ripe NCC", 6,
         QString::fromUtf8("Ripe NCC -  R\xc3\xa9seaux IP Europ\xc3\xa9"
                           "ens Network Coordination Centre")},
        {"InterNic", 0, "InterNic - Internet's Network Information Center"},
        {"ripe ncc", 7, ""},
        {"whois.example.test", 7, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        w.server->setEditText(c.entry);
        EXPECT_EQ(w.form->LogoIndex(), c.logo);
        EXPECT_EQ(w.status->currentMessage(), c.status);
        EXPECT_EQ(w.logo->toolTip(), c.logo == 7 ? "" : "Open home page");
        browser.opened.clear();
        QTest::mouseClick(w.logo, Qt::LeftButton);
        const QStringList expected =
            c.logo == 7 ? QStringList{}
                        : QStringList{QString::fromLatin1(
                              WhoisRegistries()[std::size_t(c.logo)].homePage)};
        EXPECT_EQ(browser.opened, expected) << "a typed server has no home page";
    }
    w.server->setCurrentIndex(1);
    EXPECT_EQ(w.form->LogoIndex(), 1);
    EXPECT_TRUE(w.status->currentMessage().endsWith(" - Domain Name Registration Services"));
}

TEST(WhoisWindow, AQueryShowsTheAnswerAndEmptyFieldsSendNothing) {
    test::WhoisPeer peer("line one\r\nR\xe9seaux\r\n\r\nlast");
    WhoisWindow w;
    w.server->setEditText("127.0.0.1");
    w.port->setText(QString::fromStdString(peer.PortText()));
    QTest::mouseClick(w.request, Qt::LeftButton); // an empty query
    EXPECT_TRUE(w.request->isEnabled());
    EXPECT_EQ(peer.Connections(), 0u);
    w.domain->setText("example.test");
    QTest::keyClick(w.domain, Qt::Key_Return);
    EXPECT_FALSE(w.request->isEnabled());
    EXPECT_TRUE(w.cancel->isEnabled());
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.memo->Lines(),
              (QStringList{"line one", QString::fromUtf8("R\xc3\xa9seaux"), "", "last"}));
    EXPECT_EQ(w.status->currentMessage(), "Connection closed");
    EXPECT_FALSE(w.cancel->isEnabled());
    EXPECT_EQ(peer.Queries(), std::vector<std::string>{"example.test\r\n"});

    w.form->ClearBtClick();
    EXPECT_TRUE(w.memo->Lines().isEmpty());
    EXPECT_EQ(w.status->currentMessage(), "");
}

TEST(WhoisWindow, CancelKeepsThePartialLine) {
    test::WhoisPeer peer("a\r\nb", {"--hold"});
    WhoisWindow w;
    w.server->setEditText("127.0.0.1");
    w.port->setText(QString::fromStdString(peer.PortText()));
    w.domain->setText("q");
    QTest::mouseClick(w.request, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return w.memo->Lines() == QStringList{"a"}; }, 60000));
    QTest::mouseClick(w.cancel, Qt::LeftButton);
    EXPECT_EQ(w.memo->Lines(), (QStringList{"a", "b"}));
    EXPECT_EQ(w.status->currentMessage(), "Whois cancelled.");
    EXPECT_TRUE(w.request->isEnabled());
}

TEST(WhoisWindow, ThroughTheProxyPanel) {
    if (!test::HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh installs it)";
    test::WhoisPeer peer("proxied\r\n");
    const int proxyPort = test::FreeTcpPort();
    test::Background proxy({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort)});
    ASSERT_TRUE(test::WaitForTcpPort(proxyPort, 10000));
    WhoisWindow w;
    QWidget* panel = Find<QWidget>(*w.form, "ProxyPanel");
    EXPECT_FALSE(panel->isVisible());
    QTest::mouseClick(w.proxy, Qt::LeftButton);
    EXPECT_TRUE(panel->isVisible());
    Find<QCheckBox>(*w.form, "PEnableCheck")->setChecked(true);
    Find<QLineEdit>(*w.form, "PAddressEdit")->setText("127.0.0.1");
    Find<QLineEdit>(*w.form, "PPortEdit")->setText(QString::number(proxyPort));
    w.server->setEditText("127.0.0.1");
    w.port->setText(QString::fromStdString(peer.PortText()));
    w.domain->setText("q");
    QTest::mouseClick(w.request, Qt::LeftButton);
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.memo->Lines(), QStringList{"proxied"});
}

TEST(WhoisWindow, ClosingWhileConnectingOrReceiving) {
    test::WhoisPeer peer("x\r\n", {"--hold"});
    for (bool receiving : {false, true}) {
        WhoisWindow w;
        w.server->setEditText("127.0.0.1");
        w.port->setText(QString::fromStdString(peer.PortText()));
        w.domain->setText("q");
        QTest::mouseClick(w.request, Qt::LeftButton);
        if (receiving) {
            ASSERT_TRUE(PumpUntil([&] { return !w.memo->Lines().isEmpty(); }, 60000));
        }
        w.form->close();
        Settle();
        EXPECT_EQ(w.form, nullptr);
        PumpUntil([] { return false; }, 100); // late socket events find nobody
    }
}

// ---- the country codes list ------------------------------------------------------

TEST(CountryList, TheRowsInOrder) {
    const auto& rows = CountryCodeRows();
    ASSERT_EQ(rows.size(), 261u);
    EXPECT_STREQ(rows.front().code, "AD");
    EXPECT_STREQ(rows[245].code, "ZW");
    EXPECT_STREQ(rows[246].code, "BIZ");
    EXPECT_STREQ(rows.back().code, "NATO");
    for (std::size_t i = 1; i < 246; ++i)
        EXPECT_LT(std::string(rows[i - 1].code), std::string(rows[i].code)) << i;
    const std::map<std::string, std::string> named = {
        {"AD", "Andorra"},
        {"AX", "Aland Islands"},
        {"CD", "Democratic Republic of the Congo"},
        {"CI", "Cote D'Ivoire (Ivory Coast)"},
        {"CS", "Serbia and Montenegro"},
        {"FK", "Falkland Islands (Malvinas)"},
        {"FX", "\"France, Metropolitan\""},
        {"GB", "Great Britain (UK)"},
        {"GS", "S. Georgia and S. Sandwich Islands"},
        {"HR", "Croatia (Hrvatska)"},
        {"KP", "Korea (North)"},
        {"KR", "Korea (South)"},
        {"NZ", "New Zealand (Aotearoa)"},
        {"PS", "Palestinian Territory"},
        {"SU", "USSR (former)"},
        {"TL", "Timor-Leste"},
        {"TP", "East Timor"},
        {"UK", "United Kingdom"},
        {"US", "United States"},
        {"VA", "Vatican City State (Holy See)"},
        {"VG", "Virgin Islands (British)"},
        {"VI", "Virgin Islands (U.S.)"},
        {"YU", "Yugoslavia (former)"},
        {"ZR", "Zaire (former)"},
        {"ZW", "Zimbabwe"},
        {"ARPA", "Arpanet Technical Infrastructure"},
        {"ORG", "Nonprofit Organization"},
    };
    std::size_t found = 0;
    for (const auto& row : rows) {
        auto it = named.find(row.code);
        if (it != named.end()) {
            EXPECT_EQ(row.country, it->second);
            ++found;
        }
        EXPECT_NE(*row.country, '\0') << row.code;
    }
    EXPECT_EQ(found, named.size());
}

TEST(CountryList, OpenedFromBothWindowsDisablesOnlyItsOwnButton) {
    WhoisWindow whois;
    auto* dns = new TForm3;
    dns->show();
    QToolButton* dnsCodes = Find<QToolButton>(*dns, "CodesBt");
    ASSERT_TRUE(dnsCodes->isEnabled());

    QTest::mouseClick(whois.codes, Qt::LeftButton);
    QPointer<TForm23> list = whois.form->CountryListWindow();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->windowTitle(), "Internet Country Codes");
    EXPECT_FALSE(whois.codes->isEnabled());
    EXPECT_TRUE(dnsCodes->isEnabled()) << "the other tool's button is not affected";
    QTreeWidget* rows = Find<QTreeWidget>(*list, "CountryList");
    ASSERT_EQ(rows->topLevelItemCount(), 261);
    EXPECT_EQ(rows->topLevelItem(0)->text(0), "AD");
    EXPECT_EQ(rows->topLevelItem(260)->text(0), "NATO");
    EXPECT_EQ(rows->headerItem()->text(0), "Code");
    EXPECT_EQ(rows->headerItem()->text(1), "Country");
    // A double-click does nothing: the list stays open and unchanged.
    QTest::mouseDClick(rows->viewport(), Qt::LeftButton, {},
                       rows->visualItemRect(rows->topLevelItem(3)).center());
    Settle();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(rows->topLevelItemCount(), 261);

    QTest::mouseClick(dnsCodes, Qt::LeftButton);
    QPointer<TForm23> dnsList = dns->CountryListWindow();
    ASSERT_NE(dnsList, nullptr);
    EXPECT_NE(dnsList, list);
    EXPECT_FALSE(dnsCodes->isEnabled());

    list->close();
    Settle();
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(whois.codes->isEnabled());
    EXPECT_FALSE(dnsCodes->isEnabled());

    // An opener that closes closes its list too.
    dns->close();
    Settle();
    EXPECT_EQ(dnsList, nullptr);
    QTest::mouseClick(whois.codes, Qt::LeftButton);
    list = whois.form->CountryListWindow();
    ASSERT_NE(list, nullptr);
    whois.form->close();
    Settle();
    EXPECT_EQ(list, nullptr);
}

// Pictures of the window with an answer and of the list, in the default and
// a dark palette; QORDEX_WHOIS_PNG names a file to keep them.
TEST(WhoisWindow, Pictures) {
    const QPalette original = QApplication::palette();
    for (const bool dark : {false, true}) {
        if (dark)
            QApplication::setPalette(test::DarkPalette());
        test::WhoisPeer peer("Domain Name: EXAMPLE.TEST\r\nRegistrar: Example\r\n");
        WhoisWindow w;
        w.server->setEditText("127.0.0.1");
        w.port->setText(QString::fromStdString(peer.PortText()));
        w.domain->setText("example.test");
        QTest::mouseClick(w.request, Qt::LeftButton);
        ASSERT_TRUE(w.WaitIdle());
        QTest::mouseClick(w.proxy, Qt::LeftButton);
        QTest::mouseClick(w.codes, Qt::LeftButton);
        QPointer<TForm23> list = w.form->CountryListWindow();
        ASSERT_NE(list, nullptr);
        QApplication::processEvents();
        const QPixmap shot = w.form->grab();
        const QPixmap listShot = list->grab();
        EXPECT_FALSE(shot.isNull());
        EXPECT_FALSE(listShot.isNull());
        const QString out = qEnvironmentVariable("QORDEX_WHOIS_PNG");
        if (!out.isEmpty()) {
            const QString stem = out.left(out.lastIndexOf('.')) + (dark ? "-dark" : "");
            EXPECT_TRUE(shot.save(stem + ".png"));
            EXPECT_TRUE(listShot.save(stem + "-list.png"));
        }
    }
    QApplication::setPalette(original);
}

} // namespace
