#include "ReadableText.h"

#include <QColor>
#include <QEvent>
#include <QPalette>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

// What ordinary text needs to read comfortably (WCAG level AA).
constexpr double ReadableContrast = 4.5;

double relativeLuminance(const QColor& colour) {
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

// The contrast between two colours as the eye sees it, from 1 (none) to 21 (black on white).
double contrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

class DesignedTextColour : public QObject {
public:
    explicit DesignedTextColour(QWidget* widget, const QColor& designed)
        : QObject(widget), m_widget(widget), m_designed(designed) {
        widget->installEventFilter(this);
        apply();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_widget && event->type() == QEvent::PaletteChange && !m_applying)
            apply();
        return false;
    }

private:
    void apply() {
        m_applying = true;
        // The widget draws no background of its own: behind its text is its parent's window.
        const QWidget* behind = m_widget->parentWidget() ? m_widget->parentWidget() : m_widget;
        QPalette own; // an empty palette inherits every colour
        if (contrastRatio(m_designed, behind->palette().color(QPalette::Window)) >=
            ReadableContrast)
            own.setColor(QPalette::WindowText, m_designed);
        m_widget->setPalette(own);
        m_applying = false;
    }

    QWidget* m_widget;
    QColor m_designed;
    bool m_applying = false;
};

} // namespace

void KeepDesignedTextColour(QWidget* widget, const QColor& designed) {
    new DesignedTextColour(widget, designed);
}
