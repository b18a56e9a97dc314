#include "frmAbout.h"

#include "AppInfo.h"
#include "MsgBox.h"
#include "ProgramConfig.h"
#include "ReadableText.h"
#include "Registry.h"
#include "SysInfo.h"
#include "Twips.h"

#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTextLayout>

#if defined(Q_OS_WIN)
#include <QImage>
#else
#include <QSvgRenderer>
#endif

namespace {

constexpr auto ContactAddress = "suggestion@example.org";

// Drawn for the screen's pixels, so that a desktop scaled by 1.25 or 1.5 gets a sharp icon
// rather than a 32-pixel one enlarged.
QPixmap aboutIcon(int side, qreal devicePixelRatio) {
    const int pixels = qRound(side * devicePixelRatio);
#if defined(Q_OS_WIN)
    // A large picture of the drawing, made smaller.
    QPixmap pixmap = QPixmap::fromImage(
        QImage(QStringLiteral(":/icons/about.svg"))
            .scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation));
#else
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/icons/about.svg"));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
#endif
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QLabel* blackLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    KeepDesignedTextColour(label, Qt::black);
    return label;
}

// True when the text, wrapped at word boundaries, fits the box: no line runs past its right
// edge, no line falls below its bottom, and every line ends at a space. The wrapping may
// also break inside a word (after "http:\" in the product page's address), which would show
// the word in pieces.
bool textFits(const QString& text, const QFont& font, const QSize& box) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    bool fits = true;
    qreal height = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(box.width());
        const qsizetype end = line.textStart() + line.textLength();
        fits = fits && line.naturalTextWidth() <= box.width() &&
               (end >= text.size() || text.at(end - 1).isSpace());
        height += line.height();
    }
    layout.endLayout();
    return fits && height <= box.height();
}

QFrame* line(QWidget* parent, int x1, int x2, int y, int thickness) {
    auto* frame = new QFrame(parent);
    frame->setFrameShape(QFrame::NoFrame);
    frame->setAutoFillBackground(true);
    frame->setGeometry(Twips(x1), Twips(y), Twips(x2) - Twips(x1) + 1, thickness);
    return frame;
}

// The engraved line is a shadow over a highlight. Its designed grey and white suit a light
// window; on a dark one a white highlight would be a glaring bar, so the theme's own shadow
// and highlight shades are used there.
void colourEngraving(QFrame* shadow, QFrame* highlight, const QPalette& window) {
    const bool light = window.color(QPalette::Window).lightness() >= 128;
    const auto paint = [](QFrame* frame, const QColor& colour) {
        QPalette palette; // an empty palette inherits every colour
        palette.setColor(QPalette::Window, colour);
        frame->setPalette(palette);
    };
    paint(shadow, light ? QColor(128, 128, 128) : window.color(QPalette::Mid));
    paint(highlight, light ? QColor(255, 255, 255) : window.color(QPalette::Light));
}

} // namespace

frmAbout::frmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setFixedSize(Twips(5736), Twips(3564));
    createControls();
    Form_Load();
    fitFont();
}

void frmAbout::fitFont() {
    // The boxes are fixed, so the dialog font steps down from the platform's size until every
    // text fits its box: the product page address is one long word that must fit a line.
    const auto buttonFits = [this](QPushButton* button, const QFont& font) {
        const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        const QString caption = QString(button->text()).remove(QLatin1Char('&'));
        return QFontMetrics(font).horizontalAdvance(caption) + 2 * frame <= button->width();
    };
    QFont candidate = font();
    for (qreal size = candidate.pointSizeF(); size >= 6; size -= 0.5) {
        candidate.setPointSizeF(size);
        bool fits = buttonFits(cmdOK, candidate) && buttonFits(cmdSysInfo, candidate);
        for (QLabel* label : {lblVersion, lblDescription, lblDisclaimer})
            fits = fits && textFits(label->text(), candidate, label->size());
        if (fits)
            break;
    }
    setFont(candidate);

    QFont titleFont = candidate;
    titleFont.setPointSize(12);
    titleFont.setWeight(QFont::Normal);
    titleFont.setItalic(false);
    titleFont.setUnderline(false);
    titleFont.setStrikeOut(false);
    lblTitle->setFont(titleFont);
}

void frmAbout::createControls() {
    cmdOK = new QPushButton(tr("OK"), this);
    cmdOK->setGeometry(Twips(4245), Twips(2625), Twips(1260), Twips(345));
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    // The icon box sizes itself to the icon: 32 pixels at 96 dots per inch, in proportion to
    // the layout on a desktop with larger fonts.
    picIcon = new QLabel(this);
    picIcon->setPixmap(aboutIcon(Twips(480), devicePixelRatioF()));
    picIcon->setGeometry(Twips(240), Twips(240), Twips(480), Twips(480));

    cmdSysInfo = new QPushButton(tr("&System Info..."), this);
    cmdSysInfo->setGeometry(Twips(4260), Twips(3075), Twips(1245), Twips(345));
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::StartSysInfo);

    lblDescription = blackLabel(this);
    lblDescription->setGeometry(Twips(960), Twips(1128), Twips(3888), Twips(1176));
    lblDescription->setText(DescriptionText());

    lblDisclaimer = blackLabel(this);
    lblDisclaimer->setGeometry(Twips(255), Twips(2625), Twips(3870), Twips(825));
    lblDisclaimer->setText(DisclaimerText());

    lblTitle = blackLabel(this);
    lblTitle->setGeometry(Twips(1050), Twips(240), Twips(3885), Twips(480));

    lblVersion = new QLabel(this);
    lblVersion->setGeometry(Twips(1050), Twips(780), Twips(3885), Twips(225));

    for (QLabel* label : {lblDescription, lblDisclaimer, lblTitle, lblVersion}) {
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
    }

    Line1[1] = line(this, 90, 5660, 2451, 1);
    Line1[0] = line(this, 105, 5660, 2466, 2);
    colourEngraving(Line1[1], Line1[0], palette());

    // The product's address can be selected and copied, with the mouse or from the label's
    // menu; a double click on it takes the whole address, punctuation and all.
    lblDescription->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblDescription->installEventFilter(this);

    setTabOrder(cmdOK, cmdSysInfo);
}

QString frmAbout::DescriptionText() {
    return QString::fromLatin1(ProductWebsite) + QString(109, QLatin1Char(' ')) +
           QStringLiteral("Suggestions and comments: ") + QString::fromLatin1(ContactAddress) +
           QLatin1Char(' ');
}

QString frmAbout::DisclaimerText() {
    return QStringLiteral("This software is distributed with NO WARRANTY OF ANY KIND.  "
                          "Copyright (C) 2026 by the Vantrell authors, all rights reserved.");
}

void frmAbout::Form_Load() {
    setWindowTitle(QStringLiteral("About ") + platform::App::title());
    lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                            .arg(platform::App::Major)
                            .arg(platform::App::Minor)
                            .arg(platform::App::Revision));
    lblTitle->setText(platform::App::title());
    // The box may open on another screen than the one it was made for.
    if (picIcon->pixmap().devicePixelRatio() != devicePixelRatioF())
        picIcon->setPixmap(aboutIcon(picIcon->width(), devicePixelRatioF()));
    cmdOK->setFocus();
}

void frmAbout::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange && Line1[0])
        colourEngraving(Line1[1], Line1[0], palette());
    QDialog::changeEvent(event);
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lblDescription && event->type() == QEvent::MouseButtonDblClick) {
        const auto* click = static_cast<const QMouseEvent*>(event);
        const QString address = QString::fromLatin1(ProductWebsite);
        // The address begins the text and takes the first line to itself.
        if (click->button() == Qt::LeftButton &&
            click->position().y() < lblDescription->fontMetrics().lineSpacing() &&
            click->position().x() < lblDescription->fontMetrics().horizontalAdvance(address)) {
            lblDescription->setSelection(0, int(address.size()));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmAbout::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        Form_Load();
    QDialog::showEvent(event);
}

void frmAbout::StartSysInfo() {
    bool started = false;
    try {
        QString path;
        started = LocateSysInfo(path) && platform::sysinfo::Start(path);
    } catch (...) {
        // A registry value that cannot be read as text: the program stays unavailable.
        started = false;
    }
    if (!started)
        platform::MsgBox(QStringLiteral("System Information Is Unavailable At This Time"),
                         platform::MsgIcon::None, {});
}

bool frmAbout::LocateSysInfo(QString& path) {
#ifdef Q_OS_WIN
    // A recorded full path is taken as it stands; starting it tells whether it exists.
    if (GetKeyValue(platform::registry::LocalMachine,
                    QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), path))
        return true;
    QString folder;
    if (!GetKeyValue(platform::registry::LocalMachine,
                     QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                     QStringLiteral("MSINFO"), folder))
        return false;
    const QString candidate = folder + QStringLiteral("\\MSINFO32.EXE");
    if (!platform::sysinfo::IsOrdinaryFile(candidate))
        return false;
    path = candidate;
    return true;
#else
    return platform::sysinfo::RecordedPath(path) || platform::sysinfo::SearchPath(path);
#endif
}

bool frmAbout::GetKeyValue(std::uint32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                           QString& KeyVal) {
    return platform::registry::GetKeyValue(KeyRoot, KeyName, SubKeyRef, KeyVal);
}
