#include "shell/Memo.h"

#include "platform/DisplayText.h"

#include <QFontDatabase>

namespace qordex::shell {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

void TMemo::AddLine(const QString& line) { appendPlainText(line); }

void TMemo::AddBytes(std::string_view bytes) { appendPlainText(BytesToDisplay(bytes)); }

QStringList TMemo::Lines() const {
    if (document()->isEmpty())
        return {};
    return toPlainText().split(u'\n');
}

} // namespace qordex::shell
