#pragma once
// The main window: the case browser. A filter panel and the case list on the left and top, the
// before/after pictures on the right, the menu and command bars from which every other window
// is opened. It lives for the whole run; closing it ends the program.

#include <QPointer>
#include <QWidget>
#include <memory>

class DataSet;
class DataSetActions;
class QAction;
class QMenu;
class QueryDataSet;
class TableDataSet;
class QImage;
class QResizeEvent;
class QFrame;
class TPanelImage;
class PicturePanelController;

namespace Ui {
class TfrmMain;
}

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    // Creating the window runs FormCreate (the optional login, the lists and tables).
    explicit TfrmMain(const QString &programFolder, QWidget *parent = nullptr);
    ~TfrmMain() override;
    // True when the login asked at creation was cancelled: the program then ends at once.
    bool loginCancelled() const { return m_loginCancelled; }

    Ui::TfrmMain *ui() const { return m_ui.get(); }
    QString programFolder() const { return m_folder; }

    // Handlers.
    void FormCreate();
    bool FormClose(); // true when the window may close
    void FormResize();
    void ac_CloseExecute();
    void ac_ManagerExecute();
    void DBGrid2DblClick();
    void ac_SearchExecute();
    void ac_SetNoExecute();
    void UserManagerNClick();
    void AuditNClick(); // the audit log viewer, for administrators
    void ac_AboutExecute();
    void ac_OpenTypeExecute();
    void cbox_StairChange();
    void bbtn_ShowClick();
    void BitBtn1Click();
    void DBEdit5Change();

    // Case list operations.
    void LoadCategories();
    void LoadSubCategories(const QString &parent);
    void ApplyFilter();
    void ApplySearch(const QString &where);
    void RefreshData();

    // Settings through this window, with the states it remembers.
    bool ReadOpenSetting() const;
    void WriteOpenSetting(bool open);
    QString ReadHospitalNo() const;
    void SaveHospitalNo(const QString &number);

    // Pictures (Unit_MainPictures.cpp).
    void dsQ_SurgeryDataChange();
    void ds_SurgeryDataChange();
    void ShowPictures(QFrame *host, const QString &p0, const QString &p1, const QString &p2);
    void ArrangePictures(QFrame *host);
    void PlPicSpaceResize();
    void Pl_BeforeResize();
    void Pl_AfterResize();
    bool Splitter1CanResize(int newBeforeWidth);

    // Data sets and actions.
    QueryDataSet *adq_Surgery = nullptr;
    TableDataSet *adt_Userinfo = nullptr;
    TableDataSet *adt_Surgery = nullptr;
    DataSetActions *dataSetActions = nullptr;
    QAction *DataSetFirst1 = nullptr, *DataSetPrior1 = nullptr, *DataSetNext1 = nullptr, *DataSetLast1 = nullptr,
            *ac_Search = nullptr, *ac_Manager = nullptr, *ac_Close = nullptr, *ac_About = nullptr, *ac_SetNo = nullptr,
            *ac_OpenType = nullptr;
    QAction *N2 = nullptr, *N3 = nullptr, *F1 = nullptr, *P1 = nullptr, *N1 = nullptr, *L1 = nullptr, *N9 = nullptr,
            *N10 = nullptr, *SetNoN = nullptr, *UserManagerN = nullptr, *AuditN = nullptr, *N4 = nullptr, *N7 = nullptr;
    QMenu *menuFile = nullptr, *menuView = nullptr, *menuOptions = nullptr, *menuHelp = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildActions();
    void buildMenus();
    void bindData();
    void setCount(int n);
    void openListWith(const QString &statement);
    void setupPictures();
    // The features' commands (Unit_MainFeatures.cpp).
    void buildCompareCommands();
    void buildConsultCommands();
    void buildSheetCommands();

    std::unique_ptr<Ui::TfrmMain> m_ui;
    QString m_folder;
    QString m_lastHospitalNo; // the last number written in this run
    bool m_lastOpen = false;  // the last Open state read or written
    bool m_loginCancelled = false;
    PicturePanelController *m_pictures = nullptr;
};

// The eight 16 x 16 pictures of the command bar, drawn here.
QIcon mainImage(int index);
