#include "shell/FlatButton.h"

#include <QToolButton>

namespace qordex::shell {

QToolButton* MakeFlatButton(QWidget* parent, const QString& name, const QString& hint,
                            const QIcon& icon) {
    auto* bt = new QToolButton(parent);
    bt->setObjectName(name);
    bt->setToolTip(hint);
    bt->setIcon(icon);
    bt->setAutoRaise(true);
    bt->setFixedSize(23, 22);
    return bt;
}

} // namespace qordex::shell
