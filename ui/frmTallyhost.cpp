#include "frmTallyhost.h"

#include "Inet.h"
#include "Twips.h"
#include "frmAbout.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolTip>

#include <limits>
#include <utility>

namespace {

// The layout is fixed: every control sits where it was placed, whatever the window's size.
template <typename W> W* place(W* w, int left, int top, int width, int height) {
    w->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
    return w;
}

QLabel* label(QWidget* parent, const QString& text, int left, int top, int width, int height) {
    auto* l = place(new QLabel(text, parent), left, top, width, height);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

QLineEdit* field(QWidget* parent, int left, int top, int width, int height) {
    // Stored fields show a single space until the settings are loaded.
    auto* f = place(new QLineEdit(QStringLiteral(" "), parent), left, top, width, height);
    // A field holds its whole text, however long: a template path or a password cut short
    // without a word would be saved cut.
    f->setMaxLength(std::numeric_limits<int>::max());
    return f;
}

// The part of a label that a field placed over its end leaves visible.
int visibleWidth(const QLabel* label) {
    int right = label->geometry().right() + 1;
    for (const QWidget* sibling :
         label->parentWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!qobject_cast<const QLabel*>(sibling) && sibling->x() > label->x() &&
            sibling->geometry().intersects(label->geometry()))
            right = qMin(right, sibling->x());
    return right - label->x();
}

// The boxes were sized for an 8-point MS Sans Serif; other dialog fonts run wider. The
// platform's dialog font steps down from its own size until every caption shows whole, a
// pixel clear of the field beside it, and a field's text fits its box with a pixel above and
// below. The menu bar keeps the platform's menu font.
void fitFont(QWidget* client) {
    const auto width = [](const QFontMetrics& fm, const QString& text) {
        return qMax(fm.horizontalAdvance(text), fm.boundingRect(text).right() + 1);
    };
    const auto frame = [](const QWidget* w) {
        return w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
    };
    QFont candidate = client->font();
    for (int size = QFontInfo(candidate).pixelSize(); size >= 8; --size) {
        candidate.setPixelSize(size);
        const QFontMetrics fm(candidate);
        bool fits = true;
        for (const QLabel* l : client->findChildren<QLabel*>())
            fits = fits && width(fm, l->text()) < visibleWidth(l) && fm.height() <= l->height();
        for (const QPushButton* b : client->findChildren<QPushButton*>())
            fits = fits && width(fm, b->text()) + 2 * frame(b) <= b->width();
        for (const QLineEdit* f : client->findChildren<QLineEdit*>())
            fits = fits && fm.height() + 2 + 2 * frame(f) <= f->height();
        if (fits)
            break;
    }
    client->setFont(candidate);
}

// Whether a field shows the whole of its value.
bool showsWhole(const QLineEdit& field) {
    QStyleOptionFrame option;
    option.initFrom(&field);
    option.lineWidth = field.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &field);
    const QRect room = field.style()->subElementRect(QStyle::SE_LineEditContents, &option, &field) -
                       field.textMargins();
    // The text keeps two pixels clear of each side of its room.
    return field.fontMetrics().horizontalAdvance(field.displayText()) <= room.width() - 4;
}

} // namespace

frmTallyhost::frmTallyhost(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Vantrell"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/vantrell.svg")));

    createControls();
    createMenus();
    setFocusOrder();
    fitFont(centralWidget());

    inetFTP = new platform::Inet(this);

    // One row more than the controls take, for the status row.
    resize(Twips(8292), Twips(3444) + menuBar()->sizeHint().height());
}

frmTallyhost::~frmTallyhost() {
    delete m_about;
}

void frmTallyhost::createControls() {
    auto* client = new QWidget(this);
    setCentralWidget(client);

    // Labels first, so that a field placed over the end of a long label stays on top.
    Frame2 = place(new QGroupBox(QStringLiteral("HTML"), client), 0, 120, 4092, 2172);
    lblHTMLTemplate = label(Frame2, QStringLiteral("Template File"), 120, 360, 1092, 252);
    Label2 = label(Frame2, QStringLiteral("IP Parse Field"), 120, 720, 1092, 252);
    Label3 = label(Frame2, QStringLiteral("Date Parse"), 120, 1080, 1092, 252);
    Label4 = label(Frame2, QStringLiteral("Time Parse"), 120, 1440, 1092, 252);
    txtHTMLTemplate = field(Frame2, 1320, 360, 2292, 285);
    comTemplateFile = place(new QPushButton(Frame2), 3600, 360, 372, 372);
    comTemplateFile->setIcon(QIcon(QStringLiteral(":/icons/folder.svg")));
    comTemplateFile->setIconSize(QSize(Twips(372) - 6, Twips(372) - 6));
    comTemplateFile->setAutoDefault(false);
    txtIPParseField[0] = field(Frame2, 1320, 720, 2292, 285);
    txtIPParseField[1] = field(Frame2, 1320, 1080, 2292, 285);
    txtIPParseField[2] = field(Frame2, 1320, 1440, 2292, 285);
    txtIPParseField[1]->setText(QStringLiteral("%Date%"));
    txtIPParseField[2]->setText(QStringLiteral("%Time%"));
    txtIPParseField[1]->setEnabled(false);
    txtIPParseField[2]->setEnabled(false);

    Frame1 = place(new QGroupBox(QStringLiteral("FTP"), client), 4200, 120, 4095, 2172);
    lblUserName[0] = label(Frame1, QStringLiteral("FTP Site"), 120, 360, 855, 255);
    lblUserName[1] = label(Frame1, QStringLiteral("User Name"), 120, 720, 975, 255);
    lblUserName[2] = label(Frame1, QStringLiteral("Password"), 120, 1080, 975, 255);
    lblUploadFileName = label(Frame1, QStringLiteral("Upload File Name"), 120, 1440, 1575, 255);
    Label1 = label(Frame1, QStringLiteral("Upload directory"), 120, 1800, 1332, 252);
    txtFTPSite = field(Frame1, 1560, 360, 2415, 285);
    txtUserName = field(Frame1, 1560, 720, 2415, 285);
    txtPassword = field(Frame1, 1560, 1080, 2415, 285);
    txtPassword->setEchoMode(QLineEdit::Password);
    // An input method would show the characters while they are being composed.
    txtPassword->setAttribute(Qt::WA_InputMethodEnabled, false);
    txtPassword->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    txtUploadFileName = field(Frame1, 1560, 1440, 2415, 285);
    txtUploadDir = field(Frame1, 1560, 1800, 2415, 285);

    comUploadTallyhost =
        place(new QPushButton(QStringLiteral("Upload IP Address"), client), 3360, 2400, 1575, 615);
    comUploadTallyhost->setAutoDefault(false);

    lblStatus = place(new QLabel(client), 120, 3108, 8052, 300);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblStatus->setTextFormat(Qt::PlainText);
    cmdCancel = place(new QPushButton(QStringLiteral("Cancel"), client), 7080, 3084, 1092, 345);
    cmdCancel->setAutoDefault(false);
    // Esc stops the upload, but only while the button is there: otherwise Esc does nothing.
    cmdCancel->setShortcut(Qt::Key_Escape);
    // Clicking it leaves the focus where the user was typing.
    cmdCancel->setFocusPolicy(Qt::TabFocus);
    cmdCancel->setCursor(Qt::ArrowCursor);
    cmdCancel->hide();

    for (QLabel* l : findChildren<QLabel*>())
        l->lower();
    nameControls();
    for (QLineEdit* f : findChildren<QLineEdit*>())
        f->installEventFilter(this);
    comUploadTallyhost->installEventFilter(this);
    comTemplateFile->installEventFilter(this);

    connect(comUploadTallyhost, &QPushButton::clicked, this, &frmTallyhost::uploadRequested);
    connect(comTemplateFile, &QPushButton::clicked, this, &frmTallyhost::browseTemplate);
    connect(cmdCancel, &QPushButton::clicked, this, &frmTallyhost::cancelRequested);
}

// A screen reader names a control by what is around it; without these, each field would be
// heard as its group's caption ("HTML", "FTP").
void frmTallyhost::nameControls() {
    const std::pair<QLabel*, QWidget*> captions[] = {{lblHTMLTemplate, txtHTMLTemplate},
                                                     {Label2, txtIPParseField[0]},
                                                     {Label3, txtIPParseField[1]},
                                                     {Label4, txtIPParseField[2]},
                                                     {lblUserName[0], txtFTPSite},
                                                     {lblUserName[1], txtUserName},
                                                     {lblUserName[2], txtPassword},
                                                     {lblUploadFileName, txtUploadFileName},
                                                     {Label1, txtUploadDir}};
    for (const auto& [caption, control] : captions) {
        caption->setBuddy(control);
        control->setAccessibleName(caption->text());
    }
    comTemplateFile->setAccessibleName(QStringLiteral("Choose Template File"));
    // The line keeps no name of its own, so that its name is what it says: each new text is
    // then announced as a change of name, the nearest Qt comes to a live region.
    lblStatus->setAccessibleDescription(QStringLiteral("Status"));
}

void frmTallyhost::closeEvent(QCloseEvent* event) {
    if (!mayClose || mayClose())
        event->accept();
    else
        event->ignore();
}

bool frmTallyhost::eventFilter(QObject* watched, QEvent* event) {
    // Enter presses a button that has the focus, as Space does; neither button is the window's
    // default, so Enter in a field still starts nothing.
    if (event->type() == QEvent::KeyPress &&
        (watched == comUploadTallyhost || watched == comTemplateFile)) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!key->isAutoRepeat())
                static_cast<QPushButton*>(watched)->click();
            return true;
        }
    }
    // A field too narrow for its value shows the whole of it when the mouse rests on it.
    if (event->type() == QEvent::ToolTip) {
        if (auto* field = qobject_cast<QLineEdit*>(watched);
            field && field->echoMode() == QLineEdit::Normal) {
            const auto* help = static_cast<const QHelpEvent*>(event);
            if (!showsWhole(*field))
                QToolTip::showText(help->globalPos(), field->text(), field);
            else
                QToolTip::hideText();
            return true;
        }
    }
#if !defined(Q_OS_MACOS)
    // Alt with a letter is how menus open elsewhere (Alt+F, Alt+H), but these menus have no
    // access keys, so the field under the focus would take the letter as typed text. Keys
    // typed with Ctrl+Alt, as AltGr reports itself on Windows, still type, and so does Option
    // on macOS, where it is how accented letters and symbols are typed.
    if (event->type() == QEvent::KeyPress && qobject_cast<QLineEdit*>(watched)) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        const Qt::KeyboardModifiers held =
            key->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier);
        if (held == Qt::AltModifier && !key->text().isEmpty() && key->text().front().isPrint())
            return true;
    }
#endif
    return QMainWindow::eventFilter(watched, event);
}

void frmTallyhost::createMenus() {
    mnuFile = menuBar()->addMenu(QStringLiteral("File"));
    mnuUploadTallyhost = mnuFile->addAction(QStringLiteral("Upload IP Address"));
    mnuExit = mnuFile->addAction(QStringLiteral("Exit"));
    mnuTools = menuBar()->addMenu(QStringLiteral("Tools"));
    mnuOptions = mnuTools->addAction(QStringLiteral("Options..."));
    mnuHistory = mnuTools->addAction(QStringLiteral("History..."));
    mnuHelp = menuBar()->addMenu(QStringLiteral("Help"));
    mnuWebsite = mnuHelp->addAction(QStringLiteral("Website"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("&About"));

    connect(mnuUploadTallyhost, &QAction::triggered, this, &frmTallyhost::uploadRequested);
    connect(mnuExit, &QAction::triggered, this, &frmTallyhost::exitRequested);
    connect(mnuOptions, &QAction::triggered, this, &frmTallyhost::optionsRequested);
    connect(mnuHistory, &QAction::triggered, this, &frmTallyhost::historyRequested);
    connect(mnuWebsite, &QAction::triggered, this, &frmTallyhost::websiteRequested);
    connect(mnuAbout, &QAction::triggered, this, &frmTallyhost::showAbout);
}

void frmTallyhost::setFocusOrder() {
    QWidget* const order[] = {txtHTMLTemplate,   txtIPParseField[0], comUploadTallyhost,
                              txtFTPSite,        txtUserName,        txtPassword,
                              txtUploadFileName, comTemplateFile,    txtUploadDir};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    setTabOrder(txtUploadDir, txtHTMLTemplate);
}

void frmTallyhost::browseTemplate() {
    // Where the template is now, when it is anywhere (the dialog starts in the home folder
    // otherwise).
    const QString current = txtHTMLTemplate->text().trimmed();
    CommonDialog1.setInitDir(current.isEmpty() ? QString() : QFileInfo(current).absolutePath());
    CommonDialog1.setFilter(QStringLiteral("HTML files (*.htm *.html);;All files (*)"));
    CommonDialog1.setDialogTitle(QStringLiteral("Choose Template File"));
    CommonDialog1.ShowOpen(this);
    if (CommonDialog1.FileName() != QString()) {
        txtHTMLTemplate->setText(CommonDialog1.FileName());
        // The file's name says more than the start of its folder.
        txtHTMLTemplate->end(false);
    }
}

frmAbout* frmTallyhost::About() {
    // Owned by this window, so that it opens centred over it.
    if (!m_about)
        m_about = new frmAbout(this);
    return m_about;
}

void frmTallyhost::showAbout() {
    About()->exec();
}
