#include "tools/ui/TcpSUnit.h"

#include "shell/Dialogs.h"
#include "shell/Memo.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::tools {
namespace {
const char* const kTag = "tag";
// Lines each pane keeps; the oldest go first.
constexpr int kPaneLines = 100000;
} // namespace

TForm14::TForm14(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm14"), parent) {
    setWindowTitle(QStringLiteral("TCP server"));
    SetFixedToolSize(644, 454);
    SetToolColours(QColor(210, 220, 230), QColor(237, 239, 243));

    auto named = [](QWidget* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };
    Memo2 = new shell::TMemo(this);
    named(Memo2, "Memo2");
    Memo1 = new shell::TMemo(this);
    named(Memo1, "Memo1");
    Memo1->setMaximumBlockCount(kPaneLines);
    Memo2->setMaximumBlockCount(kPaneLines);
    ClientListBox = new QListWidget(this);
    named(ClientListBox, "ClientListBox");
    ClientListBox->setContextMenuPolicy(Qt::ActionsContextMenu);
    Disconnect1 = new QAction(QStringLiteral("Disconnect"), ClientListBox);
    Disconnect1->setObjectName(QStringLiteral("Disconnect1"));
    ClientListBox->addAction(Disconnect1);
    NumericBox = new QCheckBox(QStringLiteral("Show frame binary data"), this);
    named(NumericBox, "NumericBox");
    TextCheck = new QCheckBox(QStringLiteral("Force text mode"), this);
    named(TextCheck, "TextCheck");
    TextCheck->setChecked(true);
    PortEdit = new QLineEdit(this);
    named(PortEdit, "PortEdit");
    StartBt = new QPushButton(QStringLiteral("Start"), this);
    named(StartBt, "StartBt");
    StartBt->setProperty(kTag, 0);
    WelcomeEdit = new QLineEdit(QStringLiteral("Welcome to Qordex TCP server"), this);
    named(WelcomeEdit, "WelcomeEdit");
    WelcomeEdit->setCursorPosition(0);
    MaxCliEdit = new QLineEdit(this);
    named(MaxCliEdit, "MaxCliEdit");
    LineEndBox = new QComboBox(this);
    named(LineEndBox, "LineEndBox");
    for (const char* item : kLineEndItems)
        LineEndBox->addItem(QString::fromLatin1(item));
    LineEndBox->setCurrentIndex(kDefaultLineEndItem);
    EchoBox = new QCheckBox(QStringLiteral("Echo server"), this);
    named(EchoBox, "EchoBox");
    SendMemo = new QPlainTextEdit(this);
    named(SendMemo, "SendMemo");
    SendMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    SendMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SendMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SendMemo->setFixedHeight(48);
    MultilineCheck = new QCheckBox(QStringLiteral("multiline"), this);
    named(MultilineCheck, "MultilineCheck");
    SendBt = new QPushButton(QStringLiteral("Send"), this);
    named(SendBt, "SendBt");
    SendBt->setEnabled(false);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* statusCol = new QVBoxLayout;
    statusCol->addWidget(label("Status / Data sent"));
    statusCol->addWidget(Memo2);
    auto* clientsCol = new QVBoxLayout;
    clientsCol->addWidget(label("Clients"));
    clientsCol->addWidget(ClientListBox);
    auto* settings = new QGridLayout;
    settings->addWidget(label("Local Port"), 0, 0);
    settings->addWidget(PortEdit, 0, 1);
    settings->addWidget(label("Welcome banner"), 1, 0);
    settings->addWidget(WelcomeEdit, 1, 1);
    settings->addWidget(label("Max. clients"), 2, 0);
    settings->addWidget(MaxCliEdit, 2, 1);
    settings->addWidget(label("Line end"), 3, 0);
    settings->addWidget(LineEndBox, 3, 1);
    settings->addWidget(EchoBox, 4, 1);
    settings->addWidget(StartBt, 5, 1);
    auto* top = new QHBoxLayout;
    top->addLayout(statusCol, 3);
    top->addLayout(clientsCol, 2);
    top->addLayout(settings, 2);

    auto* checks = new QHBoxLayout;
    checks->addWidget(label("Data received"));
    checks->addStretch(1);
    checks->addWidget(NumericBox);
    checks->addWidget(TextCheck);
    checks->addWidget(MakeClearButton());
    checks->addWidget(MakeSaveButton());

    auto* send = new QHBoxLayout;
    send->addWidget(label("Message"));
    send->addWidget(SendMemo, 1);
    send->addWidget(MultilineCheck);
    send->addWidget(SendBt);

    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->setSpacing(4);
    all->addLayout(top, 3);
    all->addLayout(checks);
    all->addWidget(Memo1, 3);
    all->addLayout(send);

    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(SendBt, &QPushButton::clicked, this, [this] { SendBtClick(); });
    connect(Disconnect1, &QAction::triggered, this, [this] { Disconnect1Click(); });
    connect(MultilineCheck, &QCheckBox::clicked, this, [this] { MultilineCheckClick(); });
    connect(EchoBox, &QCheckBox::toggled, this, [this](bool on) { tool_.Echo = on; });
    connect(NumericBox, &QCheckBox::toggled, this, [this](bool on) { tool_.ShowFrame = on; });
    connect(TextCheck, &QCheckBox::toggled, this, [this](bool on) { tool_.TextMode = on; });
    SendMemo->installEventFilter(this);
    WelcomeEdit->installEventFilter(this);
    MaxCliEdit->installEventFilter(this);

    tool_.OnStatus = [this](const std::string& l) { Memo2->AddBytes(l); };
    tool_.OnData = [this](const std::string& l) { Memo1->AddBytes(l); };
    tool_.OnRunning = [this](bool running) { Running(running); };
    tool_.OnClientAdded = [this](const std::string& e) { ClientAdded(e); };
    tool_.OnClientRemoved = [this](const std::string& e) { ClientRemoved(e); };
}

TForm14::~TForm14() {
    // The clients go with the tool and report nothing more to the controls.
    tool_.OnStatus = nullptr;
    tool_.OnData = nullptr;
    tool_.OnRunning = nullptr;
    tool_.OnClientAdded = nullptr;
    tool_.OnClientRemoved = nullptr;
}

int TForm14::StartTag() const {
    return StartBt->property(kTag).toInt();
}

QString TForm14::SavePresetName() const {
    return QStringLiteral("Server") + PortEdit->text() + QStringLiteral(".txt");
}

void TForm14::StartBtClick() {
    if (StartTag() == 1) {
        tool_.Stop();
        return;
    }
    if (PortEdit->text().isEmpty())
        return;
    StartBt->setEnabled(false);
    TcpServerSettings s;
    s.port = PortEdit->text().toStdString();
    s.banner = WelcomeEdit->text().toStdString();
    s.maxClients = MaxCliEdit->text().toStdString();
    s.lineEnd = LineEndFromItem(LineEndBox->currentText().toStdString());
    tool_.Start(s);
    StartBt->setEnabled(true);
}

void TForm14::Running(bool running) {
    PortEdit->setEnabled(!running);
    MaxCliEdit->setEnabled(!running);
    LineEndBox->setEnabled(!running);
    SendBt->setEnabled(running);
    StartBt->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    StartBt->setProperty(kTag, running ? 1 : 0);
    if (!running)
        ClientListBox->clear();
}

void TForm14::ClientAdded(const std::string& entry) {
    ClientListBox->addItem(QString::fromStdString(entry));
    if (ClientListBox->count() == 1 || ClientListBox->selectedItems().isEmpty())
        ClientListBox->setCurrentRow(0);
}

void TForm14::ClientRemoved(const std::string& entry) {
    const auto found = ClientListBox->findItems(QString::fromStdString(entry), Qt::MatchExactly);
    for (QListWidgetItem* item : found)
        delete item;
    if (ClientListBox->count() > 0 && ClientListBox->selectedItems().isEmpty())
        ClientListBox->setCurrentRow(0);
}

void TForm14::SendBtClick() {
    QListWidgetItem* item = ClientListBox->currentItem();
    if (!item || !item->isSelected()) {
        shell::Dialogs().Message(this, QMessageBox::Warning, windowTitle(),
                                 QStringLiteral("Select a client to send message."),
                                 QMessageBox::Ok);
        return;
    }
    tool_.Send(item->text().toStdString(), SendMemo->toPlainText().toStdString(),
               MultilineCheck->isChecked());
    SendMemo->clear();
    SendMemo->repaint();
    SendMemo->setFocus();
}

void TForm14::Disconnect1Click() {
    QListWidgetItem* item = ClientListBox->currentItem();
    if (item && item->isSelected())
        tool_.Disconnect(item->text().toStdString());
}

void TForm14::MultilineCheckClick() {
    const Qt::ScrollBarPolicy bars =
        MultilineCheck->isChecked() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
    SendMemo->setVerticalScrollBarPolicy(bars);
    SendMemo->setHorizontalScrollBarPolicy(bars);
    SendMemo->setFocus();
}

bool TForm14::eventFilter(QObject* watched, QEvent* event) {
    if (watched == SendMemo && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            !MultilineCheck->isChecked()) {
            SendBtClick();
            return true;
        }
    }
    if ((watched == WelcomeEdit || watched == MaxCliEdit) &&
        event->type() == QEvent::MouseButtonPress) {
        auto* edit = static_cast<QLineEdit*>(watched);
        // After the click has placed the cursor, so that the selection stays.
        QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
    }
    return shell::TToolForm::eventFilter(watched, event);
}

void TForm14::ClearOutput() {
    Memo1->Clear();
    Memo2->Clear();
    SendMemo->clear();
}

void TForm14::Shutdown() {
    tool_.Shutdown();
}

} // namespace qordex::tools
