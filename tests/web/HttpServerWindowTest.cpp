// The HTTP server window: its controls and defaults, start and stop, the
// request log with its line cap, the client list and Disconnect, the test
// pages, the home-page URL, and a look at it under a dark palette.

#include "platform/MessageLoop.h"
#include "shell/Dialogs.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/Process.h"
#include "support/TestData.h"
#include "web/ui/HttpServUnit.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QToolButton>
#include <arpa/inet.h>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::web;
using namespace qordex::test;

namespace {

class HttpServerWindow : public ::testing::Test {
protected:
    void SetUp() override {
        root = tmp.path().toStdString();
        WriteFile(root + "/index.htm", "<html>home</html>");
        form = new TForm19;
        form->show();
        PumpMessages();
        edit(addr, "AddrEdit");
        edit(port, "PortEdit");
        edit(max, "MaxEdit");
        edit(doc, "DocEdit");
        edit(dir, "DirEdit");
        start = form->findChild<QPushButton*>("StartBt");
        launch = form->findChild<QToolButton*>("LaunchBt");
        help = form->findChild<QToolButton*>("HelpBt");
        memo = form->findChild<shell::TMemo*>("DisplayMemo");
        clients = form->findChild<QListWidget*>("Clients");
        headers = form->findChild<QCheckBox*>("DisplayHeaderCheckBox");
        ASSERT_TRUE(start && launch && help && memo && clients && headers);
    }
    void TearDown() override { delete form.data(); }
    void edit(QLineEdit*& e, const char* name) {
        e = form->findChild<QLineEdit*>(name);
        ASSERT_NE(e, nullptr) << name;
    }
    void Start() {
        port->setText("0");
        dir->setText(QString::fromStdString(root));
        start->click();
        ASSERT_TRUE(PumpUntil([&] { return form->StartTag() == 1; }, 10000));
        bound = std::stoi(form->Tool().Server().BoundPort());
    }
    // Runs a program while this thread's loop keeps serving.
    CommandResult RunServed(const std::vector<std::string>& argv) {
        auto f = std::async(std::launch::async, [argv] { return qordex::test::Run(argv); });
        PumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60000);
        return f.get();
    }
    int ConnectRaw() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(std::uint16_t(bound));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        return fd;
    }
    QTemporaryDir tmp;
    std::string root;
    QPointer<TForm19> form;
    QLineEdit *addr, *port, *max, *doc, *dir;
    QPushButton* start;
    QToolButton *launch, *help;
    shell::TMemo* memo;
    QListWidget* clients;
    QCheckBox* headers;
    int bound = 0;
};

TEST_F(HttpServerWindow, DefaultsAndFirstShow) {
    EXPECT_EQ(form->windowTitle(), "HTTP server");
    EXPECT_EQ(addr->text(), "0.0.0.0");
    EXPECT_EQ(port->text(), "80");
    EXPECT_EQ(max->text(), "50");
    EXPECT_EQ(doc->text(), "index.htm");
    EXPECT_TRUE(dir->text().endsWith("/HttpRoot")) << dir->text().toStdString();
    EXPECT_EQ(start->text(), "Start");
    EXPECT_EQ(launch->text(), "Open index.htm");
    EXPECT_FALSE(launch->isEnabled());
    EXPECT_EQ(launch->toolTip(), "Open home page");
    EXPECT_EQ(help->toolTip(), "Server self tests");
    EXPECT_EQ(headers->text(), "Show header request");
    EXPECT_FALSE(headers->isChecked());
    EXPECT_EQ(form->Tool().Server().LingerOnOff(), wsLingerOn);
    EXPECT_EQ(form->Tool().Server().LingerTimeout(), 1);

    help->click();
    const QStringList lines = memo->Lines();
    EXPECT_TRUE(lines.join("\n").contains(" ** Server Self Tests **"));
    EXPECT_TRUE(lines.join("\n").contains(" POST:  host/Form?Name=user"));

    max->setText("x");
    // A non-number in Max conn. starts nothing.
    struct Quiet : shell::DialogSeam {
        QMessageBox::StandardButton Message(QWidget*, QMessageBox::Icon, const QString&,
                                            const QString& text, QMessageBox::StandardButtons) override {
            said = text;
            return QMessageBox::Ok;
        }
        QString said;
    } quiet;
    shell::SetDialogs(&quiet);
    start->click();
    shell::SetDialogs(nullptr);
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_FALSE(form->Tool().Running());
}

TEST_F(HttpServerWindow, ServesLogsListsClientsAndStops) {
    headers->setChecked(true);
    Start();
    EXPECT_EQ(start->text(), "Stop");
    EXPECT_FALSE(port->isEnabled());
    EXPECT_FALSE(dir->isEnabled());
    EXPECT_TRUE(launch->isEnabled());
    EXPECT_TRUE(memo->Lines().contains("Server started"));

    QString opened;
    form->OpenUrl = [&](const QString& url) { opened = url; };
    launch->click();
    EXPECT_TRUE(opened.endsWith(":" + QString::number(bound) + "/index.htm")) << opened.toStdString();

    const auto r = RunServed({"curl", "-sS", "http://127.0.0.1:" + std::to_string(bound) + "/index.htm"});
    EXPECT_EQ(r.out, "<html>home</html>");
    const QString log = memo->Lines().join("\n");
    EXPECT_TRUE(log.contains(QRegularExpression(R"(   1 \| \d\d:\d\d:\d\d \| 127\.0\.0\.1 \| GET: /index\.htm)")))
        << log.toStdString();
    EXPECT_TRUE(log.contains("     HDR1) Host: 127.0.0.1:")) << log.toStdString();

    // A client stays listed while connected; Disconnect ends its session.
    ASSERT_TRUE(PumpUntil([&] { return clients->count() == 0; }, 10000));
    const int fd = ConnectRaw();
    ASSERT_TRUE(PumpUntil([&] { return clients->count() == 1; }, 10000));
    const QString line = clients->item(0)->text();
    EXPECT_TRUE(line.contains(QRegularExpression("^[0-9A-F]{6} \\| 127\\.0\\.0\\.1 : \\d+$")))
        << line.toStdString();
    clients->item(0)->setSelected(true);
    clients->setCurrentRow(0);
    form->Disconnect1Click();
    auto eof = std::async(std::launch::async, [fd] {
        pollfd p{fd, POLLIN, 0};
        char c;
        return ::poll(&p, 1, 20000) == 1 ? ::recv(fd, &c, 1, 0) : -2;
    });
    ASSERT_TRUE(PumpUntil([&] { return eof.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                          10000));
    EXPECT_EQ(eof.get(), 0);
    ::close(fd);
    ASSERT_TRUE(PumpUntil([&] { return clients->count() == 0; }, 10000));

    start->click();
    ASSERT_TRUE(PumpUntil([&] { return form->StartTag() == 0; }, 10000));
    EXPECT_EQ(start->text(), "Start");
    EXPECT_TRUE(port->isEnabled());
    EXPECT_FALSE(launch->isEnabled());
    EXPECT_TRUE(memo->Lines().contains("Server closed."));
}

TEST_F(HttpServerWindow, LogKeepsTheNewestLinesAndLooksRightWhenDark) {
    Start();
    for (int i = 0; i < 450; ++i)
        help->click();
    const QStringList lines = memo->Lines();
    EXPECT_LE(lines.size(), 401 + 4); // one log call may span a few lines
    EXPECT_TRUE(lines.mid(lines.size() - 3).join("|").contains("data posting example"));

    for (bool dark : {false, true}) {
        if (dark)
            form->setPalette(DarkPalette());
        const QImage shot = form->grab().toImage();
        ASSERT_FALSE(shot.isNull());
        // QORDEX_SHOTS=folder keeps the pictures for a person to look at.
        if (const QString shots = qEnvironmentVariable("QORDEX_SHOTS"); !shots.isEmpty())
            shot.save(shots + (dark ? "/http-server-dark.png" : "/http-server-light.png"));
        // The log pane's text must stand out from its ground in both.
        const QColor text = memo->palette().color(QPalette::Text);
        const QColor base = memo->palette().color(QPalette::Base);
        EXPECT_GT(std::abs(text.lightness() - base.lightness()), 100) << dark;
    }
}

TEST_F(HttpServerWindow, ClosingWhileServingStopsTheServer) {
    Start();
    const int fd = ConnectRaw();
    ASSERT_TRUE(PumpUntil([&] { return clients->count() == 1; }, 10000));
    form->close();
    PumpUntil([&] { return form.isNull(); }, 5000);
    char c;
    EXPECT_LE(::recv(fd, &c, 1, 0), 0);
    ::close(fd);
}

} // namespace
