#pragma once
// The window "操作记录": the audit log for administrators, newest first, filtered by a date
// range, a user, an action and a customer number, a page at a time, and exported as CSV.

#include "data/AuditQuery.h"
#include "widgets/FixedDialog.h"

#include <QVector>
#include <memory>

namespace Ui {
class AuditViewer;
}

class AuditViewer : public FixedDialog {
    Q_OBJECT
public:
    static constexpr int PageSize = 100;

    AuditViewer(QWidget *owner, const QString &connectionName);
    ~AuditViewer() override;

    Ui::AuditViewer *ui() const { return m_ui.get(); }
    int pageNumber() const { return m_starts.size(); } // 1 for the first page
    const QVector<AuditQuery::Event> &shown() const { return m_events; }

    // Handlers.
    void bbtn_FilterClick();
    void bbtn_PriorClick();
    void bbtn_NextClick();
    void bbtn_ExportClick();
    // Checks the whole chain of events and the head kept outside; shows the short answer in
    // lb_Chain and, when asked by the button, the full one.
    void bbtn_VerifyClick();
    void CheckChain(bool tell);

private:
    // The filter the controls describe; false (after telling the user) when it cannot be used.
    bool readFilter(AuditQuery::Filter &filter);
    void showPage();
    void updateButtons();

    std::unique_ptr<Ui::AuditViewer> m_ui;
    QString m_connection;
    AuditQuery::Filter m_filter;
    // Where each page shown so far began: nothing for the first, else the last event before it.
    QVector<std::shared_ptr<AuditQuery::Event>> m_starts;
    QVector<AuditQuery::Event> m_events;
    bool m_more = false;
};
