#include "data/DataSet.h"

#include "data/AppError.h"
#include "data/Transaction.h"

// Error texts of the data set layer, as the platform's data access layer words them.
static const char kNotEditing[] = "Dataset not in edit or insert mode";
static const char kReadOnly[] = "Cannot modify a read-only dataset";
static const char kClosed[] = "Cannot perform this operation on a closed dataset";
static const char kEmpty[] = "Cannot perform this operation on an empty dataset";

DataSet::DataSet(const QString &connectionName, QObject *parent) : QObject(parent), m_connection(connectionName) {}

DataSet::~DataSet() = default;

QSqlDatabase DataSet::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

void DataSet::requireActive() const
{
    if (m_state == Inactive)
        throw AppError(QString::fromLatin1(kClosed));
}

void DataSet::requireWritable() const
{
    requireActive();
    if (isReadOnly())
        throw AppError(QString::fromLatin1(kReadOnly));
}

void DataSet::setState(State s)
{
    if (m_state == s)
        return;
    m_state = s;
    emit stateChanged();
}

int DataSet::fieldIndex(const QString &field) const
{
    for (int i = 0; i < m_fields.size(); ++i)
        if (m_fields.at(i).compare(field, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

// ---- opening -------------------------------------------------------------------------------

void DataSet::open()
{
    if (isActive())
        return;
    m_openedKey = masterKey();
    doOpen(); // raises on a rejected statement; the data set then stays closed
    m_state = Browse;
    emit stateChanged();
    resetAfterRead();
}

void DataSet::resetAfterRead()
{
    if (isEditing()) {
        m_state = Browse;
        emit stateChanged();
    }
    m_modified = false;
    m_insertRow = -1;
    m_buffer.clear();
    m_current = storedCount() > 0 ? 0 : -1;
    m_bof = true;
    m_eof = storedCount() == 0;
    emit rowsReset();
    emit recordChanged();
    emit positionChanged();
    syncDetails();
}

void DataSet::close()
{
    if (!isActive())
        return;
    m_buffer.clear();
    m_insertRow = -1;
    m_modified = false;
    doClose();
    m_current = -1;
    m_bof = m_eof = true;
    m_state = Inactive;
    emit stateChanged();
    emit rowsReset();
    emit recordChanged();
    emit positionChanged();
    syncDetails();
}

void DataSet::refresh()
{
    requireActive();
    checkBrowseMode();
    m_openedKey = masterKey();
    doClose();
    try {
        doOpen();
    } catch (...) {
        m_state = Inactive;
        m_current = -1;
        emit stateChanged();
        emit rowsReset();
        emit recordChanged();
        throw;
    }
    resetAfterRead();
}

// ---- rows ----------------------------------------------------------------------------------

int DataSet::recordCount() const
{
    if (!isActive())
        return 0;
    return storedCount() + (m_state == Insert ? 1 : 0);
}

int DataSet::storageRow(int row) const
{
    if (m_state == Insert && row > m_insertRow)
        return row - 1;
    return row;
}

QVariant DataSet::value(const QString &field) const
{
    const int idx = fieldIndex(field);
    if (idx < 0) {
        if (!isActive())
            return QVariant();
        throw AppError(QStringLiteral("Field '%1' not found").arg(field));
    }
    if (isEditing())
        return m_buffer.value(idx);
    if (m_current < 0)
        return QVariant();
    return storedRow(m_current).value(idx);
}

QString DataSet::asString(const QString &field) const
{
    const QVariant v = value(field);
    return v.isNull() ? QString() : v.toString();
}

bool DataSet::asBool(const QString &field) const
{
    return toBool(value(field));
}

bool DataSet::toBool(const QVariant &v)
{
    if (v.isNull())
        return false;
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString().trimmed();
        if (s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        if (s.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
            return false;
        bool ok = false;
        const qlonglong n = s.toLongLong(&ok);
        return ok && n != 0;
    }
    return v.toLongLong() != 0 || v.toBool();
}

QVariant DataSet::valueAt(int row, const QString &field) const
{
    const int idx = fieldIndex(field);
    if (idx < 0 || row < 0 || row >= recordCount())
        return QVariant();
    if (isInsertRow(row) || (m_state == Edit && row == m_current))
        return m_buffer.value(idx);
    return storedRow(storageRow(row)).value(idx);
}

QVariant DataSet::savedValue(const QString &field) const
{
    const int idx = fieldIndex(field);
    if (idx < 0)
        throw AppError(QStringLiteral("Field '%1' not found").arg(field));
    if (m_current < 0 || isInsertRow(m_current))
        return QVariant();
    return storedRow(storageRow(m_current)).value(idx);
}

// ---- navigation ----------------------------------------------------------------------------

void DataSet::moveCurrent(int row)
{
    const bool moved = row != m_current;
    m_current = row;
    if (moved) {
        emit recordChanged();
        syncDetails();
    }
    emit positionChanged();
}

void DataSet::first()
{
    requireActive();
    settleDetails();
    checkBrowseMode();
    const int n = recordCount();
    m_bof = true;
    m_eof = n == 0;
    moveCurrent(n > 0 ? 0 : -1);
}

void DataSet::last()
{
    requireActive();
    settleDetails();
    checkBrowseMode();
    const int n = recordCount();
    m_eof = true;
    m_bof = n == 0;
    moveCurrent(n - 1);
}

int DataSet::moveBy(int distance)
{
    requireActive();
    settleDetails();
    checkBrowseMode();
    const int n = recordCount();
    if (n == 0) {
        m_bof = m_eof = true;
        moveCurrent(-1);
        return 0;
    }
    if (distance == 0)
        return 0;
    m_bof = m_eof = false;
    int target = m_current + distance;
    if (target < 0) {
        target = 0;
        m_bof = true;
    } else if (target >= n) {
        target = n - 1;
        m_eof = true;
    }
    const int moved = target - m_current;
    moveCurrent(target);
    return moved;
}

void DataSet::next()
{
    moveBy(1);
}
void DataSet::prior()
{
    moveBy(-1);
}

void DataSet::moveTo(int row)
{
    requireActive();
    if (row == m_current)
        return;
    moveBy(row - m_current);
}

bool DataSet::locate(const QString &field, const QVariant &value, bool partial)
{
    requireActive();
    settleDetails();
    checkBrowseMode();
    const int idx = fieldIndex(field);
    if (idx < 0)
        throw AppError(QStringLiteral("Field '%1' not found").arg(field));
    const QString wanted = value.toString();
    const int n = recordCount();
    for (int row = 0; row < n; ++row) {
        const QVariant v = storedRow(row).value(idx);
        if (v.isNull() != value.isNull() && !partial)
            continue;
        const QString s = v.toString();
        if (partial ? (!v.isNull() && s.startsWith(wanted)) : s == wanted) {
            m_bof = m_eof = false;
            moveCurrent(row);
            return true;
        }
    }
    return false;
}

// ---- editing -------------------------------------------------------------------------------

void DataSet::edit()
{
    requireWritable();
    if (isEditing())
        return;
    if (recordCount() == 0) {
        insert();
        return;
    }
    m_buffer = storedRow(m_current);
    m_modified = false;
    setState(Edit);
}

void DataSet::insert()
{
    requireWritable();
    settleDetails();
    checkBrowseMode();
    startInsert(m_current < 0 ? 0 : m_current);
}

void DataSet::append()
{
    requireWritable();
    settleDetails();
    checkBrowseMode();
    startInsert(storedCount());
}

void DataSet::startInsert(int row)
{
    m_rowBeforeInsert = m_current;
    const int oldCurrent = m_current;
    const bool oldBof = m_bof, oldEof = m_eof;
    m_buffer = QVariantList();
    for (int i = 0; i < m_fields.size(); ++i)
        m_buffer << QVariant();
    m_insertRow = row;
    m_current = row;
    m_bof = m_eof = false;
    m_state = Insert;
    // A detail's new row belongs to the master's current row.
    if (m_master) {
        const int k = fieldIndex(m_masterField);
        if (k >= 0)
            m_buffer[k] = masterKey();
    }
    try {
        if (m_onNewRecord)
            m_onNewRecord(*this);
    } catch (...) {
        m_state = Browse;
        m_insertRow = -1;
        m_buffer.clear();
        m_current = oldCurrent;
        m_bof = oldBof;
        m_eof = oldEof;
        throw;
    }
    // Values filled in by the new-record hook do not count as a change by the user.
    m_modified = false;
    emit stateChanged();
    emit rowsReset();
    emit recordChanged();
    emit positionChanged();
    syncDetails();
}

void DataSet::setValue(const QString &field, const QVariant &value)
{
    if (!isEditing())
        throw AppError(QString::fromLatin1(kNotEditing));
    const int idx = fieldIndex(field);
    if (idx < 0)
        throw AppError(QStringLiteral("Field '%1' not found").arg(field));
    bool isMasterKey = false;
    for (const auto &d : m_details)
        if (d && d->m_masterField.compare(field, Qt::CaseInsensitive) == 0)
            isMasterKey = true;
    if (isMasterKey)
        settleDetails();
    m_buffer[idx] = value;
    m_modified = true;
    emit fieldChanged(m_fields.at(idx));
    if (isMasterKey)
        syncDetails();
}

void DataSet::setModified()
{
    if (!isEditing())
        throw AppError(QString::fromLatin1(kNotEditing));
    m_modified = true;
}

void DataSet::post()
{
    requireActive();
    if (!isEditing())
        return;
    settleDetails();
    // Saving a detail row may have saved this new row first, with nothing left to write.
    if (!isEditing())
        return;
    if (m_beforePost)
        m_beforePost(*this);
    const bool inserting = m_state == Insert;
    QVariantList values = m_buffer;
    // A detail row never reaches the database before its master row: a new master row is
    // written first, in the same transaction, so that a crash or a refused write can never
    // leave this row without its owner (whose key another new row could then be given).
    DataSet *newMaster = m_master && m_master->m_state == Insert && !m_master->m_posting ? m_master.data() : nullptr;
    Transaction t(database());
    if (newMaster) {
        const State masterState = newMaster->m_state;
        const QVariantList masterBuffer = newMaster->m_buffer;
        const int masterInsertRow = newMaster->m_insertRow;
        const int masterCurrent = newMaster->m_current;
        const bool masterModified = newMaster->m_modified;
        m_posting = true;
        try {
            newMaster->writeInsertedRow();
            // The master may have been saved under another key than it was given (a number
            // another workstation took first): this row follows it.
            const int k = fieldIndex(m_masterField);
            if (k >= 0)
                values[k] = newMaster->value(m_masterField);
            writeRow(inserting, values, inserting ? m_insertRow : m_current);
        } catch (...) {
            m_posting = false;
            if (newMaster->m_state != masterState) {
                newMaster->forgetRow(masterInsertRow);
                newMaster->m_state = masterState;
                newMaster->m_buffer = masterBuffer;
                newMaster->m_insertRow = masterInsertRow;
                newMaster->m_current = masterCurrent;
                newMaster->m_modified = masterModified;
                emit newMaster->stateChanged();
                emit newMaster->rowsReset();
                emit newMaster->recordChanged();
            }
            throw;
        }
        m_posting = false;
    } else {
        writeRow(inserting, values, inserting ? m_insertRow : m_current);
    }
    t.commit();
    if (newMaster) {
        // The master's details were read for the key it was given; keep them on this row.
        m_openedKey = newMaster->value(m_masterField);
        emit newMaster->stateChanged();
        emit newMaster->rowsReset();
        emit newMaster->recordChanged();
    }
    m_buffer.clear();
    m_insertRow = -1;
    m_modified = false;
    m_state = Browse;
    emit stateChanged();
    if (inserting)
        emit rowsReset();
    else
        emit rowUpdated(m_current);
    emit recordChanged();
    syncDetails();
}

void DataSet::writeInsertedRow()
{
    if (m_beforePost)
        m_beforePost(*this);
    QVariantList values = m_buffer;
    writeRow(true, values, m_insertRow);
    m_buffer.clear();
    m_insertRow = -1;
    m_modified = false;
    m_state = Browse;
}

void DataSet::cancel()
{
    if (!isEditing())
        return;
    settleDetails();
    if (!isEditing())
        return;
    if (m_beforeCancel)
        m_beforeCancel(*this);
    const bool inserting = m_state == Insert;
    m_buffer.clear();
    m_modified = false;
    m_insertRow = -1;
    m_state = Browse;
    if (inserting) {
        const int n = storedCount();
        int row = m_rowBeforeInsert;
        if (row >= n)
            row = n - 1;
        if (n > 0 && row < 0)
            row = 0;
        m_current = row;
        m_bof = n == 0;
        m_eof = n == 0;
    }
    emit stateChanged();
    if (inserting)
        emit rowsReset();
    emit recordChanged();
    emit positionChanged();
    syncDetails();
}

void DataSet::remove()
{
    requireWritable();
    if (m_state == Insert) {
        cancel();
        return;
    }
    if (recordCount() == 0)
        throw AppError(QString::fromLatin1(kEmpty));
    settleDetails();
    // What the hook deletes with the row (a customer's cases) goes in one transaction with it.
    // The hook may refuse; unsaved edits of the row are kept until the delete goes ahead.
    Transaction t(database());
    if (m_beforeDelete)
        m_beforeDelete(*this);
    if (m_state == Edit) {
        m_buffer.clear();
        m_modified = false;
        setState(Browse);
    }
    deleteRow(m_current);
    t.commit();
    const int n = storedCount();
    if (m_current >= n)
        m_current = n - 1;
    m_bof = n == 0;
    m_eof = n == 0;
    emit rowsReset();
    emit recordChanged();
    emit positionChanged();
    // The delete may have removed detail rows too (a cascade): read them again even when the
    // new current row has the key they were last read for.
    syncDetails(true);
}

void DataSet::checkBrowseMode()
{
    if (!isEditing())
        return;
    if (m_modified)
        post();
    else
        cancel();
}

// ---- master and details --------------------------------------------------------------------

void DataSet::setMaster(DataSet *master, const QString &keyField)
{
    if (m_master)
        m_master->m_details.removeAll(this);
    m_master = master;
    m_masterField = keyField;
    if (master)
        master->m_details.append(this);
}

QVariant DataSet::masterKey() const
{
    if (!m_master || !m_master->isActive() || m_master->recordCount() == 0 || m_master->fieldIndex(m_masterField) < 0)
        return QVariant();
    return m_master->value(m_masterField);
}

void DataSet::settleDetails()
{
    for (const auto &d : m_details)
        if (d && d->isActive())
            d->checkBrowseMode();
}

void DataSet::syncDetails(bool reread)
{
    for (const auto &d : m_details) {
        if (!d || !d->isActive())
            continue;
        const QVariant key = d->masterKey();
        if (!reread && key == d->m_openedKey && key.isNull() == d->m_openedKey.isNull())
            continue;
        d->m_openedKey = key;
        d->masterChanged();
    }
}
