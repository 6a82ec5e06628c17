#pragma once
// The customer search dialog: a check box "客户编号" and the text to look for. Closing it, with
// any result, builds the WHERE clause that the main window runs against Surgery after OK.

#include "widgets/FixedDialog.h"

#include <memory>

namespace Ui {
class TfrmSearch;
}

class TfrmSearch : public FixedDialog {
    Q_OBJECT
public:
    explicit TfrmSearch(QWidget *owner);
    ~TfrmSearch() override;

    Ui::TfrmSearch *ui() const { return m_ui.get(); }
    // "" or "Where 客户编号 like '%...%'", as built when the dialog closed.
    QString whereClause() const { return m_where; }

    // Handlers.
    void CheckBox1Click();
    void FormClose();

    void done(int result) override;

private:
    std::unique_ptr<Ui::TfrmSearch> m_ui;
    QString m_where;
};
