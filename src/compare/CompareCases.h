#pragma once
// Where the comparison window finds its pictures: the current case of a case list, the other
// cases of the same customer, and a way to step through the list. The main window's list is one
// such source; tests may give their own.

#include "consent/CasePictures.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

// A picture to compare carries its own case, category and consent: the strip mixes the pictures
// of several cases of the customer.
using ComparePicture = CasePicture;

struct CompareCase {
    qint64 id = 0; // 0 when no case is current
    QString customerNo;
    QString title;              // what the strip shows for the case: its minor category and date
    ComparePicture pictures[6]; // before 0..2, then after 0..2; empty where the case has none

    // The case's pictures as the database holds them (CasePictures::read), laid into the slots.
    static CompareCase read(const QSqlDatabase &db, const QString &programFolder, qint64 caseId, const QString &title);

    const ComparePicture &picture(bool after, int slot) const { return pictures[(after ? 3 : 0) + slot]; }
    // The first picture of a kind; nullptr when the case has none.
    const ComparePicture *first(bool after) const;
};

class CompareSource {
public:
    virtual ~CompareSource() = default;
    virtual CompareCase currentCase() const = 0;
    // The same customer's other cases, in the list's order.
    virtual QVector<CompareCase> otherCases() const = 0;
    // Moves the list by delta rows; false (nothing moved) at its ends or without a list.
    virtual bool step(int delta) = 0;
    // Where stored alignments are kept.
    virtual QSqlDatabase database() const = 0;
    // The installation folder, which holds pic/; empty where the source cannot take new photos
    // into its cases (the capture command is then not offered).
    virtual QString programFolder() const { return QString(); }
};

// Opens the comparison window on the source's current case, modally. True when a photo was
// taken into one of the source's cases meanwhile, so that the caller shows its cases again.
class QWidget;
bool openCompare(CompareSource *source, QWidget *parent);
