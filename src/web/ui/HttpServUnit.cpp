#include "web/ui/HttpServUnit.h"

#include "base/Text.h"
#include "net/WSocketLib.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"
#include "shell/Memo.h"
#include "tools/FailureText.h"

#include <QAction>
#include <climits>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace qordex::web {
namespace {
const char* const kTag = "tag";
} // namespace

TForm19::TForm19(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm19"), parent) {
    setWindowTitle(QStringLiteral("HTTP server"));
    SetFixedToolSize(644, 414);
    SetToolColours(QColor(214, 222, 210), QColor(240, 242, 238));

    auto edit = [this](const char* name, const char* text, int width) {
        auto* e = new QLineEdit(QString::fromLatin1(text), this);
        e->setObjectName(QString::fromLatin1(name));
        if (width > 0)
            e->setFixedWidth(width);
        return e;
    };
    AddrEdit = edit("AddrEdit", "0.0.0.0", 110);
    PortEdit = edit("PortEdit", "80", 50);
    MaxEdit = edit("MaxEdit", "50", 50);
    DocEdit = edit("DocEdit", "index.htm", 110);
    DirEdit = edit("DirEdit", "", 0);
    StartBt = new QPushButton(QStringLiteral("Start"), this);
    StartBt->setObjectName(QStringLiteral("StartBt"));
    StartBt->setProperty(kTag, 0);
    LaunchBt = new QToolButton(this);
    LaunchBt->setObjectName(QStringLiteral("LaunchBt"));
    LaunchBt->setText(QStringLiteral("Open"));
    LaunchBt->setToolTip(QStringLiteral("Open home page"));
    LaunchBt->setAutoRaise(true);
    LaunchBt->setEnabled(false);
    HelpBt = shell::MakeFlatButton(this, QStringLiteral("HelpBt"), QStringLiteral("Server self tests"),
                                   shell::Glyph(shell::GlyphKind::Tool, QLatin1Char('?'), 120));
    QToolButton* ClearBt = MakeClearButton();
    ClearBt->setObjectName(QStringLiteral("ClearBt"));
    DisplayMemo = new shell::TMemo(this);
    DisplayMemo->setObjectName(QStringLiteral("DisplayMemo"));
    DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The cap is applied before each new line: 400 old ones and the newest.
    DisplayMemo->setMaximumBlockCount(kHttpLogLines + 1);
    Clients = new QListWidget(this);
    Clients->setObjectName(QStringLiteral("Clients"));
    Clients->setContextMenuPolicy(Qt::ActionsContextMenu);
    Disconnect1 = new QAction(QStringLiteral("Disconnect"), Clients);
    Disconnect1->setObjectName(QStringLiteral("Disconnect1"));
    Clients->addAction(Disconnect1);
    DisplayHeaderCheckBox = new QCheckBox(QStringLiteral("Show header request"), this);
    DisplayHeaderCheckBox->setObjectName(QStringLiteral("DisplayHeaderCheckBox"));

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* fields = new QGridLayout;
    fields->addWidget(label("Address"), 0, 0);
    fields->addWidget(AddrEdit, 0, 1);
    fields->addWidget(label("Port"), 0, 2);
    fields->addWidget(PortEdit, 0, 3);
    fields->addWidget(label("Max conn."), 0, 4);
    fields->addWidget(MaxEdit, 0, 5);
    fields->addWidget(label("Def. documment"), 1, 0);
    fields->addWidget(DocEdit, 1, 1);
    fields->addWidget(label("Def. directory"), 1, 2);
    fields->addWidget(DirEdit, 1, 3, 1, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StartBt);
    buttons->addWidget(LaunchBt);
    buttons->addStretch(1);
    buttons->addWidget(DisplayHeaderCheckBox);
    buttons->addWidget(HelpBt);
    buttons->addWidget(ClearBt);

    auto* left = new QVBoxLayout;
    left->addWidget(label("Server activity"));
    left->addWidget(DisplayMemo, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(label("Clients"));
    right->addWidget(Clients, 1);
    auto* panes = new QHBoxLayout;
    panes->addLayout(left, 3);
    panes->addLayout(right, 1);

    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->setSpacing(4);
    all->addLayout(fields);
    all->addLayout(buttons);
    all->addLayout(panes, 1);

    OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(LaunchBt, &QToolButton::clicked, this, [this] { LaunchBtClick(); });
    connect(HelpBt, &QToolButton::clicked, this, [this] { HelpBtClick(); });
    connect(DocEdit, &QLineEdit::editingFinished, this, [this] { DocEditExit(); });
    connect(Disconnect1, &QAction::triggered, this, [this] { Disconnect1Click(); });
    connect(DisplayHeaderCheckBox, &QCheckBox::toggled, this,
            [this](bool on) { tool_.ShowHeaders = on; });

    tool_.OnLog = [this](const std::string& line) { Display(QString::fromStdString(line)); };
    tool_.OnStarted = [this] {
        StartBt->setProperty(kTag, 1);
        SetEditsEnabled(false);
        StartBt->setText(QStringLiteral("Stop"));
        LaunchBt->setEnabled(true);
    };
    tool_.OnStopped = [this] {
        SetEditsEnabled(true);
        StartBt->setText(QStringLiteral("Start"));
        LaunchBt->setEnabled(false);
        StartBt->setProperty(kTag, 0);
    };
    tool_.OnClientAdded = [this](const std::string& line) {
        Clients->addItem(QString::fromStdString(line));
    };
    tool_.OnClientRemoved = [this](const std::string& line, bool clearAll) {
        if (clearAll) {
            Clients->clear();
            return;
        }
        const auto found = Clients->findItems(QString::fromStdString(line), Qt::MatchExactly);
        for (QListWidgetItem* item : found)
            delete item;
    };
}

TForm19::~TForm19() {
    tool_.OnLog = nullptr;
    tool_.OnStarted = nullptr;
    tool_.OnStopped = nullptr;
    tool_.OnClientAdded = nullptr;
    tool_.OnClientRemoved = nullptr;
}

int TForm19::StartTag() const {
    return StartBt->property(kTag).toInt();
}

void TForm19::FirstShow() {
    LaunchBt->setText(QStringLiteral("Open ") + DocEdit->text().trimmed());
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    DirEdit->setText(QDir(data.isEmpty() ? QDir::homePath() : data).filePath(QStringLiteral("HttpRoot")));
}

void TForm19::SetEditsEnabled(bool on) {
    for (QLineEdit* e : {AddrEdit, PortEdit, MaxEdit, DocEdit, DirEdit})
        e->setEnabled(on);
}

void TForm19::Display(const QString& line) {
    DisplayMemo->AddLine(line);
}

void TForm19::StartBtClick() {
    if (StartTag() == 1) {
        tool_.Stop();
        return;
    }
    const std::string max = MaxEdit->text().toStdString();
    const auto maxClients = ParseDecimal(Trim(max), INT_MIN, INT_MAX);
    if (!maxClients) {
        shell::ShowError(this, QString::fromStdString(NotAnIntegerMessage(max)));
        return;
    }
    const QString doc = DocEdit->text().trimmed();
    LaunchBt->setText(QStringLiteral("Open ") + doc);
    tool_.ShowHeaders = DisplayHeaderCheckBox->isChecked();
    try {
        tool_.Start(AddrEdit->text().toStdString(), PortEdit->text().toStdString(), int(*maxClients),
                    DirEdit->text().trimmed().toStdString(), doc.toStdString());
    } catch (const ESocketException& e) {
        // The window stays stopped with its fields enabled.
        for (const std::string& line : FailureLines(e, PortEdit->text().toStdString()))
            Display(QString::fromStdString(line));
    }
}

QString TForm19::HomeUrl() {
    const bool running = tool_.Running();
    // The port the listener holds: a service name or 0 becomes its number.
    const std::string port =
        Trim(running ? tool_.Server().BoundPort() : PortEdit->text().toStdString());
    const std::string doc =
        running ? tool_.Server().DefaultDoc() : Trim(DocEdit->text().toStdString());
    QString url = QStringLiteral("http://") + QString::fromStdString(GetLocalHostName());
    // A browser would try port 80 when the URL names none.
    if (port != "80" && port != "http")
        url += QStringLiteral(":") + QString::fromStdString(port);
    return url + QStringLiteral("/") + QString::fromStdString(doc);
}

void TForm19::LaunchBtClick() {
    if (OpenUrl)
        OpenUrl(HomeUrl());
}

void TForm19::HelpBtClick() {
    for (const std::string& text : THttpServTool::HelpTexts())
        Display(QString::fromStdString(text));
}

void TForm19::DocEditExit() {
    LaunchBt->setText(QStringLiteral("Open ") + DocEdit->text());
}

void TForm19::Disconnect1Click() {
    QListWidgetItem* item = Clients->currentItem();
    if (!item || !item->isSelected())
        return;
    tool_.Disconnect(item->text().toStdString());
}

void TForm19::ClearOutput() {
    DisplayMemo->Clear();
}

void TForm19::Shutdown() {
    if (tool_.Running())
        tool_.Stop();
}

} // namespace qordex::web
