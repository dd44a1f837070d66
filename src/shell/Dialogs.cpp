#include "shell/Dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>

namespace qordex::shell {
namespace {
DialogSeam g_default;
DialogSeam* g_current = nullptr;
} // namespace

QString ToQtFilter(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList out;
    for (qsizetype i = 0; i < parts.size(); i += 2)
        out << parts[i];
    return out.join(QStringLiteral(";;"));
}

QString ApplyDefaultExtension(const QString& path, const QString& ext) {
    const QString name = QFileInfo(path).fileName();
    if (name.isEmpty() || name.contains(u'.'))
        return path;
    return path + u'.' + ext;
}

std::optional<QString> DialogSeam::SaveFileName(QWidget* parent, const QString& title,
                                                const QString& preset, const QString& filter,
                                                const QString& defaultExt) {
    QFileDialog dlg(parent, title, preset, ToQtFilter(filter));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix(defaultExt);
    dlg.selectFile(preset);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    return dlg.selectedFiles().first();
}

std::optional<QString> DialogSeam::OpenFileName(QWidget* parent, const QString& title,
                                                const QString& preset, const QString& filter) {
    QString name = QFileDialog::getOpenFileName(parent, title, preset, ToQtFilter(filter));
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

std::optional<QString> DialogSeam::InputText(QWidget* parent, const QString& caption,
                                             const QString& prompt, const QString& value) {
    bool ok = false;
    QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, value, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

QMessageBox::StandardButton DialogSeam::Message(QWidget* parent, QMessageBox::Icon icon,
                                                const QString& title, const QString& text,
                                                QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

DialogSeam& Dialogs() { return g_current ? *g_current : g_default; }

void SetDialogs(DialogSeam* seam) { g_current = seam; }

void ShowError(QWidget* parent, const QString& text) {
    Dialogs().Message(parent, QMessageBox::Critical, QStringLiteral("Qordex"), text,
                      QMessageBox::Ok);
}

} // namespace qordex::shell
