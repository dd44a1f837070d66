#include "ftp/ui/FtpSUnit.h"

#include "shell/Memo.h"
#include "tools/FailureText.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::ftp {
namespace {
const char* const kTag = "tag";
} // namespace

TForm8::TForm8(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm8"), parent) {
    setWindowTitle(QStringLiteral("FTP server"));
    SetFixedToolSize(560, 380);
    SetToolColours(QColor(220, 226, 214), QColor(240, 242, 236));

    auto edit = [this](const char* name, const char* text) {
        auto* e = new QLineEdit(QString::fromLatin1(text), this);
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    AddressEdit = edit("AddressEdit", "0.0.0.0");
    PortEdit = edit("PortEdit", "21");
    UserEdit = edit("UserEdit", "qordex");
    PassEdit = edit("PassEdit", "tewlim");
    SharingEdit = edit("SharingEdit", "c:\\");
    StartBt = new QPushButton(QStringLiteral("Start"), this);
    StartBt->setObjectName(QStringLiteral("StartBt"));
    StartBt->setProperty(kTag, 0);
    ListCliBt = new QPushButton(QStringLiteral("List clients"), this);
    ListCliBt->setObjectName(QStringLiteral("ListCliBt"));
    ClientCountLabel = new QLabel(QStringLiteral("0"), this);
    ClientCountLabel->setObjectName(QStringLiteral("ClientCountLabel"));
    InfoMemo = new shell::TMemo(this);
    InfoMemo->setObjectName(QStringLiteral("InfoMemo"));
    InfoMemo->setMaximumBlockCount(100000);
    auto check = [this](const char* name, const char* text, bool on) {
        auto* c = new QCheckBox(QString::fromLatin1(text), this);
        c->setObjectName(QString::fromLatin1(name));
        c->setChecked(on);
        return c;
    };
    GetCheck = check("GetCheck", "Can Get", true);
    PutCheck = check("PutCheck", "Can Put", true);
    RenameCheck = check("RenameCheck", "Can Rename", true);
    DeleCheck = check("DeleCheck", "Can Delete", false);
    ChangeDirCheck = check("ChangeDirCheck", "Can Change Directory", false);
    MakeDirCheck = check("MakeDirCheck", "Can Make Directory", false);
    RemDirCheck = check("RemDirCheck", "Can Remove Directory", false);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* fields = new QGridLayout;
    int row = 0;
    for (auto [text, e] : {std::pair{"Address", AddressEdit}, {"Port", PortEdit}, {"UserName", UserEdit},
                           {"Password", PassEdit}, {"Sharing directory", SharingEdit}}) {
        fields->addWidget(label(text), row, 0);
        fields->addWidget(e, row++, 1);
    }
    auto* count = new QHBoxLayout;
    count->addWidget(label("Clients:"));
    count->addWidget(ClientCountLabel);
    count->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StartBt);
    buttons->addWidget(ListCliBt);
    buttons->addStretch(1);
    buttons->addWidget(MakeClearButton());

    auto* right = new QVBoxLayout;
    right->addLayout(fields);
    for (QCheckBox* c : {GetCheck, PutCheck, RenameCheck, DeleCheck, ChangeDirCheck, MakeDirCheck,
                         RemDirCheck})
        right->addWidget(c);
    right->addLayout(count);
    right->addStretch(1);
    right->addLayout(buttons);

    auto* all = new QHBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->addWidget(InfoMemo, 1);
    all->addLayout(right);

    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(ListCliBt, &QPushButton::clicked, this, [this] { ListCliBtClick(); });

    // The boxes are read at each command, so changes apply while running.
    tool_.Allowed = [this](FtpPermission p) {
        switch (p) {
        case FtpPermission::Get: return GetCheck->isChecked();
        case FtpPermission::Put: return PutCheck->isChecked();
        case FtpPermission::Rename: return RenameCheck->isChecked();
        case FtpPermission::Dele: return DeleCheck->isChecked();
        case FtpPermission::ChangeDir: return ChangeDirCheck->isChecked();
        case FtpPermission::MakeDir: return MakeDirCheck->isChecked();
        case FtpPermission::RemoveDir: return RemDirCheck->isChecked();
        }
        return false;
    };
    tool_.OnLog = [this](const std::string& line) { Log(line); };
    tool_.OnStarted = [this] { ServerStarted(); };
    tool_.OnStopped = [this] { ServerStopped(); };
    // A client leaving is reported before the server lets go of it.
    tool_.OnClientsChanged = [this] { QTimer::singleShot(0, this, [this] { RefreshCount(); }); };
}

TForm8::~TForm8() {
    tool_.OnLog = nullptr;
    tool_.OnStarted = nullptr;
    tool_.OnStopped = nullptr;
    tool_.OnClientsChanged = nullptr;
    tool_.Allowed = nullptr;
}

int TForm8::StartTag() const {
    return StartBt->property(kTag).toInt();
}

void TForm8::Log(const std::string& line) {
    InfoMemo->AddLine(QString::fromStdString(line));
}

void TForm8::StartBtClick() {
    if (StartTag() == 1) {
        StartBt->setEnabled(false);
        tool_.Stop();
        return;
    }
    QApplication::processEvents();
    StartBt->setEnabled(false);
    for (const std::string& line : tool_.StartupLines())
        Log(line);
    tool_.UserName = UserEdit->text().toStdString();
    tool_.Password = PassEdit->text().toStdString();
    tool_.SharingDir = SharingEdit->text().toStdString();
    try {
        tool_.Start(AddressEdit->text().toStdString(), PortEdit->text().toStdString());
    } catch (const ESocketException& e) {
        // Nothing started: say why and let the user try again.
        for (const std::string& line : qordex::FailureLines(e, PortEdit->text().toStdString()))
            Log(line);
        StartBt->setEnabled(true);
    }
    RefreshCount();
}

void TForm8::ServerStarted() {
    StartBt->setProperty(kTag, 1);
    StartBt->setText(QStringLiteral("Stop"));
    StartBt->setEnabled(true);
    EnableEdits(false);
}

void TForm8::ServerStopped() {
    StartBt->setProperty(kTag, 0);
    StartBt->setText(QStringLiteral("Start"));
    StartBt->setEnabled(true);
    EnableEdits(true);
}

void TForm8::EnableEdits(bool on) {
    for (QLineEdit* e : {AddressEdit, PortEdit, UserEdit, PassEdit, SharingEdit})
        e->setEnabled(on);
}

void TForm8::RefreshCount() {
    ClientCountLabel->setText(QString::number(tool_.Server().ClientCount()));
}

void TForm8::ListCliBtClick() {
    for (const std::string& line : tool_.ClientLines())
        Log(line);
}

void TForm8::ClearOutput() {
    InfoMemo->Clear();
}

void TForm8::Shutdown() {
    if (tool_.Server().Active())
        tool_.Stop();
}

} // namespace qordex::ftp
