#include "browser/Unit_Search.h"
#include "ui_Unit_Search.h"

#include "widgets/Guard.h"
#include "data/Statements.h"

#include <QStyle>

TfrmSearch::TfrmSearch(QWidget *owner) : FixedDialog(owner), m_ui(new Ui::TfrmSearch)
{
    m_ui->setupUi(this);
    fixDesign(QSize(269, 134));
    m_ui->BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    m_ui->BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    setInitialFocus(m_ui->CheckBox1);

    connectGuarded(m_ui->CheckBox1, &QCheckBox::toggled, this, [this](auto...) { CheckBox1Click(); });
    connect(m_ui->BitBtn1, &QPushButton::clicked, this, [this] { accept(); });
    connect(m_ui->BitBtn2, &QPushButton::clicked, this, [this] { reject(); });
}

TfrmSearch::~TfrmSearch() = default;

void TfrmSearch::CheckBox1Click()
{
    // Unchecking keeps the text; it is only ignored.
    m_ui->ed_No->setEnabled(m_ui->CheckBox1->isChecked());
}

void TfrmSearch::FormClose()
{
    m_where = Statements::searchClause(m_ui->CheckBox1->isChecked(), m_ui->ed_No->text());
}

void TfrmSearch::done(int result)
{
    // Every way of closing (OK, cancel, the close box) passes here.
    FormClose();
    FixedDialog::done(result);
}
