#pragma once
// The backup and restore windows of the 选项 menu, and the reminder at start.
//
// Settings (section Backup of the settings file):
//   Folder  the folder last backed up to (a USB disk, a NAS mount); Belcara备份/ goes inside it
//   Keep    how many backups of this installation are kept there (default 10)
//   Days    the reminder's limit: administrators are told at start when the last complete
//           backup is older (default 7; 0 never reminds)

#include "backup/Backup.h"
#include "widgets/FixedDialog.h"

#include <atomic>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace Ui {
class BackupWindow;
}

class BackupWindow : public FixedDialog {
    Q_OBJECT
public:
    enum Mode { MakeBackup, RestoreBackup };
    BackupWindow(QWidget *owner, Mode mode);
    ~BackupWindow() override;

    bool working() const { return m_working; }
    // After a restore the program must start again on the restored records.
    bool restored() const { return m_restored; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void fillBackups();
    void targetChanged();
    QByteArray password() const;
    void wrongPassword();
    void startClick();
    void cancelClick();
    void showProgress(const Backup::Progress &p);
    void runBackup();
    void runRestore();
    void finished(const QString &result);
    Backup::ProgressFn progressFn();

    std::unique_ptr<Ui::BackupWindow> m_ui;
    Mode m_mode;
    QComboBox *m_target = nullptr;
    QLineEdit *m_password = nullptr;
    QLineEdit *m_again = nullptr; // a new location's password, typed again
    QLabel *m_againLabel = nullptr;
    QLabel *m_warning = nullptr;
    QCheckBox *m_remember = nullptr;
    QLineEdit *m_customer = nullptr;
    QSpinBox *m_keep = nullptr;
    QListWidget *m_list = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_cancel = nullptr;
    std::atomic_bool m_cancelRequested{false};
    bool m_working = false;
    bool m_restored = false;
    bool m_wrongPassword = false;
    bool m_oneCustomer = false;
    Backup::Made m_made;
    Backup::Restored m_restoreResult;
};

namespace BackupUi {

// Adds "备份数据(&B)…" and "恢复数据(&R)…" to the menu, enabled as adminOnly is (the
// administrators' commands). A finished restore ends the program.
void addMenuEntries(QMenu *menu, QWidget *owner, QAction *adminOnly);

// The notice at start for administrators: when the last complete backup is older than the
// set number of days, which date and where. Shown once; nothing when there is nothing to say.
void remindAtStart(QWidget *owner, bool administrator);

// The reminder's text, empty when none is due (now: the time to compare with).
QString reminderText(const Backup::LastBackup &last, int days, const QString &folder, const QDateTime &now);

} // namespace BackupUi
