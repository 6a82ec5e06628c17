#include "admin/BackupWindow.h"
#include "ui_BackupWindow.h"

#include "data/AuditLog.h"
#include "backup/BackupPassword.h"
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFutureWatcher>
#include <QFileInfo>
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

BackupWindow::BackupWindow(QWidget *owner, Mode mode) : FixedDialog(owner), m_ui(new Ui::BackupWindow), m_mode(mode)
{
    m_ui->setupUi(this);
    m_target = m_ui->Target;
    m_password = m_ui->Password;
    m_remember = m_ui->Remember;
    m_bar = m_ui->Progress;
    m_status = m_ui->Status;
    m_start = m_ui->Start;
    m_cancel = m_ui->Cancel;
    // The form holds the controls of both modes; each mode drops those of the other, so that
    // their rows take no room.
    const auto drop = [](auto *&widget) {
        delete widget;
        widget = nullptr;
    };
    if (mode == MakeBackup) {
        m_again = m_ui->PasswordAgain;
        m_againLabel = m_ui->PasswordAgainLabel;
        m_warning = m_ui->PasswordWarning;
        m_keep = m_ui->Keep;
        drop(m_ui->ListBackups);
        drop(m_ui->BackupsLabel);
        drop(m_ui->Backups);
        drop(m_ui->CustomerLabel);
        drop(m_ui->Customer);
    } else {
        setObjectName(QStringLiteral("RestoreWindow"));
        setWindowTitle(QStringLiteral("恢复数据"));
        m_ui->TargetLabel->setText(QStringLiteral("备份所在(&F)："));
        m_start->setText(QStringLiteral("开始恢复(&S)"));
        m_list = m_ui->Backups;
        m_customer = m_ui->Customer;
        drop(m_ui->PasswordAgainLabel);
        drop(m_ui->PasswordAgain);
        drop(m_ui->PasswordWarning);
        drop(m_ui->KeepLabel);
        drop(m_ui->Keep);
    }
    m_target->addItems(likelyTargets());
    if (m_warning) {
        // Room for the longest text, so that the fixed window never cuts it off.
        m_warning->setMinimumHeight(m_warning->fontMetrics().lineSpacing() * 3 + 4);
    }
    try {
        const QByteArray remembered = BackupPassword::read(BackupPassword::userFile());
        m_password->setText(QString::fromUtf8(remembered));
        m_remember->setChecked(!remembered.isEmpty());
    } catch (const AppError &) {
        // A file others may read is not used; the password is asked for.
    }
    if (mode == MakeBackup) {
        m_keep->setValue(qBound(1, setting("Keep", QStringLiteral("10")).toInt(), 999));
        connect(m_target, &QComboBox::currentTextChanged, this, [this] { targetChanged(); });
    } else {
        connectGuarded(m_ui->ListBackups, &QPushButton::clicked, this, [this](auto...) { fillBackups(); });
        connect(m_target, &QComboBox::currentTextChanged, this, [this] { guarded(this, [this] { fillBackups(); }); });
    }
    connectGuarded(m_start, &QPushButton::clicked, this, [this](auto...) { startClick(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { cancelClick(); });
    if (m_list)
        guarded(this, [this] { fillBackups(); });
    else
        targetChanged();
    fixDesign(sizeHint().expandedTo(QSize(520, 0)));
    setInitialFocus(m_target);
}

BackupWindow::~BackupWindow() = default;

void BackupWindow::targetChanged()
{
    if (!m_again)
        return;
    const QString target = m_target->currentText().trimmed();
    const bool there = !target.isEmpty() && QFileInfo(target).isDir();
    const bool first = there && !Backup::hasRepository(target);
    m_again->setEnabled(first);
    m_againLabel->setEnabled(first);
    if (!first)
        m_again->clear();
    m_warning->setText(
        !there  ? QString()
        : first ? QStringLiteral("这是第一次备份到这里：请设置备份密码（至少 %1 个字符），输入两次。备份用它加密，"
                                 "没有密码谁也打不开。忘记密码，备份就再也不能恢复：请把密码另外记好。")
                      .arg(BackupPassword::MinimumLength)
                : QStringLiteral("这里已有备份：请输入当初设置的备份密码。"));
}

QByteArray BackupWindow::password() const
{
    return m_password->text().toUtf8();
}

void BackupWindow::wrongPassword()
{
    m_status->setText(QStringLiteral("备份密码不对"));
    m_password->selectAll();
    m_password->setFocus();
}

void BackupWindow::fillBackups()
{
    m_list->clear();
    const QString target = m_target->currentText().trimmed();
    if (target.isEmpty() || !QFileInfo(target).isDir())
        return;
    if (Backup::hasRepository(target) && m_password->text().isEmpty()) {
        m_status->setText(QStringLiteral("请输入备份密码，再按“列出备份”。"));
        return;
    }
    QString id;
    try {
        id = Backup::installationId(programSource());
    } catch (const AppError &) {
    }
    QVector<Backup::Snapshot> all;
    try {
        all = Backup::list(target, password(), id);
    } catch (const Backup::WrongPassword &) {
        wrongPassword();
        return;
    }
    for (const Backup::Snapshot &s : all) {
        QString text = s.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (s.legacy)
            text += QStringLiteral("  旧格式的备份");
        else if (!s.salvagedFrom.isEmpty())
            text += QStringLiteral("  %1  从损坏的备份中抢救出的 %2 个文件（没有资料，不能恢复）")
                        .arg(s.host)
                        .arg(s.photos);
        else
            text += QStringLiteral("  %1  %2  %3 个案例，%4 张图片")
                        .arg(s.ours ? QStringLiteral("本机") : QStringLiteral("另一个安装的备份"), s.host)
                        .arg(s.cases)
                        .arg(s.photos);
        auto *item = new QListWidgetItem(text, m_list);
        item->setData(Qt::UserRole, s.id);
        item->setData(Qt::UserRole + 1, s.legacy);
        item->setData(Qt::UserRole + 2, s.ours || s.legacy);
        if (!s.salvagedFrom.isEmpty())
            item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
    }
    m_status->setText(all.isEmpty() ? QStringLiteral("这个位置没有备份。") : QString());
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
    Prompter &prompter = Prompter::instance();
    const QString target = m_target->currentText().trimmed();
    if (m_mode == MakeBackup) {
        if (target.isEmpty() || !QFileInfo(target).isDir()) {
            prompter.showMessage(this, QStringLiteral("请选择一个存在的文件夹作为备份位置（例如插入的U盘）。"));
            m_target->setFocus();
            return;
        }
        targetChanged();
        if (m_password->text().isEmpty()) {
            prompter.showMessage(this, QStringLiteral("请输入备份密码。"));
            m_password->setFocus();
            return;
        }
        if (!Backup::hasRepository(target)) {
            if (m_password->text().size() < BackupPassword::MinimumLength) {
                prompter.showMessage(this,
                                     QStringLiteral("备份密码至少要 %1 个字符。").arg(BackupPassword::MinimumLength));
                m_password->setFocus();
                return;
            }
            if (m_again->text() != m_password->text()) {
                prompter.showMessage(this, QStringLiteral("两次输入的备份密码不一样，请重新输入。"));
                m_again->clear();
                m_again->setFocus();
                return;
            }
        }
        runBackup();
        return;
    }
    if (!m_list->currentItem()) {
        prompter.showMessage(this, QStringLiteral("请先输入备份密码并列出备份，再选择一个。"));
        m_password->setFocus();
        return;
    }
    const QString customer = m_customer->text().trimmed();
    QString text;
    if (!customer.isEmpty()) {
        text = QStringLiteral("要用 %1 的备份替换客户 %2 的资料和图片吗？\n\n别的客户不受影响；这位客户现在的图片"
                              "会移到一旁保留。")
                   .arg(m_list->currentItem()->text(), customer);
    } else {
        text = QStringLiteral("要用 %1 的备份替换现在的全部资料和图片吗？\n\n现在的数据库和图片不会删除，"
                              "会移到本程序文件夹中的“恢复前的数据”文件夹。恢复前请关闭其他电脑上的本程序；"
                              "恢复完成后本程序会退出，请重新启动。")
                   .arg(m_list->currentItem()->text());
    }
    if (!m_list->currentItem()->data(Qt::UserRole + 2).toBool())
        text += QStringLiteral("\n\n注意：这个备份来自另一个安装（另一台电脑或另一家诊所），不是本机的备份。");
    if (prompter.messageBox(this, text, windowTitle(), Prompt::Yes | Prompt::No, Prompt::Question, Prompt::No)
        != Prompt::Yes)
        return;
    runRestore();
}

namespace {

// The worker's result: empty when done, "\x01" when cancelled, "\x02" for a wrong password.
const QString CancelledMark = QStringLiteral("\x01");
const QString WrongPasswordMark = QStringLiteral("\x02");

template <typename Work> QString runWork(const Work &work)
{
    try {
        work();
        return QString();
    } catch (const AppError &e) {
        return e.text();
    } catch (const Backup::Cancelled &) {
        return CancelledMark;
    } catch (const Backup::WrongPassword &) {
        return WrongPasswordMark;
    }
}

QString listed(const QStringList &items)
{
    return items.mid(0, 20).join(QStringLiteral("、")) + (items.size() > 20 ? QStringLiteral(" 等") : QString());
}

} // namespace

void BackupWindow::runBackup()
{
    const QString target = m_target->currentText().trimmed();
    const int keep = m_keep->value();
    const QByteArray pw = password();
    const bool create = !Backup::hasRepository(target);
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
            e.detail = m_made.repository + QStringLiteral(" 快照 ") + m_made.snapshot;
            try {
                AuditLog::recordWith(QSqlDatabase::database(DataMod->ADOConn, false), e, [] {});
            } catch (const AppError &) {
                // Records this user may only read keep no event; the backup is good all the same.
            }
        }
        if (result != WrongPasswordMark && result != CancelledMark
            && (result.isEmpty() || !m_made.snapshot.isEmpty())) {
            // The password opened the repository: remembered or forgotten as ticked.
            guarded(this, [this] {
                if (m_remember->isChecked())
                    BackupPassword::write(BackupPassword::userFile(), password());
                else
                    BackupPassword::forget(BackupPassword::userFile());
            });
        }
        finished(result);
    });
    watcher->setFuture(QtConcurrent::run([this, source, target, keep, pw, create]() -> QString {
        return runWork([&] { m_made = Backup::make(source, target, pw, keep, create, progressFn()); });
    }));
}

void BackupWindow::runRestore()
{
    const QString target = m_target->currentText().trimmed();
    const QString id = m_list->currentItem()->data(Qt::UserRole).toString();
    const bool legacy = m_list->currentItem()->data(Qt::UserRole + 1).toBool();
    const QString customer = m_customer->text().trimmed();
    const QByteArray pw = password();
    m_oneCustomer = !customer.isEmpty();
    m_working = true;
    m_cancelRequested = false;
    m_start->setEnabled(false);
    m_target->setEnabled(false);
    m_list->setEnabled(false);
    const Backup::Source source = programSource();
    // For a whole restore this program lets go of the database while it works.
    if (!m_oneCustomer) {
        QSqlDatabase::database(DataMod->ADOConn, false).close();
        Backup::programLock().release();
    }
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher] {
        const QString result = watcher->result();
        watcher->deleteLater();
        if (m_oneCustomer) {
            finished(result);
            return;
        }
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
        finished(result);
    });
    watcher->setFuture(QtConcurrent::run([this, source, target, id, legacy, customer, pw]() -> QString {
        return runWork([&] {
            if (legacy)
                m_restoreResult = Backup::Legacy::restore(source, id, progressFn());
            else if (!customer.isEmpty())
                m_restoreResult = Backup::restoreCustomer(source, target, pw, id, customer, progressFn());
            else
                m_restoreResult = Backup::restore(source, target, pw, id, progressFn());
        });
    }));
}

void BackupWindow::finished(const QString &result)
{
    m_working = false;
    m_start->setEnabled(true);
    m_target->setEnabled(true);
    if (m_keep)
        m_keep->setEnabled(true);
    if (m_list)
        m_list->setEnabled(true);
    Prompter &p = Prompter::instance();
    if (result == CancelledMark) {
        p.showMessage(this, m_mode == MakeBackup
                                ? QStringLiteral("备份已取消。没有做完的备份不算数，以前的备份没有改动；"
                                                 "已写入的部分下次备份时会用上或清除。")
                                : QStringLiteral("恢复已取消，现在的资料和图片没有改动。"));
        return;
    }
    if (result == WrongPasswordMark) {
        wrongPassword();
        p.showError(this, QStringLiteral("备份密码不对：这个密码打不开 %1 的备份。请重新输入。")
                              .arg(Backup::repositoryPath(m_target->currentText().trimmed())));
        m_password->setFocus();
        return;
    }
    if (!result.isEmpty()) {
        m_status->setText(m_mode == MakeBackup ? QStringLiteral("备份没有完成") : QStringLiteral("恢复没有完成"));
        p.showError(this, (m_mode == MakeBackup ? QStringLiteral("备份没有完成：") : QStringLiteral("恢复没有完成："))
                              + result);
        return;
    }
    m_bar->setValue(m_bar->maximum());
    m_status->setText(m_mode == MakeBackup ? QStringLiteral("备份完成") : QStringLiteral("恢复完成"));
    if (m_mode == MakeBackup) {
        QString text = QStringLiteral("备份完成：%1（%2）\n共 %3 个文件，%4 MB；本次读取了 %5 个新的或改动的文件，"
                                      "存入 %6 MB。\n备份后已检查，并读回了 %7 的数据。")
                           .arg(QDir::toNativeSeparators(m_made.repository), m_made.snapshot)
                           .arg(m_made.files)
                           .arg(megabytes(m_made.bytes))
                           .arg(m_made.newFiles)
                           .arg(megabytes(m_made.addedBytes))
                           .arg(m_made.checked);
        if (!m_made.leftOut.isEmpty())
            text += QStringLiteral("\n以下 %1 个文件在备份时不见了或读不出，没有备份：%2")
                        .arg(m_made.leftOut.size())
                        .arg(listed(m_made.leftOut));
        for (const QString &w : m_made.warnings)
            text += QLatin1Char('\n') + w;
        if (m_made.removed > 0)
            text += QStringLiteral("\n按设置删除了本机 %1 个较早的备份。").arg(m_made.removed);
        if (!m_made.rotationNote.isEmpty())
            text += QLatin1Char('\n') + m_made.rotationNote;
        p.showMessage(this, text);
        accept();
        return;
    }
    QString text = m_oneCustomer ? QStringLiteral("客户 %1 的资料和图片已恢复。").arg(m_customer->text().trimmed())
                                 : QStringLiteral("恢复完成。");
    if (!m_restoreResult.lost.isEmpty())
        text += QStringLiteral("\n以下 %1 张图片在备份中已损坏，没能恢复：%2")
                    .arg(m_restoreResult.lost.size())
                    .arg(listed(m_restoreResult.lost));
    const QString aside = m_restoreResult.asideFolder.isEmpty() ? m_restoreResult.picturesAside
                                                                : m_restoreResult.asideFolder;
    text += QStringLiteral("\n被替换的资料和图片移到了：%1").arg(QDir::toNativeSeparators(aside));
    if (!m_oneCustomer)
        text += QStringLiteral("\n程序现在退出，请重新启动。");
    p.showMessage(this, text);
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
        const QStringList backups = Backup::Legacy::completeBackups(folder);
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
