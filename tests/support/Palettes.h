#pragma once
// The dark palette window tests look at their windows in, beside the default
// one: light text on dark ground, disabled controls greyed.

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
    for (auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText})
        p.setColor(QPalette::Disabled, role, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::Base, QColor(45, 45, 48));
    return p;
}

} // namespace qordex::test
