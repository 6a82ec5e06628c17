// The case panel of the records window: new cases, picking pictures, the save that brings the
// picked pictures into the store, the minor-category list and the picture viewer.
#include "records/Unit_Manager.h"
#include "ui_Unit_Manager.h"

#include "data/AppError.h"
#include "data/DataSet.h"
#include "widgets/Guard.h"
#include "pictures/PictureLoader.h"
#include "data/PictureStore.h"
#include "widgets/Prompter.h"
#include "data/Operations.h"
#include "data/Unit_DataMod.h"
#include "widgets/Unit_ShowLarImage.h"

#include <QComboBox>
#include <QDir>

const QStringList &Tfrm_Manager::pictureColumns()
{
    static const QStringList columns{QStringLiteral("手术前"), QStringLiteral("手术前1"), QStringLiteral("手术前2"),
                                     QStringLiteral("手术后"), QStringLiteral("手术后1"), QStringLiteral("手术后2")};
    return columns;
}

QString Tfrm_Manager::pictureFilter()
{
    return QStringLiteral("支持图片文件|*.JPG;*.JPGE;*.BMP;*.ICO;*.WMF|JPEG文件|*.JPGE|BMP文件|*.BMP|"
                          "ICO文件|*.ICO|WMF文件|*.WMF|JPG文件|*.JPG");
}

void Tfrm_Manager::connectCaseHandlers()
{
    // The minor list always belongs to the major of the case shown: after every move, whether
    // by the case navigator, a customer change or a find, and after the rows were read again.
    auto followCase = [this] {
        if (adt_Surgery->isActive() && !adt_Surgery->isEditing())
            guarded(this, [this] { FillCaseMinorList(adt_Surgery->asString(QStringLiteral("手术大类"))); });
    };
    connect(adt_Surgery, &DataSet::recordChanged, this, followCase);
    connect(adt_Surgery, &DataSet::rowsReset, this, followCase);
    connectGuarded(m_ui->SpeedButton1, &QToolButton::clicked, this, [this](auto...) { SpeedButton1Click(); });
    connectGuarded(m_ui->SpeedButton3, &QToolButton::clicked, this, [this](auto...) { SpeedButton3Click(); });
    connectGuarded(m_ui->SpeedButton4, &QToolButton::clicked, this, [this](auto...) { SpeedButton4Click(); });
    connectGuarded(m_ui->SpeedButton2, &QToolButton::clicked, this, [this](auto...) { SpeedButton2Click(); });
    connectGuarded(m_ui->SpeedButton7, &QToolButton::clicked, this, [this](auto...) { SpeedButton7Click(); });
    connectGuarded(m_ui->SpeedButton8, &QToolButton::clicked, this, [this](auto...) { SpeedButton8Click(); });
    // Connected after the binding, which has stored the chosen major by then.
    connectGuarded(m_ui->cbox_Stair, &QComboBox::activated, this, [this](auto...) { cbox_StairChange(); });
    connectGuarded(m_ui->DBNavigator2, &DBNavigator::clicked, this,
                   [this](DBNavigator::Btn b) { DBNavigator2Click(b); });
    setupCapture();
}

// ---- new case and save ----------------------------------------------------------------------

void Tfrm_Manager::adt_SurgeryNewRecord(DataSet &)
{
    if (adt_UserInfo->isEmpty()) {
        Prompter::instance().messageBox(this, QStringLiteral("请先增加客户"), QStringLiteral("提示"), Prompt::Ok,
                                        Prompt::NoIcon, Prompt::Ok);
        throw Abort();
    }
    // 客户编号 has been set to the current customer's number by the master-detail link.
}

void Tfrm_Manager::adt_SurgeryBeforePost(DataSet &ds)
{
    m_notStored.clear();
    m_reportNotStored = false;
    if (ds.asString(QStringLiteral("手术大类")).isEmpty()) {
        Prompter::instance().showMessage(this, QStringLiteral("请选择手术大类！"));
        throw Abort();
    }
    CheckConsentBeforePost();
    // The pictures are brought into the store by the write itself (ImportCasePictures), once the
    // rest of the row has been checked: a refused save copies nothing.
}

void Tfrm_Manager::ImportCasePictures(QVariantList &values, PictureStore::Added &added)
{
    // The case's own customer number is that of the customer who owns it: the case is always
    // settled before its customer's number can change or another customer is shown.
    QString owner = values.value(adt_Surgery->fieldIndex(QStringLiteral("客户编号"))).toString();
    if (owner.isEmpty())
        owner = adt_UserInfo->asString(QStringLiteral("客户编号"));
    for (const QString &column : pictureColumns()) {
        const int i = adt_Surgery->fieldIndex(column);
        const QString value = values.value(i).toString();
        if (i < 0 || !PictureStore::isPictureFile(value))
            continue;
        QString whyNot;
        const QString stored = PictureStore::ImportPicture(PicPath, value, owner, &whyNot, {}, &added);
        if (!stored.isEmpty())
            values[i] = stored;
        else
            m_notStored << column + QStringLiteral("：") + whyNot;
    }
}

void Tfrm_Manager::reportPicturesNotStored()
{
    if (!m_reportNotStored || adt_Surgery->isEditing())
        return;
    m_reportNotStored = false;
    const QStringList lines = m_notStored;
    m_notStored.clear();
    Prompter::instance().messageBox(this,
                                    QStringLiteral(
                                        "案例已保存，但以下图片未能存入图片库，案例中保留了所选文件的原路径：\n")
                                        + lines.join(QLatin1Char('\n')),
                                    QStringLiteral("提示"), Prompt::Ok, Prompt::Warning, Prompt::Ok);
}

// ---- pictures -------------------------------------------------------------------------------

void Tfrm_Manager::SpeedButton1Click()
{
    PickPicture(pictureColumns().at(0));
}
void Tfrm_Manager::SpeedButton3Click()
{
    PickPicture(pictureColumns().at(1));
}
void Tfrm_Manager::SpeedButton4Click()
{
    PickPicture(pictureColumns().at(2));
}
void Tfrm_Manager::SpeedButton2Click()
{
    PickPicture(pictureColumns().at(3));
}
void Tfrm_Manager::SpeedButton7Click()
{
    PickPicture(pictureColumns().at(4));
}
void Tfrm_Manager::SpeedButton8Click()
{
    PickPicture(pictureColumns().at(5));
}

void Tfrm_Manager::PickPicture(const QString &column)
{
    const QString path = ChoosePictureFile();
    if (path.isEmpty())
        return;
    // A file the loader cannot read is refused now, with the loader's own words, rather than
    // stored and failing later at every refresh (in front of customers).
    try {
        PictureLoader::loadPreview(path, QSize(64, 64));
    } catch (const AppError &e) {
        Prompter::instance().showError(this, QStringLiteral("这个文件不能作为图片使用，没有选用：\n%1\n%2")
                                                 .arg(QDir::toNativeSeparators(path), e.text()));
        return;
    }
    // Starts a new case when the customer has none (with the new-case check).
    if (!adt_Surgery->isEditing())
        adt_Surgery->edit();
    adt_Surgery->setValue(column, path);
}

QString Tfrm_Manager::ChoosePictureFile()
{
    return Prompter::instance().openFile(this, pictureFilter(), 0);
}

void Tfrm_Manager::DBEdit12DblClick(QLineEdit *box)
{
    ShowPictureFile(PictureStore::referenceToPath(DataMod->programFolder(), box->text()));
}

void Tfrm_Manager::ShowPictureFile(const QString &fullPath)
{
    if (!PictureStore::isPictureFile(fullPath))
        return;
    TfrmLarImage window(PictureLoader::loadPicture(fullPath));
    Prompter::instance().execModal(&window);
}

// ---- minor categories -----------------------------------------------------------------------

void Tfrm_Manager::cbox_StairChange()
{
    if (m_ui->cbox_Stair->currentIndex() >= 0)
        FillCaseMinorList(m_ui->cbox_Stair->currentText());
}

void Tfrm_Manager::DBNavigator2Click(DBNavigator::Btn button)
{
    if (button != DBNavigator::Prior && button != DBNavigator::Next)
        return;
    if (m_ui->cbox_Stair->currentIndex() >= 0)
        FillCaseMinorList(m_ui->cbox_Stair->currentText());
}

void Tfrm_Manager::FillCaseMinorList(const QString &major)
{
    QComboBox *sub = m_ui->cbox_Sub;
    sub->clear();
    const QStringList minors = Operations::minorCategories(*DataMod, major);
    sub->setEnabled(!minors.isEmpty());
    {
        const QSignalBlocker block(sub);
        sub->addItems(minors);
    }
    // A bound list keeps showing the case's value when it is among the new items.
    showBoundValue(sub, QStringLiteral("手术小类"));
}

void Tfrm_Manager::showBoundValue(QComboBox *combo, const QString &field)
{
    const QSignalBlocker block(combo);
    const QString value = adt_Surgery->isActive() ? adt_Surgery->asString(field) : QString();
    combo->setCurrentIndex(value.isNull() ? -1 : combo->findText(value, Qt::MatchExactly));
}
