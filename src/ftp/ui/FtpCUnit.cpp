#include "ftp/ui/FtpCUnit.h"

#include "base/Text.h"
#include "ftp/FtpReport.h"
#include "ftp/ui/DirUnit.h"
#include "platform/DisplayText.h"
#include "shell/Dialogs.h"
#include "shell/Memo.h"
#include "shell/PanelDrag.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::ftp {
namespace {

constexpr int kLogMax = 200; // lines kept before trimming
constexpr int kLogTrim = 50; // oldest lines removed at once

QLineEdit* MakeEdit(QWidget* parent, const char* name, const char* text = "") {
    auto* e = new QLineEdit(QString::fromLatin1(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    return e;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* caption, bool checked,
                     const char* hint = nullptr) {
    auto* c = new QCheckBox(QString::fromLatin1(caption), parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setChecked(checked);
    if (hint)
        c->setToolTip(QString::fromLatin1(hint));
    return c;
}

std::string Text(const QLineEdit* e) {
    return DisplayToBytes(e->text());
}

} // namespace

TForm7::TForm7(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm7"), parent) {
    setWindowTitle(QStringLiteral("FTP client"));
    setWindowFlags(Qt::Window | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(744, 424);

    client_ = std::make_unique<TFtpClient>();
    TFtpClient& c = *client_;
    c.SetTimeout(15);
    c.SetMultiThreaded(false);
    c.SetPort("ftp");
    c.SetDataPortRangeStart(0);
    c.SetDataPortRangeEnd(0);
    c.SetLocalAddr("0.0.0.0");
    c.SetDisplayFileFlag(false);
    c.SetBinary(true);
    c.SetShareMode(ftpShareExclusive);
    c.SetOptions(ftpAcceptLF);
    c.SetConnectionType(ftpDirect);
    c.SetBandwidthLimit(10000);
    c.SetBandwidthSampling(1000);
    c.OnProgress = [this](TCustomFtpCli*, std::int64_t count, bool&) {
        lastProgress_ = count;
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextProgress_) {
            nextProgress_ = now + std::chrono::seconds(1);
            InfoLabel->setText(QString::number(count));
            InfoLabel->repaint();
        }
    };
    c.OnSessionConnected = [this](TCustomFtpCli* s, std::uint16_t e) {
        Log(QStringLiteral("Session Connected, error = %1").arg(e));
        s->Tag = 1;
    };
    c.OnSessionClosed = [this](TCustomFtpCli* s, std::uint16_t e) {
        Log(QStringLiteral("Session Closed, error = %1").arg(e));
        s->Tag = 0;
    };
    c.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest rq, std::uint16_t e) {
        RequestDone(rq, e);
    };
    c.OnStateChange = [this](TCustomFtpCli* s) {
        StateLabel->setText(QString::number(s->State()));
    };

    // ---- settings ----
    HostNameEdit = MakeEdit(this, "HostNameEdit");
    PortEdit = MakeEdit(this, "PortEdit", "21");
    UserNameEdit = MakeEdit(this, "UserNameEdit");
    PassWordEdit = MakeEdit(this, "PassWordEdit");
    HostDirEdit = MakeEdit(this, "HostDirEdit");
    HostFileEdit = MakeEdit(this, "HostFileEdit");
    LocalFileEdit = MakeEdit(this, "LocalFileEdit");
    ResumeAtEdit = MakeEdit(this, "ResumeAtEdit");
    cbBinary =
        MakeCheck(this, "cbBinary", "Binary Mode", true, "Select to use binary mode transfer");
    cbDisplay = MakeCheck(this, "cbDisplay", "Display Data", false,
                          "Enable data display during file transfer");
    PassiveCheckBox = MakeCheck(this, "PassiveCheckBox", "Passive Mode", true);
    SyncCheckBox = MakeCheck(this, "SyncCheckBox", "Synchronous", false);
    NoAutoResumeAtCheckBox = MakeCheck(this, "NoAutoResumeAtCheckBox", "NoAutoResumeAt", false);
    InfoLabel = new QLabel(this);
    InfoLabel->setObjectName(QStringLiteral("InfoLabel"));
    InfoLabel->setMinimumWidth(40);
    StateLabel = new QLabel(this);
    StateLabel->setObjectName(QStringLiteral("StateLabel"));
    StateLabel->setMinimumWidth(20);
    DisplayMemo = new shell::TMemo(this);
    DisplayMemo->setObjectName(QStringLiteral("DisplayMemo"));
    ProxyBt = shell::MakeProxyButton(this);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* form = new QGridLayout;
    form->setVerticalSpacing(2);
    form->addWidget(label("HostName"), 0, 0);
    form->addWidget(HostNameEdit, 0, 1);
    form->addWidget(PortEdit, 0, 2);
    form->addWidget(label("User/Pass"), 1, 0);
    form->addWidget(UserNameEdit, 1, 1);
    form->addWidget(PassWordEdit, 1, 2);
    form->addWidget(label("Host Dir"), 2, 0);
    form->addWidget(HostDirEdit, 2, 1, 1, 2);
    form->addWidget(label("Host File"), 3, 0);
    form->addWidget(HostFileEdit, 3, 1, 1, 2);
    form->addWidget(label("Local File"), 4, 0);
    form->addWidget(LocalFileEdit, 4, 1, 1, 2);
    form->addWidget(label("Resume at"), 5, 0);
    form->addWidget(ResumeAtEdit, 5, 1, 1, 2);
    form->addWidget(cbBinary, 6, 1);
    form->addWidget(cbDisplay, 6, 2);
    form->addWidget(PassiveCheckBox, 7, 1);
    form->addWidget(SyncCheckBox, 7, 2);
    form->addWidget(NoAutoResumeAtCheckBox, 8, 1, 1, 2);
    form->setColumnStretch(1, 1);
    form->setColumnStretch(2, 1);
    PortEdit->setFixedWidth(60);
    PassWordEdit->setEchoMode(QLineEdit::Password);
    auto* info = new QHBoxLayout;
    info->setSpacing(3);
    info->addWidget(label("Information:"));
    info->addWidget(InfoLabel, 1);
    info->addWidget(label("State:"));
    info->addWidget(StateLabel);
    info->addWidget(ProxyBt);
    info->addWidget(MakeClearButton());
    auto* left = new QVBoxLayout;
    left->addLayout(form);
    left->addLayout(info);
    left->addStretch(1);

    // ---- buttons ----
    auto* single = new QGroupBox(QStringLiteral("Synchorous mode"), this);
    auto* sequence = new QGroupBox(QStringLiteral("Asynchronous mode"), this);
    auto* singleGrid = new QGridLayout(single);
    auto* sequenceGrid = new QGridLayout(sequence);
    for (QGridLayout* g : {singleGrid, sequenceGrid}) {
        g->setSpacing(2);
        g->setContentsMargins(4, 4, 4, 4);
    }
    auto withDisplay = [this](std::function<void()> more = {}) -> Copy {
        return [this, more] {
            client_->SetDisplayFileFlag(cbDisplay->isChecked());
            BindDisplay();
            if (more)
                more();
            return true;
        };
    };
    auto hostFile = [this] { client_->SetHostFileName(Text(HostFileEdit)); };
    auto dirFileLocal = [this] {
        client_->SetHostDirName(Text(HostDirEdit));
        client_->SetHostFileName(Text(HostFileEdit));
        client_->SetLocalFileName(Text(LocalFileEdit));
    };
    auto restartOptions = [this] {
        client_->SetOptions(NoAutoResumeAtCheckBox->isChecked() ? TFtpOptions(ftpNoAutoResumeAt)
                                                                : 0);
    };
    auto listing = [this, withDisplay] {
        return withDisplay([this] {
            DeleteListingFile();
            client_->SetHostFileName(Text(HostFileEdit));
            client_->SetLocalFileName(listingFile_);
            client_->SetPassive(PassiveCheckBox->isChecked());
        });
    };
    using F = TCustomFtpCli;
    const struct {
        const char* name;
        const char* caption;
        Copy copy;
        void (TCustomFtpCli::*op)();
    } singles[] = {
        {"ConnectAsyncButton", "Connect", [this] { return FullSettings(); }, &F::ConnectAsync},
        {"QuitAsyncButton", "Quit", withDisplay(), &F::QuitAsync},
        {"OpenAsyncButton", "Open",
         [this] {
             DisplayMemo->Clear();
             Log(QStringLiteral("Connect Async"));
             client_->SetHostName(Text(HostNameEdit));
             client_->SetPort(Text(PortEdit));
             client_->SetDisplayFileFlag(cbDisplay->isChecked());
             BindDisplay();
             return true;
         },
         &F::OpenAsync},
        {"UserAsyncButton", "User",
         withDisplay([this] { client_->SetUserName(Text(UserNameEdit)); }), &F::UserAsync},
        {"PassAsyncButton", "Pass",
         withDisplay([this] { client_->SetPassWord(Text(PassWordEdit)); }), &F::PassAsync},
        {"GetAsyncButton", "Get",
         [this, dirFileLocal] {
             dirFileLocal();
             client_->SetPassive(PassiveCheckBox->isChecked());
             return true;
         },
         &F::GetAsync},
        {"RestGetAsyncButton", "Restart Get",
         [this, dirFileLocal, restartOptions] {
             dirFileLocal();
             restartOptions();
             return CopyResumeAt();
         },
         &F::RestGetAsync},
        {"PutAsyncButton", "Put", withDisplay([this, dirFileLocal] {
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
             client_->SetPassive(PassiveCheckBox->isChecked());
         }),
         &F::PutAsync},
        {"RestPutAsyncButton", "Restart Put",
         [this, dirFileLocal] {
             dirFileLocal();
             return CopyResumeAt();
         },
         &F::RestPutAsync},
        {"RenAsyncButton", "Rename",
         [this] {
             client_->SetHostFileName(Text(HostFileEdit));
             client_->SetLocalFileName(Text(LocalFileEdit));
             BindDisplay();
             return true;
         },
         &F::RenAsync},
        {"DeleAsyncButton", "Delete", withDisplay(hostFile), &F::DeleAsync},
        {"SizeAsyncButton", "Size", withDisplay(hostFile), &F::SizeAsync},
        {"AppendAsyncButton", "Append File", withDisplay([this, dirFileLocal] {
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
         }),
         &F::AppendAsync},
        {"DirAsyncButton", "Directory List", listing(), &F::DirAsync},
        {"LsAsyncButton", "File List", listing(), &F::LsAsync},
        {"MkdAsyncButton", "Make Dir", withDisplay(hostFile), &F::MkdAsync},
        {"RmdAsyncButton", "Remove Dir", withDisplay(hostFile), &F::RmdAsync},
        {"CDupAsyncButton", "Dir Up", withDisplay(), &F::CDupAsync},
        {"CwdAsyncButton", "Cwd",
         withDisplay([this] { client_->SetHostDirName(Text(HostDirEdit)); }), &F::CwdAsync},
        {"PwdAsyncButton", "Pwd", withDisplay(), &F::PwdAsync},
        {"QuoteAsyncButton", "Quote",
         withDisplay([this] { client_->SetLocalFileName(Text(LocalFileEdit)); }), &F::QuoteAsync},
        {"TypeSetAsyncButton", "TypeSet",
         withDisplay([this] { client_->SetBinary(cbBinary->isChecked()); }), &F::TypeSetAsync},
        {"SystAsyncButton", "System", withDisplay(), &F::SystAsync},
        {"AbortAsyncButton", "Abort", [] { return true; }, &F::AbortAsync},
    };
    int k = 0;
    for (const auto& b : singles) {
        singleGrid->addWidget(AddButton(single, b.name, b.caption, b.copy, b.op), k / 3, k % 3);
        ++k;
    }
    auto full = [this](std::function<void()> more = {}) -> Copy {
        return [this, more] {
            if (!FullSettings())
                return false;
            if (more)
                more();
            return true;
        };
    };
    const struct {
        const char* name;
        const char* caption;
        Copy copy;
        void (TCustomFtpCli::*op)();
    } sequences[] = {
        {"ReceiveAsyncButton", "Receive", full([this, dirFileLocal] {
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
             client_->SetPassive(PassiveCheckBox->isChecked());
         }),
         &F::ReceiveAsync},
        {"TransmitAsyncButton", "Transmit", full([this, dirFileLocal] {
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
             client_->SetPassive(PassiveCheckBox->isChecked());
         }),
         &F::TransmitAsync},
        {"RestartGetAsyncButton", "Restart Get",
         [this, dirFileLocal, restartOptions] {
             if (!FullSettings())
                 return false;
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
             restartOptions();
             return CopyResumeAt();
         },
         &F::RestartGetAsync},
        {"RestartPutAsyncButton", "Restart Put",
         [this, dirFileLocal] {
             if (!FullSettings())
                 return false;
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
             return CopyResumeAt();
         },
         &F::RestartPutAsync},
        {"AppendFileAsyncButton", "Append File", full([this, dirFileLocal] {
             dirFileLocal();
             client_->SetBinary(cbBinary->isChecked());
         }),
         &F::AppendFileAsync},
        {"FileSizeAsyncButton", "File Size", full([this] {
             client_->SetHostDirName(Text(HostDirEdit));
             client_->SetHostFileName(Text(HostFileEdit));
         }),
         &F::FileSizeAsync},
        {"RenameAsyncButton", "Rename", full([this] {
             client_->SetHostDirName(Text(HostDirEdit));
             client_->SetHostFileName(Text(HostFileEdit));
             client_->SetLocalFileName(Text(LocalFileEdit));
         }),
         &F::RenameAsync},
        {"DeleteAsyncButton", "Delete", full(hostFile), &F::DeleteAsync},
        {"DirectoryAsyncButton", "Directory", full([this] {
             DeleteListingFile();
             client_->SetHostDirName(Text(HostDirEdit));
             client_->SetHostFileName(Text(HostFileEdit));
             client_->SetLocalFileName(listingFile_);
             client_->SetPassive(PassiveCheckBox->isChecked());
         }),
         &F::DirectoryAsync},
        {"ListAsyncButton", "List", full([this] {
             DeleteListingFile();
             client_->SetHostDirName(Text(HostDirEdit));
             client_->SetHostFileName(Text(HostFileEdit));
             client_->SetLocalFileName(listingFile_);
             client_->SetPassive(PassiveCheckBox->isChecked());
         }),
         &F::ListAsync},
        {"MkdirAsyncButton", "Make Dir", full(hostFile), &F::MkdirAsync},
        {"RmdirAsyncButton", "Remove Dir", full(hostFile), &F::RmdirAsync},
        {"SystemAsyncButton", "System", full(), &F::SystemAsync},
        {"DoQuoteAsyncButton", "Do Quote",
         full([this] { client_->SetLocalFileName(Text(LocalFileEdit)); }), &F::DoQuoteAsync},
    };
    k = 0;
    for (const auto& b : sequences) {
        sequenceGrid->addWidget(AddButton(sequence, b.name, b.caption, b.copy, b.op), k / 2, k % 2);
        ++k;
    }
    auto* groups = new QHBoxLayout;
    groups->addWidget(single, 1);
    groups->addWidget(sequence, 0);

    auto* settings = new QWidget(this);
    settings->setLayout(left);
    left->setContentsMargins(0, 0, 0, 0);
    settings->setFixedWidth(284);
    auto* top = new QHBoxLayout;
    top->addWidget(settings, 0);
    top->addLayout(groups, 1);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->addLayout(top);
    outer->addWidget(DisplayMemo, 1);

    // ---- the proxy panel, over the other controls ----
    ProxyPanel = new QFrame(this);
    ProxyPanel->setObjectName(QStringLiteral("ProxyPanel"));
    ProxyPanel->setFrameShape(QFrame::Panel);
    ProxyPanel->setFrameShadow(QFrame::Raised);
    ProxyPanel->setAutoFillBackground(true);
    auto* drag = new shell::TPanelDrag(ProxyPanel);
    FtpCheck = MakeCheck(ProxyPanel, "FtpCheck", "Use Proxy", false);
    ProxyCombo = new QComboBox(ProxyPanel);
    ProxyCombo->setObjectName(QStringLiteral("ProxyCombo"));
    ProxyCombo->addItems({QStringLiteral("FTP Proxy"), QStringLiteral("Socks4"),
                          QStringLiteral("Socks4A"), QStringLiteral("Socks5")});
    ProxyCombo->setCurrentIndex(0);
    ProxyServerEdit = MakeEdit(ProxyPanel, "ProxyServerEdit");
    SocksServerEdit = MakeEdit(ProxyPanel, "SocksServerEdit");
    SocksPortEdit = MakeEdit(ProxyPanel, "SocksPortEdit");
    SocksUserEdit = MakeEdit(ProxyPanel, "SocksUserEdit");
    SocksPassEdit = MakeEdit(ProxyPanel, "SocksPassEdit");
    SocksPassEdit->setEchoMode(QLineEdit::Password);
    PAuthCheck = MakeCheck(ProxyPanel, "PAuthCheck", "Authenticate", false);
    auto* pg = new QGridLayout(ProxyPanel);
    pg->setVerticalSpacing(2);
    auto* title = new QLabel(QStringLiteral("Proxy Configuration"), ProxyPanel);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    pg->addWidget(title, 0, 0, 1, 2);
    pg->addWidget(FtpCheck, 1, 0, 1, 2);
    const std::pair<const char*, QWidget*> rows[] = {
        {"Proxy type", ProxyCombo},      {"Proxy srvr", ProxyServerEdit},
        {"Socks srvr", SocksServerEdit}, {"Port", SocksPortEdit},
        {"UserCode", SocksUserEdit},     {"Password", SocksPassEdit},
    };
    int row = 2;
    for (const auto& [text, w] : rows) {
        auto* l = new QLabel(QString::fromLatin1(text), ProxyPanel);
        drag->AddHandle(l);
        pg->addWidget(l, row, 0);
        pg->addWidget(w, row++, 1);
    }
    pg->addWidget(PAuthCheck, row, 0, 1, 2);
    drag->AddHandle(title);
    ProxyPanel->adjustSize();
    ProxyPanel->move(250, 40);
    ProxyPanel->hide();

    connect(ProxyBt, &QToolButton::clicked, this, [this] {
        ProxyPanel->setVisible(!ProxyPanel->isVisible());
        if (ProxyPanel->isVisible()) {
            ProxyPanel->raise();
            FtpCheck->setFocus();
        }
    });
}

TForm7::~TForm7() {
    if (dirForm_) {
        dirForm_->ForgetFlag();
        dirForm_->close();
    }
}

QPushButton* TForm7::AddButton(QWidget* box, const char* name, const char* caption, Copy copy,
                               void (TCustomFtpCli::*op)()) {
    auto* b = new QPushButton(QString::fromLatin1(caption), box);
    b->setObjectName(QString::fromLatin1(name));
    b->setMinimumHeight(22);
    // Room for the caption; the style's own margins would cut the longest ones.
    b->setMinimumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 10);
    connect(b, &QPushButton::clicked, this, [this, copy, op] { Execute(copy, op); });
    return b;
}

void TForm7::Execute(const Copy& copy, void (TCustomFtpCli::*op)()) {
    if (!copy())
        return;
    Log(QStringLiteral("Executing Requested Command"));
    nextProgress_ = {};
    lastProgress_ = 0;
    if (SyncCheckBox->isChecked()) {
        const QPointer<TForm7> alive(this);
        const bool ok = client_->Synchronize(op);
        if (alive)
            Log(ok ? QStringLiteral("Command Success") : QStringLiteral("Command Failure"));
        return;
    }
    try {
        ((*client_).*op)();
    } catch (const FtpException& e) {
        shell::ShowError(this, QString::fromStdString(e.what()));
    }
}

void TForm7::BindDisplay() {
    client_->OnDisplay = [this](TCustomFtpCli*, std::string& msg) { Log(BytesToDisplay(msg)); };
}

bool TForm7::FullSettings() {
    TFtpClient& c = *client_;
    c.SetHostName(Text(HostNameEdit));
    c.SetPort(Text(PortEdit));
    c.SetUserName(Text(UserNameEdit));
    c.SetPassWord(Text(PassWordEdit));
    c.SetDisplayFileFlag(cbDisplay->isChecked());
    BindDisplay();
    try {
        if (FtpCheck->isChecked()) {
            static const TFtpConnectionType types[] = {ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5};
            c.SetConnectionType(types[std::clamp(ProxyCombo->currentIndex(), 0, 3)]);
            c.SetProxyServer(Text(ProxyServerEdit));
            c.SetSocksServer(Text(SocksServerEdit));
            c.SetSocksPort(Text(SocksPortEdit));
            c.SetSocksUserCode(PAuthCheck->isChecked() ? Text(SocksUserEdit) : std::string());
            c.SetSocksPassword(PAuthCheck->isChecked() ? Text(SocksPassEdit) : std::string());
        } else {
            c.SetConnectionType(ftpDirect);
            c.SetSocksServer({});
            c.SetSocksPort({});
            c.SetSocksUserCode({});
            c.SetSocksPassword({});
        }
    } catch (const FtpException& e) {
        shell::ShowError(this, QString::fromStdString(e.what()));
        return false;
    }
    return true;
}

bool TForm7::CopyResumeAt() {
    const std::string text = Text(ResumeAtEdit);
    const auto value = ParseDecimal(text, 0, INT64_MAX);
    if (!value) {
        shell::ShowError(this, QString::fromStdString(NotAnIntegerMessage(text)));
        return false;
    }
    client_->SetResumeAt(*value);
    return true;
}

void TForm7::Log(const QString& line) {
    QTextDocument* doc = DisplayMemo->document();
    if (doc->blockCount() > kLogMax) {
        QTextCursor cur(doc);
        cur.movePosition(QTextCursor::Start);
        cur.movePosition(QTextCursor::Down, QTextCursor::KeepAnchor, kLogTrim);
        cur.removeSelectedText();
    }
    DisplayMemo->AddLine(line);
    DisplayMemo->ensureCursorVisible();
}

void TForm7::ClearOutput() {
    DisplayMemo->Clear();
}

void TForm7::FirstShow() {
    DisplayMemo->Clear();
    InfoLabel->clear();
    StateLabel->clear();
    if (work_.isValid())
        listingFile_ = work_.filePath(QStringLiteral("FTPTEMP.TXT")).toStdString();
}

void TForm7::DeleteListingFile() {
    if (!listingFile_.empty())
        QFile::remove(QString::fromStdString(listingFile_));
}

void TForm7::RequestDone(TFtpRequest rq, int error) {
    for (const std::string& line : RequestDoneLines(*client_, rq, error))
        Log(BytesToDisplay(line));
    InfoLabel->setText(QString::number(lastProgress_));
    if (error == 0 && IsListingRequest(rq))
        ShowListing();
}

void TForm7::ShowListing() {
    if (!dirFormOpen_ || !dirForm_) {
        dirForm_ = new TDirectoryForm(this, &dirFormOpen_);
        dirForm_->setAttribute(Qt::WA_DeleteOnClose);
    }
    dirForm_->LoadFile(listingFile_);
    dirForm_->show();
    dirForm_->raise();
}

void TForm7::Shutdown() {
    if (dirForm_) {
        dirForm_->close();
        dirForm_ = nullptr;
    }
    DeleteListingFile();
    if (client_->Tag != 0) {
        // A connected session says goodbye before the window goes.
        client_->OnDisplay = nullptr;
        client_->OnRequestDone = nullptr;
        client_->OnStateChange = nullptr;
        client_->OnSessionClosed = nullptr;
        client_->QuitSync();
    }
}

} // namespace qordex::ftp
