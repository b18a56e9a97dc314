#pragma once

#include <QColor>
#include <QPalette>

// A dark desktop theme as Fusion shows it: light text on dark grey, disabled text mid grey.
inline QPalette DarkPalette() {
    QPalette p;
    const QColor window(53, 53, 53), text(235, 235, 235), disabled(128, 128, 128);
    const QColor accent(42, 130, 218);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::Base, QColor(35, 35, 35));
        p.setColor(group, QPalette::AlternateBase, QColor(66, 66, 66));
        p.setColor(group, QPalette::Light, QColor(90, 90, 90));
        p.setColor(group, QPalette::Midlight, QColor(70, 70, 70));
        p.setColor(group, QPalette::Mid, QColor(40, 40, 40));
        p.setColor(group, QPalette::Dark, QColor(30, 30, 30));
        p.setColor(group, QPalette::Shadow, QColor(20, 20, 20));
        p.setColor(group, QPalette::ToolTipBase, window);
        p.setColor(group, QPalette::Highlight, accent);
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::Link, accent);
        const QColor fore = group == QPalette::Disabled ? disabled : text;
        for (QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
            p.setColor(group, role, fore);
        p.setColor(group, QPalette::PlaceholderText, disabled);
    }
    return p;
}
