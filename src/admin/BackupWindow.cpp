#include "admin/BackupWindow.h"

#include "audit/AuditLog.h"
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFutureWatcher>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSqlDatabase>
#include <QStorageInfo>
#include <QtConcurrent/QtConcurrentRun>

namespace {

const QString Section = QStringLiteral("Backup");

QString setting(const char *key, const QString &fallback)
{
    return Settings::readString(Section, QLatin1String(key), fallback).trimmed();
}

// The folders a backup may go to: the one used last, then the mounted removable disks and shares.
QStringList likelyTargets()
{
    QStringList out;
    const QString last = setting("Folder", QString());
    if (!last.isEmpty())
        out << last;
    for (const QStorageInfo &v : QStorageInfo::mountedVolumes()) {
        const QString root = v.rootPath();
        if ((root.startsWith(QLatin1String("/media/")) || root.startsWith(QLatin1String("/run/media/"))
             || root.startsWith(QLatin1String("/mnt/")))
            && v.isValid() && v.isReady() && !v.isReadOnly() && !out.contains(root))
            out << root;
    }
    return out;
}

Backup::Source programSource()
{
    Backup::Source s;
    s.programFolder = DataMod->programFolder();
    const DbEngine::Choice c = DbEngine::choose();
    if (c.engine == DbEngine::Engine::PostgreSQL) {
        s.server = true;
        s.conninfo = DbEngine::conninfo(c.server);
    }
    return s;
}

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

} // namespace

BackupWindow::BackupWindow(QWidget *owner, Mode mode) : FixedDialog(owner), m_mode(mode)
{
    setObjectName(mode == MakeBackup ? QStringLiteral("BackupWindow") : QStringLiteral("RestoreWindow"));
    setWindowTitle(mode == MakeBackup ? QStringLiteral("备份数据") : QStringLiteral("恢复数据"));
    auto *grid = new QGridLayout(this);
    auto *targetLabel = new QLabel(mode == MakeBackup ? QStringLiteral("备份到(&F)：")
                                                      : QStringLiteral("备份所在(&F)："),
                                   this);
    m_target = new QComboBox(this);
    m_target->setObjectName(QStringLiteral("Target"));
    m_target->setEditable(true);
    m_target->addItems(likelyTargets());
    m_target->setMinimumWidth(360);
    targetLabel->setBuddy(m_target);
    grid->addWidget(targetLabel, 0, 0);
    grid->addWidget(m_target, 0, 1);
    int row = 1;
    if (mode == MakeBackup) {
        auto *keepLabel = new QLabel(QStringLiteral("保留最近(&K)："), this);
        m_keep = new QSpinBox(this);
        m_keep->setObjectName(QStringLiteral("Keep"));
        m_keep->setRange(1, 999);
        m_keep->setSuffix(QStringLiteral(" 份"));
        m_keep->setValue(qBound(1, setting("Keep", QStringLiteral("10")).toInt(), 999));
        keepLabel->setBuddy(m_keep);
        grid->addWidget(keepLabel, row, 0);
        grid->addWidget(m_keep, row++, 1, Qt::AlignLeft);
    } else {
        auto *listLabel = new QLabel(QStringLiteral("选择备份(&L)："), this);
        m_list = new QListWidget(this);
        m_list->setObjectName(QStringLiteral("Backups"));
        m_list->setMinimumHeight(140);
        listLabel->setBuddy(m_list);
        grid->addWidget(listLabel, row, 0, Qt::AlignTop);
        grid->addWidget(m_list, row++, 1);
        connect(m_target, &QComboBox::currentTextChanged, this, [this] { fillBackups(); });
    }
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 1000);
    m_bar->setValue(0);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("Status"));
    grid->addWidget(m_bar, row++, 0, 1, 2);
    grid->addWidget(m_status, row++, 0, 1, 2);
    auto *buttons = new QHBoxLayout;
    m_start = new QPushButton(mode == MakeBackup ? QStringLiteral("开始备份(&S)") : QStringLiteral("开始恢复(&S)"),
                              this);
    m_start->setObjectName(QStringLiteral("Start"));
    m_cancel = new QPushButton(QStringLiteral("取消(&C)"), this);
    m_cancel->setObjectName(QStringLiteral("Cancel"));
    buttons->addStretch();
    buttons->addWidget(m_start);
    buttons->addWidget(m_cancel);
    grid->addLayout(buttons, row, 0, 1, 2);
    connectGuarded(m_start, &QPushButton::clicked, this, [this](auto...) { startClick(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { cancelClick(); });
    if (m_list)
        fillBackups();
    fixDesign(sizeHint().expandedTo(QSize(480, 0)));
    setInitialFocus(m_target);
}

void BackupWindow::fillBackups()
{
    m_list->clear();
    const QString target = m_target->currentText().trimmed();
    if (target.isEmpty())
        return;
    QStringList backups = Backup::completeBackups(target);
    std::reverse(backups.begin(), backups.end());
    for (const QString &folder : backups) {
        const QString name = QFileInfo(folder).fileName();
        const QDateTime made = QDateTime::fromString(name.left(15), QStringLiteral("yyyyMMdd-HHmmss"));
        auto *item = new QListWidgetItem(made.isValid() ? made.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : name,
                                         m_list);
        item->setData(Qt::UserRole, folder);
    }
    if (m_list->count() > 0)
        m_list->setCurrentRow(0);
}

Backup::ProgressFn BackupWindow::progressFn()
{
    return [this](const Backup::Progress &p) {
        QMetaObject::invokeMethod(
            this, [this, p] { showProgress(p); }, Qt::QueuedConnection);
        return !m_cancelRequested.load();
    };
}

void BackupWindow::showProgress(const Backup::Progress &p)
{
    m_bar->setValue(p.bytesTotal > 0 ? int(p.bytesDone * 1000 / p.bytesTotal) : 0);
    m_status->setText(QStringLiteral("%1：%2/%3 个文件，%4/%5 MB")
                          .arg(p.stage)
                          .arg(p.filesDone)
                          .arg(p.filesTotal)
                          .arg(megabytes(p.bytesDone), megabytes(p.bytesTotal)));
}

void BackupWindow::startClick()
{
    if (m_working)
        return;
    const QString target = m_target->currentText().trimmed();
    if (m_mode == MakeBackup) {
        if (target.isEmpty() || !QFileInfo(target).isDir()) {
            Prompter::instance().showMessage(this,
                                             QStringLiteral("请选择一个存在的文件夹作为备份位置（例如插入的U盘）。"));
            m_target->setFocus();
            return;
        }
        runBackup();
        return;
    }
    if (!m_list->currentItem()) {
        Prompter::instance().showMessage(this, QStringLiteral("这个位置没有完整的备份。"));
        m_target->setFocus();
        return;
    }
    const QString text = QStringLiteral(
                             "要用 %1 的备份替换现在的全部资料和图片吗？\n\n现在的数据库和图片不会删除，"
                             "会移到一旁保留。恢复前请关闭其他电脑上的本程序；恢复完成后本程序会退出，请重新启动。")
                             .arg(m_list->currentItem()->text());
    if (Prompter::instance().messageBox(this, text, windowTitle(), Prompt::Yes | Prompt::No, Prompt::Question,
                                        Prompt::No)
        != Prompt::Yes)
        return;
    runRestore();
}

void BackupWindow::runBackup()
{
    const QString target = m_target->currentText().trimmed();
    const int keep = m_keep->value();
    m_working = true;
    m_cancelRequested = false;
    m_start->setEnabled(false);
    m_target->setEnabled(false);
    m_keep->setEnabled(false);
    const Backup::Source source = programSource();
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher, target, keep] {
        const QString result = watcher->result();
        watcher->deleteLater();
        if (result.isEmpty()) {
            Settings::writeString(Section, QStringLiteral("Folder"), target);
            Settings::writeString(Section, QStringLiteral("Keep"), QString::number(keep));
            AuditLog::Event e;
            e.action = AuditLog::Action::BackupMade;
            e.detail = m_made.folder;
            try {
                AuditLog::recordWith(QSqlDatabase::database(DataMod->ADOConn, false), e, [] {});
            } catch (const AppError &) {
                // Records this user may only read keep no event; the backup is good all the same.
            }
        }
        finished(result == QLatin1String("\x01") ? QString() : result, result == QLatin1String("\x01"));
    });
    watcher->setFuture(QtConcurrent::run([this, source, target, keep]() -> QString {
        try {
            m_made = Backup::make(source, target, keep, progressFn());
            return QString();
        } catch (const AppError &e) {
            return e.text();
        } catch (const Backup::Cancelled &) {
            return QStringLiteral("\x01");
        }
    }));
}

void BackupWindow::runRestore()
{
    const QString folder = m_list->currentItem()->data(Qt::UserRole).toString();
    m_working = true;
    m_cancelRequested = false;
    m_start->setEnabled(false);
    m_target->setEnabled(false);
    m_list->setEnabled(false);
    const Backup::Source source = programSource();
    // This program lets go of the database while the restore works.
    QSqlDatabase::database(DataMod->ADOConn, false).close();
    Backup::programLock().release();
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher] {
        const QString result = watcher->result();
        watcher->deleteLater();
        if (!result.isEmpty()) {
            // Nothing was replaced: this program goes on with the records it had.
            guarded(this, [] {
                DataMod->OpenDatabase();
                if (!DataMod->connectionString().startsWith(QLatin1String("Provider=")))
                    return;
                Backup::programLock().holdShared(DataMod->databasePath());
            });
        } else {
            m_restored = true;
        }
        finished(result == QLatin1String("\x01") ? QString() : result, result == QLatin1String("\x01"));
    });
    watcher->setFuture(QtConcurrent::run([this, source, folder]() -> QString {
        try {
            m_restoreResult = Backup::restore(source, folder, progressFn());
            return QString();
        } catch (const AppError &e) {
            return e.text();
        } catch (const Backup::Cancelled &) {
            return QStringLiteral("\x01");
        }
    }));
}

void BackupWindow::finished(const QString &error, bool cancelled)
{
    m_working = false;
    m_start->setEnabled(true);
    m_target->setEnabled(true);
    if (m_keep)
        m_keep->setEnabled(true);
    if (m_list)
        m_list->setEnabled(true);
    Prompter &p = Prompter::instance();
    if (cancelled) {
        p.showMessage(this, m_mode == MakeBackup ? QStringLiteral(
                                "备份已取消。未完成的备份不会被当作备份，下次备份时会清除；以前的备份没有改动。")
                                                 : QStringLiteral("恢复已取消，现在的资料和图片没有改动。"));
        return;
    }
    if (!error.isEmpty()) {
        p.showError(this, (m_mode == MakeBackup ? QStringLiteral("备份没有完成：") : QStringLiteral("恢复没有完成："))
                              + error);
        return;
    }
    if (m_mode == MakeBackup) {
        QString text = QStringLiteral("备份完成：%1\n共 %2 个文件，%3 MB；本次复制了 %4 个新的或改动的文件。")
                           .arg(QDir::toNativeSeparators(m_made.folder))
                           .arg(m_made.files)
                           .arg(megabytes(m_made.bytes))
                           .arg(m_made.copiedFiles);
        if (!m_made.removed.isEmpty())
            text += QStringLiteral("\n按设置删除了 %1 个较早的备份。").arg(m_made.removed.size());
        p.showMessage(this, text);
        accept();
        return;
    }
    p.showMessage(this, QStringLiteral(
                            "恢复完成，资料的行数和每张图片都已核对。\n原来的数据库移到了：%1\n原来的图片移到了：%2\n"
                            "程序现在退出，请重新启动。")
                            .arg(m_restoreResult.databaseAside, m_restoreResult.picturesAside));
    accept();
}

void BackupWindow::cancelClick()
{
    if (m_working) {
        m_cancelRequested = true;
        m_status->setText(QStringLiteral("正在取消……"));
        return;
    }
    reject();
}

void BackupWindow::closeEvent(QCloseEvent *event)
{
    if (m_working) {
        m_cancelRequested = true;
        event->ignore();
        return;
    }
    FixedDialog::closeEvent(event);
}

namespace BackupUi {

void addMenuEntries(QMenu *menu, QWidget *owner, QAction *adminOnly)
{
    auto add = [&](const char *name, const QString &caption, BackupWindow::Mode mode) {
        QAction *a = menu->addAction(caption);
        a->setObjectName(QLatin1String(name));
        a->setEnabled(adminOnly->isEnabled());
        QObject::connect(adminOnly, &QAction::changed, a, [a, adminOnly] { a->setEnabled(adminOnly->isEnabled()); });
        connectGuarded(a, &QAction::triggered, owner, [owner, mode](auto...) {
            BackupWindow window(owner, mode);
            Prompter::instance().execModal(&window);
            if (window.restored())
                QCoreApplication::exit(0);
        });
    };
    add("BackupN", QStringLiteral("备份数据(&B)…"), BackupWindow::MakeBackup);
    add("RestoreN", QStringLiteral("恢复数据(&R)…"), BackupWindow::RestoreBackup);
}

QString reminderText(const Backup::LastBackup &last, int days, const QString &folder, const QDateTime &now)
{
    if (days <= 0)
        return QString();
    if (!last.at.isValid()) {
        // Nobody has chosen where backups go yet: said once a folder is set, so that a fresh
        // installation is not greeted by it.
        if (folder.isEmpty())
            return QString();
        return QStringLiteral("还没有做过完整的备份。请插入备份用的U盘（或连接备份位置 %1），"
                              "然后用“选项 → 备份数据”备份。")
            .arg(folder);
    }
    if (last.at.daysTo(now) <= days)
        return QString();
    return QStringLiteral("最近一次完整的备份是 %1，在 %2，已超过 %3 天。\n请用“选项 → 备份数据”再备份一次。")
        .arg(last.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")), QDir::toNativeSeparators(last.where))
        .arg(days);
}

void remindAtStart(QWidget *owner, bool administrator)
{
    if (!administrator || !DataMod)
        return;
    const int days = setting("Days", QStringLiteral("7")).toInt();
    const QString folder = setting("Folder", QString());
    Backup::LastBackup last = Backup::lastBackup(DataMod->ADOConn);
    // Records restored from a backup do not hold the event of that backup (it was written after
    // the copy): the backups in the folder, when it is reachable, count too.
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
        const QStringList backups = Backup::completeBackups(folder);
        if (!backups.isEmpty()) {
            const QDateTime made = QDateTime::fromString(QFileInfo(backups.last()).fileName().left(15),
                                                         QStringLiteral("yyyyMMdd-HHmmss"));
            if (made.isValid() && (!last.at.isValid() || made > last.at)) {
                last.at = made;
                last.where = backups.last();
            }
        }
    }
    const QString text = reminderText(last, days, folder, QDateTime::currentDateTimeUtc());
    if (!text.isEmpty())
        Prompter::instance().messageBox(owner, text, QStringLiteral("备份提醒"), Prompt::Ok, Prompt::Information,
                                        Prompt::Ok);
}

} // namespace BackupUi
