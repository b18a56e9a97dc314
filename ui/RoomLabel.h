#pragma once

#include <QLabel>

// A label that takes the same room whatever it says: a number of average characters across
// and a number of lines down. Text that needs more is wrapped and cut short with an ellipsis,
// and its tooltip shows the whole of it. A window whose answers arrive while it is open keeps
// its size, and its buttons stay where the user is about to click.
class RoomLabel : public QLabel {
    Q_OBJECT
public:
    RoomLabel(int characters, int lines, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The text as it is drawn in the label's present room.
    QString shownText() const;
    // True when the room is too small for the whole text.
    bool isCut() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString fitted(bool* cut) const;

    int m_characters;
    int m_lines;
};
