#include "shell/ToolForm.h"

#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"
#include "shell/Memo.h"

#include <QCloseEvent>
#include <QColor>
#include <QFile>
#include <QPalette>
#include <QSaveFile>
#include <QToolButton>

namespace qordex::shell {

TToolForm::TToolForm(const QString& className, QWidget* parent)
    : QWidget(parent, Qt::Window), className_(className) {
    setObjectName(className);
    setAttribute(Qt::WA_DeleteOnClose);
}

TToolForm::~TToolForm() = default;

void TToolForm::SetHost(TToolHost* host, QObject* owner) {
    host_ = host;
    hostObject_ = owner;
}

void TToolForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!firstShown_) {
        firstShown_ = true;
        FirstShow();
    }
}

void TToolForm::closeEvent(QCloseEvent* event) {
    if (!shutDown_) {
        shutDown_ = true;
        Shutdown();
    }
    event->accept();
}

void TToolForm::ClearOutput() {
    if (TMemo* pane = SavePane())
        pane->Clear();
}

QString TToolForm::SaveFilter() const {
    return kShortFilter;
}

void TToolForm::ClearBtClick() {
    ClearOutput();
}

std::optional<QStringList> TToolForm::SaveContent() const {
    if (TMemo* pane = SavePane())
        return pane->Lines();
    return std::nullopt;
}

void TToolForm::SaveBtClick() {
    if (!SaveContent())
        return;
    // The dialog runs the loop: what is written is what the tool holds after it.
    QString preset = SavePresetName();
    if (!preset.isEmpty())
        preset += QStringLiteral(".txt");
    auto chosen = Dialogs().SaveFileName(this, QStringLiteral("Save to file"), preset, SaveFilter(),
                                         QStringLiteral("txt"));
    if (!chosen)
        return;
    const QString path = ApplyDefaultExtension(*chosen, QStringLiteral("txt"));
    if (!WriteLinesToFile(path, SaveContent().value_or(QStringList())))
        ShowError(this, QStringLiteral("Cannot create file \"%1\".").arg(path));
}

void TToolForm::SetToolColours(const QColor& window, const QColor& fields) {
    QPalette pal = palette();
    const QColor text(Qt::black);
    const QColor grey(110, 110, 110);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = group == QPalette::Disabled;
        pal.setColor(group, QPalette::Window, window);
        pal.setColor(group, QPalette::Base, fields);
        pal.setColor(group, QPalette::AlternateBase, fields);
        pal.setColor(group, QPalette::Button, window.lighter(106));
        pal.setColor(group, QPalette::WindowText, off ? grey : text);
        pal.setColor(group, QPalette::Text, off ? grey : text);
        pal.setColor(group, QPalette::ButtonText, off ? grey : text);
        pal.setColor(group, QPalette::PlaceholderText, grey);
    }
    setPalette(pal);
    setAutoFillBackground(true);
}

void TToolForm::SetFixedToolSize(int width, int height) {
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(width, height);
}

QToolButton* TToolForm::MakeClearButton() {
    auto* bt = MakeFlatButton(this, QStringLiteral("ClearBt"), QStringLiteral("Clear"),
                              Glyph(GlyphKind::Clear));
    connect(bt, &QToolButton::clicked, this, [this] { ClearBtClick(); });
    return bt;
}

QToolButton* TToolForm::MakeSaveButton() {
    auto* bt = MakeFlatButton(this, QStringLiteral("SaveBt"), QStringLiteral("Save to file"),
                              Glyph(GlyphKind::Save));
    connect(bt, &QToolButton::clicked, this, [this] { SaveBtClick(); });
    return bt;
}

bool WriteLinesToFile(const QString& path, const QStringList& lines) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (const QString& line : lines) {
        QByteArray bytes = line.toUtf8();
        bytes += '\n';
        if (file.write(bytes) != bytes.size())
            return false;
    }
    return file.commit();
}

} // namespace qordex::shell
