#pragma once
// A read-only output pane holding lines of text.

#include <QPlainTextEdit>
#include <QStringList>
#include <string_view>

namespace qordex::shell {

class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);

    void AddLine(const QString& line);
    // Adds protocol bytes, shown as UTF-8 when valid, else as Latin-1.
    void AddBytes(std::string_view bytes);
    QStringList Lines() const;
    void Clear() { clear(); }
};

} // namespace qordex::shell
