#include "frmAbout.h"

#include "AppInfo.h"
#include "MsgBox.h"
#include "ProgramConfig.h"
#include "Registry.h"
#include "SysInfo.h"
#include "Twips.h"

#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QSvgRenderer>
#include <QTextLayout>

namespace {

constexpr auto ContactAddress = "suggestion@example.org";

QPixmap aboutIcon(int side) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/icons/about.svg"));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QLabel* blackLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
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

QFrame* line(QWidget* parent, const QColor& colour, int x1, int x2, int y, int thickness) {
    auto* frame = new QFrame(parent);
    frame->setFrameShape(QFrame::NoFrame);
    frame->setAutoFillBackground(true);
    QPalette palette = frame->palette();
    palette.setColor(QPalette::Window, colour);
    frame->setPalette(palette);
    frame->setGeometry(Twips(x1), Twips(y), Twips(x2) - Twips(x1) + 1, thickness);
    return frame;
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

    // The icon box sizes itself to the 32-pixel icon.
    picIcon = new QLabel(this);
    picIcon->setPixmap(aboutIcon(32));
    picIcon->setGeometry(Twips(240), Twips(240), 32, 32);

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

    Line1[1] = line(this, QColor(128, 128, 128), 90, 5660, 2451, 1);
    Line1[0] = line(this, QColor(255, 255, 255), 105, 5660, 2466, 2);

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
    cmdOK->setFocus();
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
