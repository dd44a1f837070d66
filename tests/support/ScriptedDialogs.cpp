#include "support/ScriptedDialogs.h"

namespace qordex::test {

std::optional<QString> ScriptedDialogs::NextFile(const QString& preset) {
    presets << preset;
    if (fileAnswers.empty() || !fileAnswers.front()) {
        if (!fileAnswers.empty())
            fileAnswers.pop_front();
        return std::nullopt;
    }
    QString name = *fileAnswers.front();
    fileAnswers.pop_front();
    return name;
}

std::optional<QString> ScriptedDialogs::SaveFileName(QWidget*, const QString&,
                                                     const QString& preset, const QString&,
                                                     const QString&) {
    return NextFile(preset);
}

std::optional<QString> ScriptedDialogs::OpenFileName(QWidget*, const QString&,
                                                     const QString& preset, const QString&) {
    return NextFile(preset);
}

std::optional<QString> ScriptedDialogs::InputText(QWidget*, const QString&, const QString& prompt,
                                                  const QString&) {
    prompts << prompt;
    if (textAnswers.empty() || !textAnswers.front()) {
        if (!textAnswers.empty())
            textAnswers.pop_front();
        return std::nullopt;
    }
    QString text = *textAnswers.front();
    textAnswers.pop_front();
    return text;
}

QMessageBox::StandardButton ScriptedDialogs::Message(QWidget*, QMessageBox::Icon,
                                                     const QString&, const QString& text,
                                                     QMessageBox::StandardButtons buttons) {
    messages << text;
    if (!messageAnswers.empty()) {
        auto answer = messageAnswers.front();
        messageAnswers.pop_front();
        return answer;
    }
    for (int bit = 0; bit < 32; ++bit)
        if (buttons & (1u << bit))
            return static_cast<QMessageBox::StandardButton>(1u << bit);
    return QMessageBox::NoButton;
}

} // namespace qordex::test
