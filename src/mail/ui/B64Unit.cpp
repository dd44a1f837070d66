#include "mail/ui/B64Unit.h"

#include "mail/CodecFiles.h"
#include "mail/UUEnc.h"
#include "platform/DisplayText.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStyle>
#include <QToolButton>
#include <algorithm>
#include <sstream>

namespace qordex::mail {
namespace {

// OpenDialog1 and OpenDialog2; SaveDialog1 uses the tools' long filter.
const QString kOpenFilter =
    QStringLiteral("Text (*.txt)|*.txt|Htm (*.htm; *.html)|*.htm; *.html|All (*.*)|*.*");

std::string FileName(const QString& name) {
    return QFile::encodeName(name).toStdString();
}

QToolButton* FlatButton(QWidget* parent, const char* name, const QString& hint, const QIcon& icon,
                        int x, int y) {
    QToolButton* bt = shell::MakeFlatButton(parent, QString::fromLatin1(name), hint, icon);
    bt->move(x, y);
    return bt;
}

} // namespace

TForm22::TForm22(QWidget* opener) : TSecondaryForm(QStringLiteral("TForm22"), opener) {
    setWindowTitle(QStringLiteral("Encoder / Decoder"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(644, 434);
    move(252, 112);
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);

    auto* inLabel = new QLabel(QStringLiteral("Input file"), this);
    inLabel->setGeometry(8, 6, 120, 16);
    InputEdit = new QLineEdit(this);
    InputEdit->setObjectName(QStringLiteral("InputEdit"));
    InputEdit->setGeometry(8, 22, 300, 22);
    InputBt = FlatButton(this, "InputBt", QStringLiteral("Open input file"), openIcon, 312, 22);

    auto* outLabel = new QLabel(QStringLiteral("Output file"), this);
    outLabel->setGeometry(8, 52, 120, 16);
    OutputEdit = new QLineEdit(this);
    OutputEdit->setObjectName(QStringLiteral("OutputEdit"));
    OutputEdit->setGeometry(8, 68, 300, 22);
    OutputBt =
        FlatButton(this, "OutputBt", QStringLiteral("Specify output file"), openIcon, 312, 68);

    FromBox = new QCheckBox(QStringLiteral("from viewer"), this);
    FromBox->setObjectName(QStringLiteral("FromBox"));
    FromBox->setGeometry(344, 24, 100, 20);
    ToBox = new QCheckBox(QStringLiteral("to viewer"), this);
    ToBox->setObjectName(QStringLiteral("ToBox"));
    ToBox->setGeometry(344, 70, 100, 20);

    Base64Radio = new QRadioButton(QStringLiteral("Base64"), this);
    Base64Radio->setObjectName(QStringLiteral("Base64Radio"));
    Base64Radio->setGeometry(452, 14, 90, 20);
    UUencodeRadio = new QRadioButton(QStringLiteral("UUencode"), this);
    UUencodeRadio->setObjectName(QStringLiteral("UUencodeRadio"));
    UUencodeRadio->setGeometry(452, 40, 90, 20);
    QuotedRadio = new QRadioButton(QStringLiteral("Quoted"), this);
    QuotedRadio->setObjectName(QStringLiteral("QuotedRadio"));
    QuotedRadio->setGeometry(452, 66, 90, 20);
    auto* modes = new QButtonGroup(this);
    modes->addButton(Base64Radio);
    modes->addButton(UUencodeRadio);
    modes->addButton(QuotedRadio);
    Base64Radio->setChecked(true);

    EncodeBt = new QPushButton(QStringLiteral("Encode"), this);
    EncodeBt->setObjectName(QStringLiteral("EncodeBt"));
    EncodeBt->setGeometry(548, 18, 88, 26);
    DecodeBt = new QPushButton(QStringLiteral("Decode"), this);
    DecodeBt->setObjectName(QStringLiteral("DecodeBt"));
    DecodeBt->setGeometry(548, 58, 88, 26);

    auto* viewLabel = new QLabel(QStringLiteral("Viewer"), this);
    viewLabel->setGeometry(8, 124, 120, 16);
    LoadBt = FlatButton(this, "LoadBt", QStringLiteral("Load from file"), openIcon, 556, 118);
    SaveBt = FlatButton(this, "SaveBt", QStringLiteral("Save to file"),
                        shell::Glyph(shell::GlyphKind::Save), 582, 118);
    ClearBt = FlatButton(this, "ClearBt", QStringLiteral("Clear"),
                         shell::Glyph(shell::GlyphKind::Clear), 608, 118);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(0, 144, 644, 290);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setPixelSize(13);
    Memo1->setFont(mono);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Encoded lines are up to 77 characters: show them whole, unwrapped.
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);

    connect(InputBt, &QToolButton::clicked, this, [this] { InputBtClick(); });
    connect(OutputBt, &QToolButton::clicked, this, [this] { OutputBtClick(); });
    connect(FromBox, &QCheckBox::toggled, this, [this](bool on) { FromBoxClick(on); });
    connect(ToBox, &QCheckBox::toggled, this, [this](bool on) { ToBoxClick(on); });
    connect(EncodeBt, &QPushButton::clicked, this, [this] { EncodeBtClick(); });
    connect(DecodeBt, &QPushButton::clicked, this, [this] { DecodeBtClick(); });
    connect(LoadBt, &QToolButton::clicked, this, [this] { LoadBtClick(); });
    connect(SaveBt, &QToolButton::clicked, this, [this] { SaveBtClick(); });
    connect(ClearBt, &QToolButton::clicked, this, [this] { ClearBtClick(); });
}

void TForm22::Bt(QWidget* button, bool release) {
    if (!release) {
        openerBt_ = button;
        if (openerBt_)
            openerBt_->setEnabled(false);
    } else if (openerBt_) {
        openerBt_->setEnabled(true);
    }
}

void TForm22::closeEvent(QCloseEvent* event) {
    Bt(nullptr, true);
    event->accept();
}

int TForm22::Mode() const {
    if (UUencodeRadio->isChecked())
        return cmUUencode;
    if (QuotedRadio->isChecked())
        return cmQuoted;
    return cmBase64;
}

void TForm22::InputBtClick() {
    if (auto name = shell::Dialogs().OpenFileName(this, QStringLiteral("Open input file"),
                                                  InputEdit->text(), kOpenFilter))
        InputEdit->setText(*name);
}

void TForm22::OutputBtClick() {
    // A save dialog, since the output usually does not exist yet; replacing
    // an existing one is confirmed when the conversion runs.
    if (auto name = shell::Dialogs().SaveFileName(this, QStringLiteral("Specify output file"),
                                                  OutputEdit->text(), kOpenFilter, QString())) {
        OutputEdit->setText(*name);
        // The save dialog has just asked about replacing this file: the
        // next conversion does not ask again.
        confirmedOutput_ = FileExists(FileName(*name)) ? *name : QString();
    }
}

void TForm22::FromBoxClick(bool checked) {
    if (checked)
        InputEdit->clear();
    InputEdit->setEnabled(!checked);
    InputBt->setEnabled(!checked);
}

void TForm22::ToBoxClick(bool checked) {
    if (checked)
        OutputEdit->clear();
    OutputEdit->setEnabled(!checked);
    OutputBt->setEnabled(!checked);
}

std::string TForm22::ViewerBytes() const {
    const QString text = Memo1->toPlainText();
    std::string bytes;
    if (text.isEmpty())
        return bytes;
    // Decoded bytes that are not UTF-8 show one character per byte; taking
    // them back as UTF-8 would change every byte from 128 up.
    const bool latin1 = viewerLatin1_ && std::all_of(text.begin(), text.end(),
                                                     [](QChar c) { return c.unicode() <= 0xFF; });
    for (const QString& line : text.split(u'\n')) {
        if (latin1) {
            const QByteArray raw = line.toLatin1();
            bytes.append(raw.constData(), std::size_t(raw.size()));
        } else {
            bytes += DisplayToBytes(line);
        }
        bytes += "\r\n";
    }
    return bytes;
}

void TForm22::SetViewerBytes(const std::string& bytes) {
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    viewerLatin1_ = utf8.hasError(); // shown as Latin-1, as the display text does
    const QString text = viewerLatin1_ ? BytesToDisplay(bytes) : decoded;
    QStringList lines = text.split(lineBreak);
    // A final line break ends the last line; it does not start another.
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    Memo1->setPlainText(lines.join(u'\n'));
}

void TForm22::Convert(bool encode) {
    const bool fromViewer = FromBox->isChecked();
    const bool toViewer = ToBox->isChecked();
    const QString inName = InputEdit->text();
    const QString outName = OutputEdit->text();
    if ((!fromViewer && inName.isEmpty()) || (!toViewer && outName.isEmpty()))
        return;
    const int mode = Mode();
    try {
        std::ifstream file;
        std::istringstream viewer;
        if (fromViewer)
            viewer.str(ViewerBytes());
        else
            file = OpenInputFile(FileName(inName));
        std::istream& source = fromViewer ? static_cast<std::istream&>(viewer) : file;
        const std::string sourceName = "file \"" + FileName(inName) + "\"";
        if (toViewer) {
            std::ostringstream result;
            RunCodec(encode, mode, source, sourceName, result);
            SetViewerBytes(result.str());
            return;
        }
        const std::string outPath = FileName(outName);
        const bool confirmed = !confirmedOutput_.isEmpty() && confirmedOutput_ == outName;
        confirmedOutput_.clear();
        if (FileExists(outPath) && !confirmed) {
            const auto answer = shell::Dialogs().Message(
                this, QMessageBox::Question, windowTitle(),
                QStringLiteral("File \"%1\" already exists.\nDo you want to replace it?")
                    .arg(outName),
                QMessageBox::Yes | QMessageBox::No);
            if (answer != QMessageBox::Yes)
                return;
        }
        RunCodecToFile(encode, mode, source, sourceName, outPath);
    } catch (const ECodecFileError& e) {
        shell::ShowError(this, BytesToDisplay(e.what()));
    }
}

void TForm22::LoadBtClick() {
    auto name = shell::Dialogs().OpenFileName(this, QStringLiteral("Load from file"), QString(),
                                              kOpenFilter);
    if (!name)
        return;
    QFile file(*name);
    if (!file.open(QIODevice::ReadOnly)) {
        shell::ShowError(
            this, QStringLiteral("Cannot open file \"%1\": %2").arg(*name, file.errorString()));
        return;
    }
    const QByteArray data = file.readAll();
    SetViewerBytes(std::string(data.constData(), std::size_t(data.size())));
}

void TForm22::SaveBtClick() {
    auto chosen = shell::Dialogs().SaveFileName(this, QStringLiteral("Save to file"), QString(),
                                                shell::kLongFilter, QStringLiteral("txt"));
    if (!chosen)
        return;
    const QString path = shell::ApplyDefaultExtension(*chosen, QStringLiteral("txt"));
    const std::string bytes = ViewerBytes();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !file.commit())
        shell::ShowError(this, QStringLiteral("Cannot create file \"%1\".").arg(path));
}

void TForm22::ClearBtClick() {
    Memo1->clear();
    viewerLatin1_ = false;
}

} // namespace qordex::mail
