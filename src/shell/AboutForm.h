#pragma once

#include <QDialog>

namespace qordex::shell {

// The borderless About window; it is dragged by its picture and labels.
class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace qordex::shell
