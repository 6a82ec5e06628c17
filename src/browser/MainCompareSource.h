#pragma once
// The main window as a source of cases to compare: its case list, the current customer's other
// cases, and stepping through the list.

#include "compare/CompareCases.h"

class TfrmMain;

class MainWindowCompareSource : public CompareSource {
public:
    explicit MainWindowCompareSource(TfrmMain *window) : m_window(window) {}
    CompareCase currentCase() const override;
    QVector<CompareCase> otherCases() const override;
    bool step(int delta) override;
    QSqlDatabase database() const override;
    QString programFolder() const override;

private:
    TfrmMain *m_window;
};
