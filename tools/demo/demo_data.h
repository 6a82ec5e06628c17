#pragma once
// The content of a demo installation, decided before anything is written: customers with their
// numbers, the category tree, surgeons, cases, and which picture file each picture column names.
// Everything follows from the options, the seed included, so a run can be repeated exactly.

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

namespace DemoData {

struct Options {
    int customers = 300;
    int cases = 900;
    int pictures = -1; // cases that get pictures; -1: two thirds of the cases, at most DefaultPictureCap
    std::uint64_t seed = 1;
};

constexpr int DefaultPictureCap = 600;
constexpr const char *HospitalNumber = "A1";

// Cases with pictures for these options (resolves the default).
int picturedCases(const Options &options);

struct Customer {
    QString number; // hospital number + YYYYMMDD of `created` + 4-digit running number of that day
    QDate created;
    QString name, sex, age, phone, address;
    int subject = 0; // the pool subject whose pictures show this customer
};

struct Category {
    QString name;
    QString parent; // empty for a major category
};

// What one picture column holds and what file, if any, backs it.
struct Slot {
    enum Kind {
        Null,      // the column was never filled (NULL)
        Empty,     // the column was cleared (empty string)
        Pool,      // a hard link to a pool picture
        Captioned, // a copy of a pool picture whose caption names the case
        Missing,   // a reference to a file that is not there
        Foreign    // a full source path left behind by a failed import
    };
    Kind kind = Null;
    int pool = -1;    // index into the pool for Pool and Captioned
    QString fileName; // file name inside the customer's folder (Pool, Captioned, Missing)
    QString value;    // the column text (Foreign), else computed from the customer number
};

constexpr int SlotCount = 6; // 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2

struct Case {
    int id = 0;       // the row's key, 1, 2, ... in date order
    int customer = 0; // index into Plan::customers
    QString major, minor, surgeon, amount, date;
    std::array<Slot, SlotCount> pictures;
    QString caption; // text on the captioned picture
    // What the customer agreed to: -1 nothing stored (record only), else the level 0..2 with
    // the date the form was signed and, now and then, a note.
    int consent = -1;
    QDate consentSigned;
    QString consentNote;
};

struct Plan {
    QList<Customer> customers; // in number order
    QList<Category> categories;
    QStringList surgeons;
    QList<Case> cases; // in id order
};

// poolSize: pictures in the pool, before and after of each subject (index 2s and 2s + 1).
Plan makePlan(const Options &options, int poolSize);

// The text a picture column holds for the slot (a null QString for Null).
QString columnValue(const Plan &plan, const Case &c, const Slot &slot);

// The customer number for a creation date and the running number of that day.
QString customerNumber(const QDate &created, int running);

} // namespace DemoData
