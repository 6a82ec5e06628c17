#include "compare/CompareCases.h"

#include "compare/CompareWindow.h"
#include "widgets/Prompter.h"

const ComparePicture *CompareCase::first(bool after) const
{
    for (int slot = 0; slot < 3; ++slot)
        if (!picture(after, slot).isEmpty())
            return &picture(after, slot);
    return nullptr;
}

CompareCase CompareCase::read(const QSqlDatabase &db, const QString &programFolder, qint64 caseId, const QString &title)
{
    CompareCase c;
    c.id = caseId;
    c.title = title;
    for (int i = 0; i < 6; ++i) {
        c.pictures[i].caseId = caseId;
        c.pictures[i].after = i >= 3;
        c.pictures[i].slot = i % 3;
    }
    for (const CasePicture &p : CasePictures::read(db, programFolder, caseId)) {
        c.customerNo = p.customerNo;
        c.pictures[(p.after ? 3 : 0) + p.slot] = p;
    }
    return c;
}

bool openCompare(CompareSource *source, QWidget *parent)
{
    CompareWindow window(source, parent);
    Prompter::instance().execModal(&window);
    return window.photoTaken();
}
