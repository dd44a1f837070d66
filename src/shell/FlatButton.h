#pragma once
// The flat glyph button of the tool windows (Clear, Save to file, Print...):
// 23 × 22 pixels, raised only under the mouse, its hint as tooltip.

#include <QIcon>
#include <QString>

class QToolButton;
class QWidget;

namespace qordex::shell {

// A flat button named `name` (its control name) with the hint and glyph;
// the caller places it, in a layout or by position.
QToolButton* MakeFlatButton(QWidget* parent, const QString& name, const QString& hint,
                            const QIcon& icon);

} // namespace qordex::shell
