#include "RoomLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>
#include <QToolTip>

RoomLabel::RoomLabel(int characters, int lines, QWidget* parent)
    : QLabel(parent), m_characters(characters), m_lines(lines) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize RoomLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    const QMargins margins = contentsMargins();
    return {metrics.averageCharWidth() * m_characters + margins.left() + margins.right(),
            metrics.lineSpacing() * m_lines + margins.top() + margins.bottom()};
}

QSize RoomLabel::minimumSizeHint() const {
    return sizeHint();
}

QString RoomLabel::shownText() const {
    return fitted(nullptr);
}

bool RoomLabel::isCut() const {
    bool cut = false;
    fitted(&cut);
    return cut;
}

QString RoomLabel::fitted(bool* cut) const {
    const QString whole = text();
    const int width = contentsRect().width();
    const QFontMetrics metrics = fontMetrics();
    QTextLayout layout(whole, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == m_lines - 1) {
            const QString rest = whole.mid(line.textStart()).simplified();
            lines << metrics.elidedText(rest, Qt::ElideRight, width);
            if (cut)
                *cut = lines.last() != rest;
            break;
        }
        lines << whole.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join(u'\n');
}

bool RoomLabel::event(QEvent* event) {
    // Only a label that had to cut its text has more to say.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (isCut())
            QToolTip::showText(help->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

void RoomLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), Qt::AlignLeft | Qt::AlignTop, palette(),
                          isEnabled(), shownText(), foregroundRole());
}
