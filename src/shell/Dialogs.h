#pragma once
// The seam every dialog goes through, so that tests can answer them without a person.

#include <QMessageBox>
#include <QString>
#include <optional>

class QWidget;

namespace qordex::shell {

// The two save/open filters of the tools, in the system's "desc|pattern|..." form.
inline const QString kShortFilter = QStringLiteral("Text (*.txt)|*.txt|All (*.*)|*.*");
inline const QString kLongFilter =
    QStringLiteral("Text (*.txt)|*.txt|Htm (*.htm)|*.htm|Html (*.html)|*.html|All (*.*)|*.*");

// Converts a "desc|pattern|desc|pattern" filter into Qt's "desc;;desc" form.
QString ToQtFilter(const QString& filter);

// Appends "." + ext when the file name (not the folder) has no extension.
QString ApplyDefaultExtension(const QString& path, const QString& ext);

class DialogSeam {
public:
    virtual ~DialogSeam() = default;
    // Save dialog with overwrite prompt; nullopt when the user cancels.
    virtual std::optional<QString> SaveFileName(QWidget* parent, const QString& title,
                                                const QString& preset, const QString& filter,
                                                const QString& defaultExt);
    // Open dialog for an existing file; nullopt when the user cancels.
    virtual std::optional<QString> OpenFileName(QWidget* parent, const QString& title,
                                                const QString& preset, const QString& filter);
    // One line of text ("Query" prompts); nullopt when the user cancels.
    virtual std::optional<QString> InputText(QWidget* parent, const QString& caption,
                                             const QString& prompt, const QString& value);
    // Question or notice; returns the button pressed.
    virtual QMessageBox::StandardButton Message(QWidget* parent, QMessageBox::Icon icon,
                                                const QString& title, const QString& text,
                                                QMessageBox::StandardButtons buttons);
};

// The seam in force; a test installs its own and restores nullptr afterwards.
DialogSeam& Dialogs();
void SetDialogs(DialogSeam* seam);

// The application's standard error dialog.
void ShowError(QWidget* parent, const QString& text);

} // namespace qordex::shell
