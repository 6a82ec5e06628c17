// The category panel of the records window: adding major and minor categories, deleting any
// category by name, and the major-category lists it shares with the case panel.
#include "records/Unit_Manager.h"
#include "ui_Unit_Manager.h"

#include "data/DataSet.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"
#include "data/Operations.h"
#include "data/Unit_DataMod.h"

#include <QComboBox>

namespace {

void notice(QWidget *owner, const QString &text)
{
    Prompter::instance().messageBox(owner, text, QStringLiteral("提示"), Prompt::Ok, Prompt::NoIcon, Prompt::Ok);
}

void fill(QComboBox *combo, const QStringList &items)
{
    const QSignalBlocker block(combo);
    combo->clear();
    combo->addItems(items);
    combo->setCurrentIndex(-1);
}

} // namespace

void Tfrm_Manager::connectCategoryHandlers()
{
    connectGuarded(m_ui->BitBtn2, &QPushButton::clicked, this, [this](auto...) { BitBtn2Click(); });
    connectGuarded(m_ui->BitBtn3, &QPushButton::clicked, this, [this](auto...) { BitBtn3Click(); });
    connectGuarded(m_ui->BitBtn4, &QPushButton::clicked, this, [this](auto...) { BitBtn4Click(); });
    connectGuarded(m_ui->BitBtn5, &QPushButton::clicked, this, [this](auto...) { BitBtn5Click(); });
    connectGuarded(m_ui->dbcombox_type, &QComboBox::activated, this, [this](auto...) { dbcombox_typeChange(); });
}

void Tfrm_Manager::FillMajorLists()
{
    const QStringList majors = Operations::majorCategories(*DataMod);
    fill(m_ui->combox, majors);
    fill(m_ui->dbcombox_type, majors);
    // The case panel's list is bound, yet a refill leaves it without a selection too, until the
    // case shown changes; the case's major stays in the row.
    fill(m_ui->cbox_Stair, majors);
}

void Tfrm_Manager::FillDeleteMinorList(const QString &major)
{
    const QStringList minors = Operations::minorCategories(*DataMod, major);
    fill(m_ui->dbcombox_SubType, minors);
    m_ui->dbcombox_SubType->setEnabled(!minors.isEmpty());
}

void Tfrm_Manager::dbcombox_typeChange()
{
    if (m_ui->dbcombox_type->currentIndex() >= 0)
        FillDeleteMinorList(m_ui->dbcombox_type->currentText());
}

// ---- adding ---------------------------------------------------------------------------------

void Tfrm_Manager::BitBtn2Click()
{
    const QString name = m_ui->ed_Type->text();
    if (name.isEmpty()) {
        notice(this, QStringLiteral("请填写类别名称"));
        return;
    }
    AddMajorCategory(name);
    FillMajorLists();
    notice(this, QStringLiteral("新增类别成功"));
    m_ui->ed_Type->clear();
}

void Tfrm_Manager::BitBtn3Click()
{
    if (m_ui->combox->currentIndex() < 0) {
        notice(this, QStringLiteral("请选择大类名称"));
        return;
    }
    const QString name = m_ui->Ed_SubType->text();
    if (name.isEmpty()) {
        notice(this, QStringLiteral("请填写类别名称"));
        return;
    }
    AddMinorCategory(m_ui->combox->currentText(), name);
    notice(this, QStringLiteral("新增类别成功"));
    m_ui->Ed_SubType->clear();
}

void Tfrm_Manager::AddMajorCategory(const QString &name)
{
    // 父类别 of a major is the empty string, never null.
    AddMinorCategory(QString::fromLatin1("", 0), name);
}

void Tfrm_Manager::AddMinorCategory(const QString &major, const QString &name)
{
    adt_Class->append();
    try {
        adt_Class->setValue(QStringLiteral("父类别"), major.isNull() ? QString::fromLatin1("", 0) : major);
        adt_Class->setValue(QStringLiteral("类别名称"), name);
        adt_Class->post();
    } catch (...) {
        // A row the database refused is not left pending, to be sent again by the next append.
        adt_Class->cancel();
        throw;
    }
}

// ---- deleting -------------------------------------------------------------------------------

void Tfrm_Manager::BitBtn4Click()
{
    if (m_ui->dbcombox_type->currentIndex() >= 0)
        DeleteCategory(m_ui->dbcombox_type->currentText());
}

void Tfrm_Manager::BitBtn5Click()
{
    if (m_ui->dbcombox_SubType->currentIndex() >= 0)
        DeleteCategory(m_ui->dbcombox_SubType->currentText());
}

void Tfrm_Manager::DeleteCategory(const QString &name)
{
    if (name.isEmpty()) {
        notice(this, QStringLiteral("请输入类别名称"));
        return;
    }
    if (Prompter::instance().messageBox(this, QStringLiteral("确认删除吗？"), QStringLiteral("提示"),
                                        Prompt::Ok | Prompt::Cancel, Prompt::NoIcon, Prompt::Ok)
        != Prompt::Ok)
        return;
    Operations::deleteCategory(*DataMod, name);
    FillMajorLists();
}
