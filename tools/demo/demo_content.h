#pragma once
// The words a demo installation is made of: people's names, telephone numbers, addresses, the
// surgery category tree with its price ranges, and the surgeons.

#include "demo_random.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace DemoData {

QString personName(Random &random, bool female);
QString phoneNumber(Random &random);
QString address(Random &random);

struct MinorCategory {
    QString name;
    int minPrice, maxPrice; // yuan
};

struct MajorCategory {
    QString name;
    int weight; // how common its cases are
    QList<MinorCategory> minors;
};

// Six majors with two to five minors each; 自体脂肪填充 is a minor under two majors.
const QList<MajorCategory> &categoryTree();

// Eight surgeons; surgeon i mostly operates in major category i % 6.
const QStringList &surgeons();

// A price in the range as clinics write it: whole hundreds, often ending in 800 or 900.
QString amount(Random &random, int minPrice, int maxPrice);

} // namespace DemoData
