#include "widgets/ProgramFont.h"

#include <QApplication>
#include <QFont>

void installFontSubstitutes()
{
    // The windows are laid out for the Song face at 12 pixels; without a substitute fontconfig
    // would pick a Latin serif or a Hei face with other widths.
    const QString song = QStringLiteral("AR PL UMing CN");
    const QString kai = QStringLiteral("AR PL UKai CN");
    QFont::insertSubstitution(QStringLiteral("SimSun"), song);
    QFont::insertSubstitution(QStringLiteral("宋体"), song);
    QFont::insertSubstitution(QStringLiteral("楷体_GB2312"), kai);
    QFont::insertSubstitution(QStringLiteral("KaiTi_GB2312"), kai);
    QFont f(QStringLiteral("SimSun"));
    f.setPixelSize(12);
    QApplication::setFont(f);
}
