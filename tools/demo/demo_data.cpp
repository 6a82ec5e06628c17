#include "demo_data.h"

#include "demo_content.h"
#include "demo_random.h"

#include <QTime>

#include <algorithm>
#include <vector>

namespace DemoData {

namespace {

// Customers were registered over six years; no case lies after the last day.
const QDate FirstDay(2019, 1, 2);
const QDate LastRegistration(2024, 12, 28);
const QDate LastDay(2024, 12, 31);

std::vector<int> shuffled(Random &random, int n)
{
    std::vector<int> v(size_t(std::max(n, 0)));
    for (int i = 0; i < n; ++i)
        v[size_t(i)] = i;
    for (int i = n - 1; i > 0; --i)
        std::swap(v[size_t(i)], v[size_t(random.below(i + 1))]);
    return v;
}

QList<Customer> makeCustomers(Random &random, int count, int subjects)
{
    std::vector<QDate> dates;
    dates.reserve(size_t(count));
    const int span = int(FirstDay.daysTo(LastRegistration)) + 1;
    for (int i = 0; i < count; ++i)
        dates.push_back(FirstDay.addDays(random.below(span)));
    std::sort(dates.begin(), dates.end());

    QList<Customer> customers;
    customers.reserve(count);
    QDate day;
    int running = 0;
    for (QDate d : dates) {
        if (day.isValid() && d < day) // pushed on by a full day before it
            d = day;
        if (d == day) {
            if (++running > 9999) { // the number format holds 9999 customers a day
                d = day.addDays(1);
                running = 1;
            }
        } else {
            running = 1;
        }
        day = d;
        Customer c;
        c.created = d;
        c.number = customerNumber(d, running);
        const bool female = random.chance(0.85);
        c.name = personName(random, female);
        c.sex = female ? QStringLiteral("女") : QStringLiteral("男");
        const int ageRoll = random.below(100);
        c.age = ageRoll < 3 ? QString()
                            : QString::number(ageRoll < 65 ? random.between(19, 35) : random.between(36, 62));
        c.phone = phoneNumber(random);
        c.address = random.chance(0.04) ? QString() : address(random);
        c.subject = subjects > 0 ? random.below(subjects) : 0;
        customers << c;
    }
    return customers;
}

QString dateText(Random &random, const QDate &d)
{
    QString text = d.toString(QStringLiteral("yyyy-MM-dd"));
    if (random.chance(0.03)) { // entered with the time of the appointment
        const QTime t(random.between(8, 17), random.chance(0.5) ? 0 : 30, 0);
        text += QLatin1Char(' ') + t.toString(QStringLiteral("HH:mm:ss"));
    }
    return text;
}

Case makeCase(Random &random, int customer, const QDate &date)
{
    const QList<MajorCategory> &tree = categoryTree();
    std::vector<int> weights;
    for (const MajorCategory &m : tree)
        weights.push_back(m.weight);
    const int majorIndex = random.weighted(weights);
    const MajorCategory &major = tree.at(majorIndex);
    const MinorCategory &minor = major.minors.at(random.below(int(major.minors.size())));

    Case c;
    c.customer = customer;
    c.major = major.name;
    c.minor = random.chance(0.015) ? QStringLiteral("") : minor.name;
    const QStringList &all = surgeons();
    QStringList specialists;
    for (int i = 0; i < all.size(); ++i)
        if (i % int(tree.size()) == majorIndex)
            specialists << all.at(i);
    c.surgeon = random.chance(0.7) ? random.pick(specialists) : random.pick(all);
    c.amount = amount(random, minor.minPrice, minor.maxPrice);
    c.date = dateText(random, date);
    return c;
}

// Assigns the picture columns of a case: up to three before and three after, now and then with a
// gap; the first picture carries the case's caption, the rest link the subject's pool pictures.
void addPictures(Random &random, Case &c, int subject, int &photoCounter)
{
    static const int countWeights[] = {8, 35, 32, 25};
    int before = random.weighted(countWeights);
    const int after = random.weighted(countWeights);
    if (before + after == 0)
        before = 1;
    const Slot::Kind unfilled = random.chance(0.15) ? Slot::Empty : Slot::Null;
    for (Slot &s : c.pictures)
        s.kind = unfilled;

    auto nextName = [&photoCounter]() {
        return QStringLiteral("IMG_%1.jpg").arg(photoCounter++, 4, 10, QLatin1Char('0'));
    };
    bool first = true;
    for (int side = 0; side < 2; ++side) {
        const int count = side == 0 ? before : after;
        std::array<bool, 3> used{};
        if (count < 3 && random.chance(0.12)) { // pictures in later columns only
            const std::vector<int> order = shuffled(random, 3);
            for (int i = 0; i < count; ++i)
                used[size_t(order[size_t(i)])] = true;
        } else {
            for (int i = 0; i < count; ++i)
                used[size_t(i)] = true;
        }
        for (int i = 0; i < 3; ++i) {
            if (!used[size_t(i)])
                continue;
            Slot &s = c.pictures[size_t(side * 3 + i)];
            s.kind = first ? Slot::Captioned : Slot::Pool;
            s.pool = subject * 2 + side;
            s.fileName = nextName();
            first = false;
        }
    }
}

bool hasUnfilled(const Case &c)
{
    for (const Slot &s : c.pictures)
        if (s.kind == Slot::Null || s.kind == Slot::Empty)
            return true;
    return false;
}

// A real clinic database has references to files that are gone, and full paths left behind by an
// import that failed: some cases with a free column get one of each.
void addBrokenReferences(Random &random, Case &c, int eligibleIndex, int &photoCounter)
{
    const bool missing = eligibleIndex % 30 == 3;
    const bool foreign = eligibleIndex % 97 == 40;
    if (!missing && !foreign)
        return;
    for (Slot &s : c.pictures) {
        if (s.kind != Slot::Null && s.kind != Slot::Empty)
            continue;
        if (missing) {
            s.kind = Slot::Missing;
            s.fileName = QStringLiteral("IMG_%1.jpg").arg(photoCounter++, 4, 10, QLatin1Char('0'));
        } else {
            s.kind = Slot::Foreign;
            s.value = QStringLiteral("D:\\照片\\%1\\DSC%2.JPG").arg(c.date.left(4)).arg(random.between(1000, 9999));
        }
        return;
    }
}

} // namespace

int picturedCases(const Options &o)
{
    if (o.pictures >= 0)
        return std::min(o.pictures, o.cases);
    return std::min(o.cases * 2 / 3, DefaultPictureCap);
}

QString customerNumber(const QDate &created, int running)
{
    return QLatin1String(HospitalNumber) + created.toString(QStringLiteral("yyyyMMdd"))
           + QStringLiteral("%1").arg(running, 4, 10, QLatin1Char('0'));
}

QString columnValue(const Plan &plan, const Case &c, const Slot &slot)
{
    switch (slot.kind) {
    case Slot::Null: return QString();
    case Slot::Empty: return QStringLiteral("");
    case Slot::Foreign: return slot.value;
    default: return plan.customers.at(c.customer).number + QLatin1Char('\\') + slot.fileName;
    }
}

// Consent forms as a clinic collects them: a third of the cases never had one (record only),
// some customers declined in writing, most of the rest agreed to be shown to other customers,
// and a smaller share to publicity. Forms are signed at the consultation before the surgery or
// at a check-up some weeks after it. A stream of its own, so the rest of the plan stays as it was.
void addConsent(std::uint64_t seed, QList<Case> &cases)
{
    Random random(seed ^ 0x636f6e73656e74ULL);
    static const int levelWeights[] = {33, 12, 40, 15}; // none stored, record only, may show, publicity
    static const QStringList notes{QStringLiteral("纸质授权书已归档"), QStringLiteral("仅限不露脸的照片"),
                                   QStringLiteral("同意术后一年内展示"), QStringLiteral("复诊时补签"),
                                   QStringLiteral("需先征得本人电话同意")};
    for (Case &c : cases) {
        c.consent = random.weighted(levelWeights) - 1;
        if (c.consent < 0)
            continue;
        const QDate surgery = QDate::fromString(c.date.left(10), QStringLiteral("yyyy-MM-dd"));
        c.consentSigned = random.chance(0.7) ? surgery.addDays(-random.between(0, 14))
                                             : surgery.addDays(random.between(7, 60));
        if (c.consentSigned > LastDay)
            c.consentSigned = LastDay;
        if (random.chance(0.15))
            c.consentNote = random.pick(notes);
    }
}

Plan makePlan(const Options &options, int poolSize)
{
    Random random(options.seed);
    Plan plan;
    for (const MajorCategory &m : categoryTree())
        plan.categories << Category{m.name, QStringLiteral("")};
    for (const MajorCategory &m : categoryTree())
        for (const MinorCategory &minor : m.minors)
            plan.categories << Category{minor.name, m.name};
    plan.surgeons = surgeons();

    const int subjects = poolSize / 2;
    plan.customers = makeCustomers(random, std::max(options.customers, 0), subjects);
    const int n = int(plan.customers.size());
    if (n == 0)
        return plan;

    // Most customers have one case, some several, a few none yet.
    const int cases = std::max(options.cases, 0);
    std::vector<int> perCustomer(size_t(n), 0);
    const std::vector<int> order = shuffled(random, n);
    const int withCases = std::min(cases, std::max(1, n * 92 / 100));
    for (int i = 0; i < withCases; ++i)
        perCustomer[size_t(order[size_t(i)])] = 1;
    for (int i = withCases; i < cases; ++i)
        ++perCustomer[size_t(order[size_t(random.below(withCases))])];

    std::vector<std::pair<QDate, Case>> dated;
    dated.reserve(size_t(cases));
    for (int ci = 0; ci < n; ++ci) {
        QDate d = plan.customers.at(ci).created;
        if (!random.chance(0.6))
            d = d.addDays(random.between(1, 45));
        for (int k = 0; k < perCustomer[size_t(ci)]; ++k) {
            const QDate when = std::min(d, LastDay);
            dated.emplace_back(when, makeCase(random, ci, when));
            d = d.addDays(random.between(30, 420));
        }
    }
    std::stable_sort(dated.begin(), dated.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    plan.cases.reserve(int(dated.size()));
    for (auto &entry : dated) {
        entry.second.id = int(plan.cases.size()) + 1;
        plan.cases << entry.second;
    }
    addConsent(options.seed, plan.cases);

    if (subjects == 0)
        return plan;
    std::vector<int> photoCounter(static_cast<size_t>(n));
    for (int &counter : photoCounter)
        counter = random.between(100, 8000); // where the camera's counter stood
    std::vector<int> pictured = shuffled(random, int(plan.cases.size()));
    pictured.resize(size_t(std::min(picturedCases(options), int(plan.cases.size()))));
    std::sort(pictured.begin(), pictured.end());
    int eligible = 0;
    for (int caseIndex : pictured) {
        Case &c = plan.cases[caseIndex];
        const Customer &customer = plan.customers.at(c.customer);
        addPictures(random, c, customer.subject, photoCounter[size_t(c.customer)]);
        if (hasUnfilled(c))
            addBrokenReferences(random, c, eligible++, photoCounter[size_t(c.customer)]);
        // The case number only: the demo photos are shown in the consultation mode, which shows
        // nothing that names a customer.
        c.caption = QStringLiteral("病例 %1").arg(c.id);
    }
    return plan;
}

} // namespace DemoData
