#pragma once
// The dark desktop palette that window tests paint their windows with, to
// see that every control still reads well.

#include <QColor>
#include <QPalette>

namespace qordex::test {

inline QPalette DarkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(45, 45, 48));
    p.setColor(QPalette::WindowText, Qt::white);
    p.setColor(QPalette::Base, QColor(30, 30, 30));
    p.setColor(QPalette::Text, Qt::white);
    p.setColor(QPalette::Button, QColor(60, 60, 64));
    p.setColor(QPalette::ButtonText, Qt::white);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::Base, QColor(45, 45, 48));
    return p;
}

} // namespace qordex::test
