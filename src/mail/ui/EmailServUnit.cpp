#include "mail/ui/EmailServUnit.h"

#include "shell/Memo.h"
#include "tools/FailureText.h"

#include <QAction>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qordex::mail {
namespace {
constexpr int kColumns = 6; // id, "address:port", recipient, user, sender, file
constexpr int kPaneLines = 100000;
} // namespace

TForm18::TForm18(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm18"), parent) {
    setWindowTitle(QStringLiteral("SMTP server"));
    SetFixedToolSize(560, 420);
    SetToolColours(QColor(210, 220, 230), QColor(237, 239, 243));

    auto edit = [this](const char* name, const char* text) {
        auto* e = new QLineEdit(QString::fromUtf8(text), this);
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    AddressEdit = edit("AddressEdit", "0.0.0.0");
    PortEdit = edit("PortEdit", "25");
    WelcomeEdit = edit("WelcomeEdit", "Qordex SMTP server ready.");
    FolderEdit = edit("FolderEdit", "");
    StartBt = new QPushButton(QStringLiteral("Start"), this);
    StartBt->setObjectName(QStringLiteral("StartBt"));
    ClientList = new QTreeWidget(this);
    ClientList->setObjectName(QStringLiteral("ClientList"));
    ClientList->setColumnCount(kColumns);
    ClientList->setHeaderLabels({QStringLiteral("Thread ID"), QStringLiteral("IP : Port")});
    ClientList->setRootIsDecorated(false);
    ClientList->setSelectionBehavior(QAbstractItemView::SelectRows);
    ClientList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ClientList->setColumnWidth(0, 65);
    ClientList->setColumnWidth(1, 163);
    // The other sub-items are kept for the tool, not shown.
    for (int c = 2; c < kColumns; ++c)
        ClientList->setColumnHidden(c, true);
    ClientList->setContextMenuPolicy(Qt::ActionsContextMenu);
    Disconnect1 = new QAction(QStringLiteral("Disconnect"), ClientList);
    Disconnect1->setObjectName(QStringLiteral("Disconnect1"));
    ClientList->addAction(Disconnect1);
    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setMaximumBlockCount(kPaneLines);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* fields = new QGridLayout;
    fields->addWidget(label("Server address"), 0, 0);
    auto* addr = new QHBoxLayout;
    addr->addWidget(AddressEdit, 1);
    addr->addWidget(PortEdit);
    PortEdit->setFixedWidth(60);
    fields->addLayout(addr, 0, 1);
    fields->addWidget(label("Welcome banner"), 1, 0);
    fields->addWidget(WelcomeEdit, 1, 1);
    fields->addWidget(label("Destination folder"), 2, 0);
    fields->addWidget(FolderEdit, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StartBt);
    buttons->addStretch(1);
    buttons->addWidget(MakeClearButton());

    auto* left = new QVBoxLayout;
    left->addLayout(fields);
    left->addLayout(buttons);
    left->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(label("User List"));
    right->addWidget(ClientList);
    auto* top = new QHBoxLayout;
    top->addLayout(left, 1);
    top->addLayout(right, 1);

    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->setSpacing(4);
    all->addLayout(top, 2);
    all->addWidget(label("Server Status"));
    all->addWidget(Memo1, 3);

    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(Disconnect1, &QAction::triggered, this, [this] { Disconnect1Click(); });

    tool_.OnLog = [this](const std::string& l) { Log(l); };
    tool_.OnRowAdded = [this](const TSmtpServerTool::Row& r) { RowAdded(r); };
    tool_.OnRowChanged = [this](const TSmtpServerTool::Row& r) { RowChanged(r); };
    tool_.OnRowRemoved = [this](const std::string& id) { RowRemoved(id); };
}

TForm18::~TForm18() {
    tool_.OnLog = nullptr;
    tool_.OnRowAdded = nullptr;
    tool_.OnRowChanged = nullptr;
    tool_.OnRowRemoved = nullptr;
}

void TForm18::FirstShow() {
    if (FolderEdit->text().isEmpty())
        FolderEdit->setText(QString::fromStdString(DefaultMailFolder()));
    // Long texts show their beginning.
    for (QLineEdit* e : {WelcomeEdit, FolderEdit})
        e->setCursorPosition(0);
}

void TForm18::Log(const std::string& line) {
    Memo1->AddBytes(line);
}

void TForm18::SetEditsEnabled(bool on) {
    for (QLineEdit* e : {AddressEdit, PortEdit, WelcomeEdit, FolderEdit})
        e->setEnabled(on);
}

void TForm18::StartBtClick() {
    if (tool_.Running()) {
        tool_.Stop();
        StartBt->setText(QStringLiteral("Start"));
        SetEditsEnabled(true);
        return;
    }
    tool_.Folder = FolderEdit->text().toStdString();
    if (tool_.Folder.empty())
        tool_.Folder = DefaultMailFolder();
    try {
        tool_.Start(AddressEdit->text().toStdString(), PortEdit->text().toStdString(),
                    WelcomeEdit->text().toStdString());
    } catch (const ESocketException& e) {
        // The window stays stopped and says why (port 25 needs root).
        for (const std::string& line : FailureLines(e, PortEdit->text().toStdString()))
            Log(line);
        return;
    }
    StartBt->setText(QStringLiteral("Stop"));
    SetEditsEnabled(false);
}

void TForm18::RowAdded(const TSmtpServerTool::Row& row) {
    QStringList texts;
    for (const std::string& s : row)
        texts << QString::fromStdString(s);
    ClientList->addTopLevelItem(new QTreeWidgetItem(texts));
}

void TForm18::RowChanged(const TSmtpServerTool::Row& row) {
    const auto found = ClientList->findItems(QString::fromStdString(row[0]), Qt::MatchExactly);
    for (QTreeWidgetItem* item : found)
        for (int c = 0; c < int(row.size()); ++c)
            item->setText(c, QString::fromStdString(row[std::size_t(c)]));
}

void TForm18::RowRemoved(const std::string& id) {
    const auto found = ClientList->findItems(QString::fromStdString(id), Qt::MatchExactly);
    for (QTreeWidgetItem* item : found)
        delete item;
}

void TForm18::Disconnect1Click() {
    QTreeWidgetItem* item = ClientList->currentItem();
    if (item && item->isSelected())
        tool_.Disconnect(item->text(0).toStdString());
}

void TForm18::ClearOutput() {
    Memo1->Clear();
}

void TForm18::Shutdown() {
    tool_.DisconnectAll();
    if (tool_.Running())
        tool_.Stop();
}

} // namespace qordex::mail
