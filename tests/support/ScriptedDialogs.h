#pragma once
// Answers the dialogs of a window under test from a script, and records them.

#include "shell/Dialogs.h"

#include <QStringList>
#include <deque>

namespace qordex::test {

class ScriptedDialogs : public shell::DialogSeam {
public:
    ScriptedDialogs() { shell::SetDialogs(this); }
    ~ScriptedDialogs() override { shell::SetDialogs(nullptr); }

    // Answers for the next file dialogs; an empty optional is a Cancel.
    std::deque<std::optional<QString>> fileAnswers;
    // Answers for the next text prompts; an empty optional is a Cancel.
    std::deque<std::optional<QString>> textAnswers;
    // Answers for the next message boxes (default: the first button offered).
    std::deque<QMessageBox::StandardButton> messageAnswers;

    // What was asked: preset names of file dialogs, texts of message boxes.
    QStringList presets;
    QStringList messages;
    QStringList prompts;

    std::optional<QString> SaveFileName(QWidget*, const QString&, const QString& preset,
                                        const QString&, const QString&) override;
    std::optional<QString> OpenFileName(QWidget*, const QString&, const QString& preset,
                                        const QString&) override;
    std::optional<QString> InputText(QWidget*, const QString&, const QString& prompt,
                                     const QString&) override;
    QMessageBox::StandardButton Message(QWidget*, QMessageBox::Icon, const QString&,
                                        const QString& text,
                                        QMessageBox::StandardButtons buttons) override;

private:
    std::optional<QString> NextFile(const QString& preset);
};

} // namespace qordex::test
