#include "web/ui/HttpUnit.h"

#include "base/Stream.h"
#include "platform/DisplayText.h"
#include "platform/SystemProxy.h"
#include "platform/TempDir.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"
#include "shell/Memo.h"
#include "web/HttpClientTool.h"
#include "web/HttpProt.h"
#include "web/UrlUtil.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QToolButton>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::web {
namespace {

// The most of a text document the Body pane shows.
constexpr qint64 kMaxShownDocument = 8 * 1024 * 1024;

QString Q(const std::string& s) {
    return BytesToDisplay(s);
}

std::string S(const QString& s) {
    return DisplayToBytes(s);
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* text, int x, int y, int w) {
    auto* e = new QLineEdit(QString::fromUtf8(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, w, 21);
    return e;
}

QLabel* Label(QWidget* parent, const char* text, int x, int y, int w = 110) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->setGeometry(x, y, w, 21);
    return l;
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, int x, int y) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, 75, 25);
    return b;
}

QToolButton* Small(QWidget* parent, const char* name, const char* hint, QChar letter, int x,
                   int y) {
    QToolButton* b =
        shell::MakeFlatButton(parent, QString::fromLatin1(name), QString::fromLatin1(hint),
                              shell::Glyph(shell::GlyphKind::Tool, letter, 30));
    b->move(x, y);
    return b;
}

// The locale's short date and long time, as Now writes and requests read.
QString DateTimeFormat() {
    const QLocale l;
    return l.dateFormat(QLocale::ShortFormat) + u' ' + l.timeFormat(QLocale::LongFormat);
}

} // namespace

TForm4::TForm4(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm4"), parent) {
    setWindowTitle(QStringLiteral("HTTP client"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(744, 515);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    Label(this, "URL", 8, 8, 60);
    URLEdit = Edit(this, "URLEdit", "www.", 70, 8, 470);
    ParseBt = Small(this, "ParseBt", "Parse URL", u'P', 544, 8);
    Label(this, "Data", 8, 34, 60);
    DataEdit = Edit(this, "DataEdit", "", 70, 34, 470);
    DecodeUrlBt = Small(this, "DecodeUrlBt", "Decode data", u'D', 544, 34);
    Label(this, "Auth", 8, 60, 60);
    UsernameEdit = Edit(this, "UsernameEdit", "", 70, 60, 130);
    UsernameEdit->setToolTip(QStringLiteral("Username"));
    PasswordEdit = Edit(this, "PasswordEdit", "", 206, 60, 130);
    PasswordEdit->setToolTip(QStringLiteral("Password"));
    PasswordEdit->setEchoMode(QLineEdit::Password);
    Label(this, "Modified since Date/Time", 8, 86, 160);
    DateTimeEdit = Edit(this, "DateTimeEdit", "", 170, 86, 166);
    NowBt = Small(this, "NowBt", "Now date/time", u'N', 340, 86);
    Label(this, "Temp folder", 8, 112, 90);
    FolderEdit = Edit(this, "FolderEdit", "", 100, 112, 236);
    GetTempBt = Small(this, "GetTempBt", "Get temporary directory", u'T', 340, 112);
    Label(this, "Referer", 372, 60, 74);
    RefererEdit = Edit(this, "RefererEdit", "", 448, 60, 198);
    Label(this, "UserAgent", 372, 86, 74);
    AgentEdit = Edit(this, "AgentEdit", kToolAgent, 448, 86, 198);
    Label(this, "Program", 372, 112, 74);
    ProgramEdit = Edit(this, "ProgramEdit", kToolProgram, 448, 112, 198);

    GetBt = Button(this, "GetBt", "Get", 658, 8);
    HeadBt = Button(this, "HeadBt", "Head", 658, 36);
    PostBt = Button(this, "PostBt", "Post", 658, 64);
    CancelBt = Button(this, "CancelBt", "Cancel", 658, 92);
    CancelBt->setEnabled(false);
    ProxyBt = new QToolButton(this);
    ProxyBt->setObjectName(QStringLiteral("ProxyBt"));
    ProxyBt->setText(QStringLiteral("PROXY"));
    ProxyBt->setToolTip(QStringLiteral("Proxy configuration"));
    ProxyBt->setAutoRaise(true);
    ProxyBt->setGeometry(576, 8, 70, 22);
    ClearBt = MakeClearButton();
    ClearBt->move(662, 118);
    SaveBodyBt = shell::MakeFlatButton(this, QStringLiteral("SaveBodyBt"),
                                       QStringLiteral("Save body to file"),
                                       shell::Glyph(shell::GlyphKind::Save));
    SaveBodyBt->move(690, 118);

    DisplayMemo = new shell::TMemo(this);
    DisplayMemo->setObjectName(QStringLiteral("DisplayMemo"));
    DisplayMemo->setFont(fixed);
    DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setGeometry(8, 140, 728, 190);

    Label(this, "Body", 8, 334, 60);
    Label(this, "Document size:", 520, 334, 100);
    SizeLabel = Label(this, "---", 622, 334, 114);
    SizeLabel->setObjectName(QStringLiteral("SizeLabel"));
    DocumentMemo = new shell::TMemo(this);
    DocumentMemo->setObjectName(QStringLiteral("DocumentMemo"));
    DocumentMemo->setFont(fixed);
    DocumentMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DocumentMemo->setGeometry(8, 356, 728, 151);

    ProxyPanel = new QFrame(this);
    ProxyPanel->setObjectName(QStringLiteral("ProxyPanel"));
    ProxyPanel->setFrameShape(QFrame::Panel);
    ProxyPanel->setFrameShadow(QFrame::Raised);
    ProxyPanel->setAutoFillBackground(true);
    ProxyPanel->setGeometry(372, 140, 280, 166);
    ProxyPanel->hide();
    QLabel* title = Label(ProxyPanel, "Proxy Configuration", 8, 4, 200);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    PEnableCheck = new QCheckBox(QStringLiteral("Use Proxy"), ProxyPanel);
    PEnableCheck->setObjectName(QStringLiteral("PEnableCheck"));
    PEnableCheck->setGeometry(8, 28, 110, 21);
    PAuthCheck = new QCheckBox(QStringLiteral("Authenticate"), ProxyPanel);
    PAuthCheck->setObjectName(QStringLiteral("PAuthCheck"));
    PAuthCheck->setGeometry(140, 28, 130, 21);
    Label15 = Label(ProxyPanel, "Address", 8, 56, 70);
    Label15->setObjectName(QStringLiteral("Label15"));
    Label15->setToolTip(QStringLiteral("Get default proxy address and port"));
    Label15->setCursor(Qt::PointingHandCursor);
    QFont link = Label15->font();
    link.setUnderline(true);
    Label15->setFont(link);
    PAddressEdit = Edit(ProxyPanel, "PAddressEdit", "", 80, 56, 190);
    QLabel* portLabel = Label(ProxyPanel, "Port", 8, 82, 70);
    PPortEdit = Edit(ProxyPanel, "PPortEdit", "", 80, 82, 70);
    QLabel* userLabel = Label(ProxyPanel, "UserCode", 8, 108, 70);
    PUserEdit = Edit(ProxyPanel, "PUserEdit", "", 80, 108, 190);
    QLabel* passLabel = Label(ProxyPanel, "Password", 8, 134, 70);
    PPassEdit = Edit(ProxyPanel, "PPassEdit", "", 80, 134, 190);
    PPassEdit->setEchoMode(QLineEdit::Password);
    for (QObject* o : std::initializer_list<QObject*>{ProxyPanel, title, portLabel, userLabel,
                                                      passLabel, Label15})
        o->installEventFilter(this);

    HttpCli_ = std::make_unique<THttpCli>();
    ApplyToolDefaults(*HttpCli_);
    HttpCli_->CtrlSocket(); // the socket exists from the start, as its settings do
    AttachToolLog(*HttpCli_, [this](const std::string& line) { Log(line); });
    HttpCli_->OnDocBegin = [this](THttpCli*) { DocBegin(); };
    HttpCli_->OnDocEnd = [this](THttpCli*) { DocEnd(); };

    connect(GetBt, &QPushButton::clicked, this, [this] { GetBtClick(); });
    connect(HeadBt, &QPushButton::clicked, this, [this] { HeadBtClick(); });
    connect(PostBt, &QPushButton::clicked, this, [this] { PostBtClick(); });
    connect(CancelBt, &QPushButton::clicked, this, [this] { CancelBtClick(); });
    connect(ParseBt, &QToolButton::clicked, this, [this] { ParseBtClick(); });
    connect(DecodeUrlBt, &QToolButton::clicked, this, [this] { DecodeUrlBtClick(); });
    connect(NowBt, &QToolButton::clicked, this, [this] { NowBtClick(); });
    connect(GetTempBt, &QToolButton::clicked, this, [this] { GetTempBtClick(); });
    connect(SaveBodyBt, &QToolButton::clicked, this, [this] { SaveBodyBtClick(); });
    connect(ProxyBt, &QToolButton::clicked, this, [this] { ProxyBtClick(); });
}

TForm4::~TForm4() {
    DeleteDocFile();
    // The engine goes before the document stream it may still write to.
    HttpCli_.reset();
}

void TForm4::Log(const std::string& line) {
    DisplayMemo->AddLine(Q(line));
}

void TForm4::FirstShow() {
    GetTempBtClick();
}

void TForm4::GetTempBtClick() {
    if (Host())
        FolderEdit->setText(QString::fromStdString(Host()->TempDirectory()));
    else
        FolderEdit->setText(QString::fromStdString(SystemTempDirectory()));
}

void TForm4::SetRunning(bool running) {
    running_ = running;
    GetBt->setEnabled(!running);
    HeadBt->setEnabled(!running);
    PostBt->setEnabled(!running);
    CancelBt->setEnabled(running);
}

void TForm4::ClearOutput() {
    DisplayMemo->Clear();
    DocumentMemo->Clear();
    SizeLabel->setText(QStringLiteral("---"));
    // The file being written by a running request stays until it ends.
    if (!running_)
        DeleteDocFile();
}

void TForm4::DeleteDocFile() {
    docFile.reset();
    if (!docFile_.empty())
        ::unlink((docFolder_ + docFile_).c_str());
    docFile_.clear();
}

bool TForm4::CopySettings(bool withDate) {
    THttpToolSettings s;
    s.url = S(URLEdit->text());
    s.agent = S(AgentEdit->text());
    s.referer = S(RefererEdit->text());
    s.program = S(ProgramEdit->text());
    s.username = S(UsernameEdit->text());
    s.password = S(PasswordEdit->text());
    s.useProxy = PEnableCheck->isChecked();
    s.proxyAuth = PAuthCheck->isChecked();
    s.proxyAddr = S(PAddressEdit->text());
    s.proxyPort = S(PPortEdit->text());
    s.proxyUser = S(PUserEdit->text());
    s.proxyPass = S(PPassEdit->text());
    if (withDate && !DateTimeEdit->text().isEmpty()) {
        s.modifiedSince = QLocale().toDateTime(DateTimeEdit->text(), DateTimeFormat());
        if (!s.modifiedSince.isValid()) {
            shell::ShowError(
                this,
                QStringLiteral("'%1' is not a valid date and time").arg(DateTimeEdit->text()));
            return false;
        }
    }
    ApplyToolSettings(*HttpCli_, s, withDate);
    return true;
}

void TForm4::GetBtClick() {
    RunRequest(Kind::Get);
}

void TForm4::HeadBtClick() {
    RunRequest(Kind::Head);
}

void TForm4::PostBtClick() {
    RunRequest(Kind::Post);
}

void TForm4::RunRequest(Kind kind) {
    if (running_)
        return;
    ClearOutput();
    SetRunning(true);
    if (!CopySettings(kind != Kind::Post)) {
        SetRunning(false);
        return;
    }
    TMemoryStream body(S(DataEdit->text()));
    HttpCli_->SetSendStream(kind == Kind::Post ? &body : nullptr);
    docFolder_ = S(FolderEdit->text());
    docThisRequest_ = false;
    Log(ProxyLogLine(*HttpCli_));

    const char* what = kind == Kind::Get ? "GET" : kind == Kind::Head ? "HEAD" : "POST";
    QPointer<TForm4> self(this);
    bool failed = false;
    try {
        if (kind == Kind::Get)
            HttpCli_->Get();
        else if (kind == Kind::Head)
            HttpCli_->Head();
        else
            HttpCli_->Post();
    } catch (const std::exception&) {
        failed = true;
    }
    if (!self)
        return;
    HttpCli_->SetSendStream(nullptr);
    if (failed) {
        for (const std::string& line : FailureLines(what, *HttpCli_))
            Log(line);
        docFile.reset();
    } else {
        Log("StatusCode = " + std::to_string(HttpCli_->StatusCode()));
        if (kind == Kind::Get)
            ShowDocument(true);
        else if (kind == Kind::Post)
            ShowDocument(false);
    }
    SetRunning(false);
    if (closeWanted_)
        close();
}

void TForm4::ShowDocument(bool checkType) {
    if (!docThisRequest_ || docFile_.empty()) {
        if (checkType)
            DocumentMemo->AddLine(QStringLiteral("*** NO DOCUMENT ***"));
        return;
    }
    QFile f(QFile::decodeName(QByteArray::fromStdString(docFolder_ + docFile_)));
    if (!f.open(QIODevice::ReadOnly))
        return;
    const std::string type = HttpCli_->ContentType();
    if (checkType && type.rfind("text/", 0) != 0) {
        DocumentMemo->AddLine(Q("Content type is " + type));
        DocumentMemo->AddLine(Q("Document stored in '" + docFolder_ + docFile_ + "'"));
        DocumentMemo->AddLine(
            QStringLiteral("Use SaveButton to save the file in a different location."));
    } else {
        const QByteArray text = f.read(kMaxShownDocument);
        DocumentMemo->setPlainText(BytesToDisplay(std::string_view(text.data(), text.size())));
    }
    if (checkType)
        SizeLabel->setText(QStringLiteral("%1 bytes").arg(f.size()));
}

void TForm4::DocBegin() {
    for (const std::string& line : DocBeginLines(*HttpCli_))
        Log(line);
    // A relocation or a retry brings a new document: the earlier one of this
    // request goes.
    DeleteDocFile();
    const std::string name = ToolDocFileName(HttpCli_->DocName(), HttpCli_->ContentType());
    TDocFile f = CreateDocFile(docFolder_, name);
    if (f.fd < 0) {
        Log("Error opening file: " + f.error);
        Log(std::string("Using default file name: ") + kDefaultDocFile);
        f = CreateDocFile(docFolder_, kDefaultDocFile);
        if (f.fd < 0) {
            Log("Error opening file: " + f.error);
            HttpCli_->SetRcvdStream(nullptr);
            return;
        }
    }
    docFile_ = f.name;
    docFile = std::make_unique<TFileStream>(f.fd);
    docThisRequest_ = true;
    HttpCli_->SetRcvdStream(docFile.get());
}

void TForm4::DocEnd() {
    HttpCli_->SetRcvdStream(nullptr);
    docFile.reset();
}

void TForm4::CancelBtClick() {
    HttpCli_->Abort();
}

void TForm4::ParseBtClick() {
    TUrlParts p = ParseUrl(S(URLEdit->text()));
    Log("URL   = " + S(URLEdit->text()));
    Log("Proto = " + p.proto);
    Log("Host  = " + p.host);
    Log("Path  = " + p.path);
    Log("Port  = " + p.port);
    Log("User  = " + p.user);
    Log("Pass  = " + p.pass);
}

void TForm4::DecodeUrlBtClick() {
    Log("Data decoded = " + UrlDecode(S(DataEdit->text())));
}

void TForm4::NowBtClick() {
    DateTimeEdit->setText(QLocale().toString(QDateTime::currentDateTime(), DateTimeFormat()));
}

void TForm4::SaveBodyBtClick() {
    if (docFile_.empty())
        return;
    const QString preset = Q(docFile_);
    const QString ext = QFileInfo(preset).suffix();
    auto chosen = shell::Dialogs().SaveFileName(this, QStringLiteral("Save body to file"), preset,
                                                shell::kLongFilter, ext);
    if (!chosen)
        return;
    QString target = *chosen;
    if (!ext.isEmpty()) {
        while (target.endsWith(u'.'))
            target.chop(1);
        target = shell::ApplyDefaultExtension(target, ext);
    }
    const std::string from = docFolder_ + docFile_;
    struct stat st {};
    if (::stat(from.c_str(), &st) == 0 && !running_) {
        const std::string err = MoveDocFile(from, QFile::encodeName(target).toStdString());
        if (!err.empty()) {
            shell::ShowError(this, QStringLiteral("Cannot save \"%1\": %2").arg(target, Q(err)));
            return;
        }
        docFile_.clear(); // moved: it is no longer ours to delete
        return;
    }
    if (shell::Dialogs().Message(this, QMessageBox::Warning, windowTitle(),
                                 QStringLiteral("Original temporary file do not exists, save "
                                                "BodyMemo content?"),
                                 QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(DocumentMemo->toPlainText().toUtf8()) < 0 ||
        !out.commit())
        shell::ShowError(this, QStringLiteral("Cannot create file \"%1\".").arg(target));
}

void TForm4::ProxyBtClick() {
    ProxyPanel->setVisible(!ProxyPanel->isVisible());
    if (ProxyPanel->isVisible()) {
        ProxyPanel->raise();
        PEnableCheck->setFocus();
    }
}

void TForm4::Label15Click() {
    std::string host, port;
    if (!GetSystemProxy("http", host, port))
        return;
    PAddressEdit->setText(Q(host));
    PPortEdit->setText(Q(port));
    PEnableCheck->setChecked(true);
}

bool TForm4::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label15 && event->type() == QEvent::MouseButtonRelease) {
        Label15Click();
        return true;
    }
    // The panel and its static labels drag the panel.
    if (event->type() == QEvent::MouseButtonPress) {
        dragFrom_ =
            static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - ProxyPanel->pos();
        return watched != Label15;
    }
    if (event->type() == QEvent::MouseMove &&
        (static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton)) {
        QPoint to = static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - dragFrom_;
        to.setX(std::clamp(to.x(), 0, width() - ProxyPanel->width()));
        to.setY(std::clamp(to.y(), 0, height() - ProxyPanel->height()));
        ProxyPanel->move(to);
        return true;
    }
    return shell::TToolForm::eventFilter(watched, event);
}

void TForm4::Shutdown() {
    if (running_)
        HttpCli_->Abort();
    DeleteDocFile();
}

void TForm4::closeEvent(QCloseEvent* event) {
    // The blocking request pumps the loop under this window: abort it and
    // close once it has returned, so the engine is not freed under its wait.
    if (running_) {
        closeWanted_ = true;
        HttpCli_->Abort();
        event->ignore();
        return;
    }
    shell::TToolForm::closeEvent(event);
}

} // namespace qordex::web
