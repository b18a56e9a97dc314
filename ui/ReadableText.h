#pragma once

class QColor;
class QWidget;

// Gives the widget's text a designed colour (the About box's black labels) as long as it reads
// well on the window behind it. On a window too close to it in brightness (black on a dark
// theme) the text keeps the palette's own text colour instead. Follows palette changes made
// while the window is open, such as a switch to or from a dark theme.
void KeepDesignedTextColour(QWidget* widget, const QColor& designed);
