#include "ServerText.h"

namespace platform {

namespace {

bool turnsText(char16_t c) {
    return (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x200e ||
           c == 0x200f || c == 0x061c;
}

} // namespace

QString AsPlainText(const QString& text) {
    QString shown = text;
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\r' || u == u'\t' || u == 0x2028 || u == 0x2029)
            c = u' ';
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0) || turnsText(u))
            c = u'?';
    }
    return shown;
}

} // namespace platform
