#pragma once
// The records window: customers, each customer's surgery cases with their pictures, and the
// two-level category tree. Opened modally by the main window, with or without a starting
// customer, and destroyed after it closes.
//
// The case data set is the detail of the customer data set: whatever is done to the current
// customer (moving, finding, saving, cancelling, deleting, starting a new one) first saves the
// case being edited if it was changed, or drops it if not; a refused case save stops the
// customer operation (DataSet's settle rule). Closing asks about unsaved rows and stays open
// when a save fails.
//
// Handlers and operations are public so that tests can drive them as the controls do.

#include "consent/Consent.h"
#include "widgets/DBNavigator.h"
#include "widgets/FixedDialog.h"

#include <QStringList>
#include <memory>

class DataSet;
class QLineEdit;
class TableDataSet;
namespace PictureStore {
struct Added;
}

namespace Ui {
class Tfrm_Manager;
}

class Tfrm_Manager : public FixedDialog {
    Q_OBJECT
public:
    // Runs the opening steps; startCustomerNo (may be empty) picks the first customer whose
    // number begins with it.
    Tfrm_Manager(QWidget *owner, const QString &startCustomerNo);
    ~Tfrm_Manager() override;

    Ui::Tfrm_Manager *ui() const { return m_ui.get(); }

    TableDataSet *adt_UserInfo = nullptr;
    TableDataSet *adt_Surgery = nullptr;
    TableDataSet *adt_Class = nullptr;
    QString PicPath; // the picture store root, with a trailing "/"

    // ---- window and customers (Unit_Manager.cpp) ----
    void FormCreate(const QString &startCustomerNo);
    bool FormClose(); // true when the window may close; raises when a save failed
    void adt_UserInfoNewRecord(DataSet &ds);
    void adt_UserInfoBeforeDelete(DataSet &ds);
    void adt_UserInfoBeforeCancel(DataSet &ds);
    void BitBtn1Click();
    void BitBtn6Click();
    void FindByName(const QString &name);
    void FindByNumber(const QString &number);
    QString MakeCustomerNo();
    void DeleteCustomerCases(const QString &customerNo);
    // Enter moves the focus on as Tab does; returns true when the key was taken.
    bool DBEdit1KeyDown(QWidget *box, int key);

    // ---- cases and pictures (Unit_ManagerCases.cpp) ----
    void adt_SurgeryNewRecord(DataSet &ds);
    void adt_SurgeryBeforePost(DataSet &ds);
    // Brings a case's picked pictures into the store while its row is saved, after every check
    // that can refuse the row; rewrites the picture columns of values to the stored references.
    void ImportCasePictures(QVariantList &values, PictureStore::Added &added);
    void SpeedButton1Click(); // 手术前
    void SpeedButton3Click(); // 手术前1
    void SpeedButton4Click(); // 手术前2
    void SpeedButton2Click(); // 手术后
    void SpeedButton7Click(); // 手术后1
    void SpeedButton8Click(); // 手术后2
    void PickPicture(const QString &column);
    QString ChoosePictureFile();
    void DBEdit12DblClick(QLineEdit *box);
    void ShowPictureFile(const QString &fullPath);
    void cbox_StairChange();
    void DBNavigator2Click(DBNavigator::Btn button);
    void FillCaseMinorList(const QString &major);
    // 拍摄(&T)…: a photo of the current case into its first empty after slot (Unit_ManagerCapture.cpp).
    void TakePictureClick();

    // ---- consent of the current case (Unit_ManagerConsent.cpp) ----
    // Shows the current case's stored consent (a new case: record only), unless the user has
    // changed the boxes of the case being edited.
    void ShowCaseConsent();
    // Gives the photo of the box whose menu was opened an agreement of its own (none: its case's).
    void SetPhotoConsent(std::optional<Consent::Level> level);
    // A consent box was changed by the user: the case counts as changed, like its other fields.
    void ConsentEdited();
    Consent::Record EditedConsent() const;
    // Refuses the case save when the typed signing date is not a date.
    void CheckConsentBeforePost();
    // Saves the edited consent of a case row being written (values holds its id).
    void SaveCaseConsent(const QVariantList &values);
    // Gives all cases of the current customer one level, signed today, after asking.
    void SetAllConsent(Consent::Level level);
    // "2024-03-15" (also with / or . and without leading zeros); empty text is no date, ok true.
    static QDate parseConsentDate(const QString &text, bool *ok);

    // ---- categories (Unit_ManagerCategories.cpp) ----
    void FillMajorLists();
    void FillDeleteMinorList(const QString &major);
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn5Click();
    void dbcombox_typeChange();
    void AddMajorCategory(const QString &name);
    void AddMinorCategory(const QString &major, const QString &name);
    void DeleteCategory(const QString &name);

    // The picture columns of a case, in the order they are imported.
    static const QStringList &pictureColumns();
    // The open-file dialog's filter.
    static QString pictureFilter();

public slots:
    // Every way of closing (the exit button, the close box, reject) runs FormClose first.
    void done(int result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setupLook();
    void setupNavigators();
    void bindControls();
    void connectHandlers();
    void connectCaseHandlers();
    void setupCapture();
    void connectCategoryHandlers();
    void setupConsent();
    void showConsent(const Consent::Record &record);
    void reportPicturesNotStored();
    void showBoundValue(class QComboBox *combo, const QString &field);
    QList<QWidget *> enterKeyBoxes() const;
    QList<QLineEdit *> pictureBoxes() const;

    class CaseTable;
    std::unique_ptr<Ui::Tfrm_Manager> m_ui;
    QString m_photoColumn;        // the picture box whose consent menu was opened last
    CaseTable *m_cases = nullptr; // adt_Surgery
    QStringList m_notStored;      // pictures the last case save could not bring into the store
    bool m_reportNotStored = false;
    bool m_consentEdited = false; // the consent boxes hold unsaved changes of the current case
};
