#pragma once
// Data sets: a table or a statement's rows on the program's one connection, with a current
// record, the states browse/edit/insert, hooks that may refuse an operation, and master-detail
// links on a key column. Statements are written in the Jet dialect and translated for the engine.
//
// Two kinds share this interface:
//  - QueryDataSet: the rows of a SELECT, read only, counted in SQL and fetched page by page as
//    they are asked for, so a list of 100,000 cases opens without reading them all.
//  - TableDataSet: a whole table (or the rows of it that belong to a master row), editable.
//
// Errors raise AppError with the engine's text. A hook refuses by throwing Abort; the operation
// then stops and the data set keeps its state.

#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <functional>

class DataSet : public QObject {
    Q_OBJECT
public:
    enum State { Inactive, Browse, Edit, Insert };
    using Hook = std::function<void(DataSet &)>;

    explicit DataSet(const QString &connectionName, QObject *parent = nullptr);
    ~DataSet() override;

    QString connectionName() const { return m_connection; }

    // Opening and closing.
    void open();
    void close();
    void refresh(); // re-runs the statement; positioned on the first row
    bool isActive() const { return m_state != Inactive; }
    State state() const { return m_state; }
    bool isEditing() const { return m_state == Edit || m_state == Insert; }
    virtual bool isReadOnly() const = 0;

    // Rows and the current record.
    int recordCount() const; // rows, a row being inserted included
    bool isEmpty() const { return recordCount() == 0; }
    int recNo() const { return m_current; } // 0-based; -1 when empty or closed
    bool bof() const { return m_bof; }
    bool eof() const { return m_eof; }
    QStringList fieldNames() const { return m_fields; }
    int fieldIndex(const QString &field) const; // without regard to case; -1 when unknown
    bool hasField(const QString &field) const { return fieldIndex(field) >= 0; }

    // Navigation. Each first settles the details and this data set (checkBrowseMode).
    void first();
    void prior();
    void next();
    void last();
    int moveBy(int distance); // the distance actually moved
    void moveTo(int row);     // a grid's click
    // Moves to the first row whose field equals the value (partial: begins with the text).
    bool locate(const QString &field, const QVariant &value, bool partial = false);

    // Field values of the current record (the edit buffer while editing).
    QVariant value(const QString &field) const;
    QString asString(const QString &field) const;
    bool asBool(const QString &field) const;
    // How every Boolean column is read, whatever the engine hands back: an integer (non-zero is
    // true), a Boolean, or a text holding "true", "false" or an integer. Null is false.
    static bool toBool(const QVariant &v);
    QVariant valueAt(int row, const QString &field) const; // any row, for grids
    // The current record's value as saved, whatever is being edited; null for a new row.
    QVariant savedValue(const QString &field) const;
    void setValue(const QString &field, const QVariant &value); // needs edit or insert
    bool modified() const { return m_modified; }
    // Marks the record being edited as changed by values kept outside its columns (a window's
    // own fields saved together with the row), so that moving away saves it. Needs edit or insert.
    void setModified();

    // Changing rows.
    void edit();
    void insert(); // a new row before the current one
    void append(); // a new row at the end
    void post();
    void cancel();
    void remove();          // deletes the current row
    void checkBrowseMode(); // while editing: post when modified, else cancel

    // Hooks.
    void setOnNewRecord(Hook h) { m_onNewRecord = std::move(h); }
    void setBeforePost(Hook h) { m_beforePost = std::move(h); }
    void setBeforeDelete(Hook h) { m_beforeDelete = std::move(h); }
    // Runs before unsaved edits are discarded (cancel, or dropping an unchanged row); may refuse.
    void setBeforeCancel(Hook h) { m_beforeCancel = std::move(h); }

    // Master-detail: this data set shows the rows whose keyField equals the master's
    // current keyField. Moving the master settles this one first, then follows. A detail row
    // saved under a new master row makes that master row changed: moving away then saves it.
    void setMaster(DataSet *master, const QString &keyField);
    DataSet *master() const { return m_master; }

signals:
    void stateChanged();
    void recordChanged();                    // another current row, or its values replaced
    void fieldChanged(const QString &field); // a field of the current record was set
    void rowsReset();                        // the set of rows changed
    void rowUpdated(int row);                // one row's stored values changed
    void positionChanged();                  // after every move (BOF/EOF may change)

protected:
    // Implemented by the two kinds.
    virtual void doOpen() = 0; // fills m_fields and the row source
    virtual void doClose() = 0;
    virtual int storedCount() const = 0;
    virtual QVariantList storedRow(int row) const = 0;
    // Writes the row to the database and to the stored rows; values may be normalised.
    virtual void writeRow(bool inserting, QVariantList &values, int storageRow) = 0;
    virtual void deleteRow(int storageRow) = 0;
    // Takes back a row that writeRow added to the stored rows when the transaction it was
    // written in was rolled back afterwards.
    virtual void forgetRow(int storageRow) = 0;
    virtual void masterChanged() = 0; // re-reads for the master's new key

    QVariant masterKey() const;
    QString masterField() const { return m_masterField; }
    void setFields(const QStringList &f) { m_fields = f; }
    QSqlDatabase database() const;
    void resetAfterRead(); // first row, BOF, details follow, signals

private:
    void setState(State s);
    void settleDetails();
    void syncDetails(bool reread = false);
    // Writes the row being inserted, without settling the details (one of them is being saved
    // and needs this row first); returns the saved values.
    void writeInsertedRow();
    void startInsert(int row);
    void moveCurrent(int row);
    void requireActive() const;
    void requireWritable() const;
    int storageRow(int row) const;
    bool isInsertRow(int row) const { return m_state == Insert && row == m_insertRow; }

    QString m_connection;
    QStringList m_fields;
    State m_state = Inactive;
    int m_current = -1;
    bool m_bof = true;
    bool m_eof = true;
    bool m_modified = false;
    bool m_posting = false; // this detail is saving its master row first
    QVariantList m_buffer;
    int m_insertRow = -1;
    int m_rowBeforeInsert = -1;
    Hook m_onNewRecord, m_beforePost, m_beforeDelete, m_beforeCancel;
    QPointer<DataSet> m_master;
    QString m_masterField;
    QVariant m_openedKey;
    QVector<QPointer<DataSet>> m_details;
};

// The rows of one SELECT statement (Jet dialect), read only.
class QueryDataSet : public DataSet {
    Q_OBJECT
public:
    explicit QueryDataSet(const QString &connectionName, QObject *parent = nullptr);
    void setSql(const QString &jetSelect) { m_sql = jetSelect; }
    QString sql() const { return m_sql; }
    bool isReadOnly() const override { return true; }

protected:
    void doOpen() override;
    void doClose() override;
    int storedCount() const override { return m_count; }
    QVariantList storedRow(int row) const override;
    void writeRow(bool, QVariantList &, int) override;
    void deleteRow(int) override;
    void forgetRow(int) override {}
    void masterChanged() override;

private:
    void loadPage(int page) const;
    QString m_sql;
    QString m_translated;
    int m_count = 0;
    static constexpr int PageSize = 256;
    static constexpr int MaxPages = 32;
    mutable QHash<int, QVector<QVariantList>> m_pages;
    mutable QList<int> m_pageOrder; // least recently used first
};

// One table, whole or restricted to a master's rows; editable.
class TableDataSet : public DataSet {
    Q_OBJECT
public:
    TableDataSet(const QString &connectionName, const QString &table, QObject *parent = nullptr);
    QString tableName() const { return m_table; }
    // Columns stored as dates ("YYYY-MM-DD"): typed text is checked and normalised on save.
    void setDateFields(const QStringList &fields) { m_dateFields = fields; }
    void setOrderBy(const QString &field) { m_orderBy = field; }
    void setReadOnly(bool ro) { m_readOnly = ro; }
    bool isReadOnly() const override { return m_readOnly; }
    QVariant rowId(int row) const;
    // Checks and normalises a row's values as a save does (dates, Booleans); raises on a value
    // the table would refuse, before anything has been written.
    void checkRow(QVariantList &values) const;

protected:
    void doOpen() override;
    void doClose() override;
    int storedCount() const override { return m_rows.size(); }
    QVariantList storedRow(int row) const override { return m_rows.value(row); }
    void writeRow(bool inserting, QVariantList &values, int storageRow) override;
    void deleteRow(int storageRow) override;
    void forgetRow(int storageRow) override { m_rows.remove(storageRow); }
    void masterChanged() override;
    // Runs inside the transaction that writes the row, after the row and its audit event and
    // before the stored rows are updated: what is kept elsewhere about the row (values holds
    // its id) is saved with it, and a failure here undoes the row's write as well.
    virtual void rowWritten(bool inserting, const QVariantList &values);

private:
    void readRows();
    QString quotedName(const QString &name) const;
    QString m_table;
    QString m_orderBy;
    QStringList m_dateFields;
    bool m_readOnly = false;
    QVector<QVariantList> m_rows;
    int m_idColumn = -1;
    QVector<int> m_boolColumns; // columns the engine reports as Boolean
};
