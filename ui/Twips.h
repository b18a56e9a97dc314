#pragma once

#include <QGuiApplication>
#include <QScreen>

// Window layouts are laid out in twips (1/1440 inch). At 96 dots per inch a pixel is 15 twips.
// A desktop set to larger fonts by a higher dots-per-inch figure, without scaling the windows,
// gets the layout enlarged with its fonts, so that every caption keeps its room; when the window
// system scales the windows instead, the figure stays at 96 and so does the layout.
inline int Twips(int twips) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int dpi = screen ? qRound(screen->logicalDotsPerInchY()) : 96;
    return (twips * dpi + 720) / 1440;
}
