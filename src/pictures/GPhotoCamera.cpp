#include "pictures/GPhotoCamera.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gphoto2/gphoto2-abilities-list.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>
#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-port-info-list.h>
#include <gphoto2/gphoto2-port-result.h>
#include <gphoto2/gphoto2-result.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

const QString CheckCamera = QStringLiteral(
    "请检查：相机已用 USB 线连接到这台电脑并已开机，相机不在存储卡浏览或充电模式；"
    "桌面的文件管理器没有把相机当作磁盘打开（如已打开，请先“弹出”），"
    "也没有其他照片导入程序正在使用它。");

struct Context {
    GPContext *context = gp_context_new();
    ~Context() { gp_context_unref(context); }
};

struct List {
    CameraList *list = nullptr;
    List() { gp_list_new(&list); }
    ~List() { gp_list_free(list); }
};

struct File {
    CameraFile *file = nullptr;
    File() { gp_file_new(&file); }
    ~File() { gp_file_unref(file); }
    QByteArray data() const
    {
        const char *bytes = nullptr;
        unsigned long size = 0;
        if (gp_file_get_data_and_size(file, &bytes, &size) < GP_OK || !bytes)
            return QByteArray();
        return QByteArray(bytes, int(size));
    }
};

// Opens the camera of a model on a port as the listing gave them.
int openCamera(const GPhotoCamera::Found &found, GPContext *context, Camera **out)
{
    *out = nullptr;
    Camera *camera = nullptr;
    int r = gp_camera_new(&camera);
    if (r < GP_OK)
        return r;
    CameraAbilitiesList *abilities = nullptr;
    GPPortInfoList *ports = nullptr;
    r = gp_abilities_list_new(&abilities);
    if (r >= GP_OK)
        r = gp_abilities_list_load(abilities, context);
    int index = GP_ERROR_MODEL_NOT_FOUND;
    if (r >= GP_OK)
        r = index = gp_abilities_list_lookup_model(abilities, found.model.toUtf8().constData());
    if (r >= GP_OK) {
        CameraAbilities a;
        r = gp_abilities_list_get_abilities(abilities, index, &a);
        if (r >= GP_OK)
            r = gp_camera_set_abilities(camera, a);
    }
    if (r >= GP_OK)
        r = gp_port_info_list_new(&ports);
    if (r >= GP_OK)
        r = gp_port_info_list_load(ports);
    if (r >= GP_OK)
        r = index = gp_port_info_list_lookup_path(ports, found.port.toUtf8().constData());
    if (r >= GP_OK) {
        GPPortInfo info;
        r = gp_port_info_list_get_info(ports, index, &info);
        if (r >= GP_OK)
            r = gp_camera_set_port_info(camera, info);
    }
    if (r >= GP_OK)
        r = gp_camera_init(camera, context);
    if (abilities)
        gp_abilities_list_free(abilities);
    if (ports)
        gp_port_info_list_free(ports);
    if (r < GP_OK) {
        gp_camera_unref(camera);
        return r;
    }
    *out = camera;
    return GP_OK;
}

} // namespace

struct GPhotoCamera::Private {
    Found found;
    Context context;
    Camera *camera = nullptr;
    std::mutex lock; // the camera is used by one call at a time: the preview loop or the shot
    std::thread previews;
    std::atomic<bool> stopping{false};
    std::atomic<bool> frameWaiting{false}; // a preview is on its way to the window thread
    bool running = false;

    void close()
    {
        if (!camera)
            return;
        gp_camera_exit(camera, context.context);
        gp_camera_unref(camera);
        camera = nullptr;
    }
};

QVector<GPhotoCamera::Found> GPhotoCamera::list(QString *whyNot)
{
    QVector<Found> found;
    Context context;
    List cameras;
    const int r = gp_camera_autodetect(cameras.list, context.context);
    if (r < GP_OK) {
        if (whyNot)
            *whyNot = QStringLiteral("无法查找 USB 相机：%1").arg(explain(r));
        return found;
    }
    for (int i = 0; i < gp_list_count(cameras.list); ++i) {
        const char *model = nullptr, *port = nullptr;
        gp_list_get_name(cameras.list, i, &model);
        gp_list_get_value(cameras.list, i, &port);
        if (model && port)
            found.push_back({QString::fromUtf8(model), QString::fromUtf8(port)});
    }
    if (found.isEmpty() && whyNot)
        *whyNot = QStringLiteral("没有找到 USB 相机。") + CheckCamera;
    return found;
}

bool GPhotoCamera::isGone(int result)
{
    return result == GP_ERROR_IO || (result <= GP_ERROR_IO_INIT && result >= GP_ERROR_IO_USB_FIND)
           || result == GP_ERROR_MODEL_NOT_FOUND || result == GP_ERROR_UNKNOWN_PORT;
}

QString GPhotoCamera::explain(int result)
{
    if (result == GP_ERROR_IO_USB_CLAIM || result == GP_ERROR_IO_LOCK || result == GP_ERROR_CAMERA_BUSY)
        return QStringLiteral("相机正被其他程序占用。请在桌面的文件管理器中“弹出”相机，关闭其他照片导入程序，"
                              "然后再试。");
    if (isGone(result))
        return QStringLiteral("相机已断开或已关机。") + CheckCamera;
    if (result == GP_ERROR_NOT_SUPPORTED)
        return QStringLiteral("这台相机不支持由电脑取景或拍摄。请改用“监视文件夹”（相机的 Wi-Fi 上传或读卡器）。");
    if (result == GP_ERROR_TIMEOUT)
        return QStringLiteral("相机没有响应。请检查相机是否已休眠，按一下快门唤醒后再试。");
    if (result == GP_ERROR_NO_SPACE)
        return QStringLiteral("相机的存储卡已满。");
    return QStringLiteral("相机出错（%1）。").arg(QString::fromUtf8(gp_result_as_string(result))) + CheckCamera;
}

GPhotoCamera::GPhotoCamera(const Found &camera, QObject *parent) : CaptureSource(parent), d(new Private)
{
    d->found = camera;
}

GPhotoCamera::~GPhotoCamera()
{
    stop();
}

QString GPhotoCamera::name() const
{
    return d->found.model.isEmpty() ? QStringLiteral("USB相机") : QStringLiteral("USB相机 %1").arg(d->found.model);
}

bool GPhotoCamera::start(QString *whyNot)
{
    stop();
    if (d->found.model.isEmpty()) {
        const QVector<Found> all = list(whyNot);
        if (all.isEmpty())
            return false;
        d->found = all.first();
    }
    const int opened = openCamera(d->found, d->context.context, &d->camera);
    if (opened < GP_OK) {
        if (whyNot)
            *whyNot = QStringLiteral("无法打开相机 %1：%2").arg(d->found.model, explain(opened));
        return false;
    }
    d->running = true;
    d->stopping = false;
    d->frameWaiting = false;
    d->previews = std::thread([this] {
        int failures = 0;
        while (!d->stopping) {
            File file;
            int r = GP_OK;
            {
                std::lock_guard<std::mutex> hold(d->lock);
                r = gp_camera_capture_preview(d->camera, file.file, d->context.context);
            }
            if (r < GP_OK) {
                // A camera gone or without live view ends the view at once; other errors (the
                // camera busy focusing, a preview lost) only when they keep coming.
                if (isGone(r) || r == GP_ERROR_NOT_SUPPORTED || ++failures >= 10) {
                    const QString why = isGone(r) ? QStringLiteral("相机已断开，实时画面已结束。") + CheckCamera
                                                  : explain(r);
                    QMetaObject::invokeMethod(
                        this, [this, why] { endView(why); }, Qt::QueuedConnection);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            failures = 0;
            // Only the newest preview waits for the window: one still being shown is not queued
            // behind.
            if (d->frameWaiting)
                continue;
            QImage image = QImage::fromData(file.data());
            if (image.isNull())
                continue;
            d->frameWaiting = true;
            QMetaObject::invokeMethod(
                this,
                [this, image] {
                    d->frameWaiting = false;
                    if (d->running)
                        emit frame(image);
                },
                Qt::QueuedConnection);
        }
    });
    return true;
}

void GPhotoCamera::stop()
{
    d->stopping = true;
    if (d->previews.joinable())
        d->previews.join();
    d->running = false;
    d->close();
}

void GPhotoCamera::endView(const QString &why)
{
    if (!d->running)
        return;
    stop();
    emit ended(why);
}

QString GPhotoCamera::shoot(const QString &folder, QString *whyNot)
{
    if (!d->camera) {
        if (whyNot)
            *whyNot = QStringLiteral("相机没有打开，未能拍摄。") + CheckCamera;
        return QString();
    }
    std::lock_guard<std::mutex> hold(d->lock);
    CameraFilePath taken;
    int r = gp_camera_capture(d->camera, GP_CAPTURE_IMAGE, &taken, d->context.context);
    File file;
    if (r >= GP_OK)
        r = gp_camera_file_get(d->camera, taken.folder, taken.name, GP_FILE_TYPE_NORMAL, file.file, d->context.context);
    if (r < GP_OK) {
        if (whyNot)
            *whyNot = QStringLiteral("未能拍摄：%1").arg(explain(r));
        return QString();
    }
    // The camera's own file, unchanged (its EXIF date and orientation kept), under its own name.
    const QByteArray data = file.data();
    const QString name = QFileInfo(QString::fromUtf8(taken.name)).fileName();
    const QString path = QDir(folder).filePath(name.isEmpty() ? QStringLiteral("shot.jpg") : name);
    QFile out(path);
    if (data.isEmpty() || !out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(data) != data.size()
        || !out.flush()) {
        if (whyNot)
            *whyNot = data.isEmpty() ? QStringLiteral("相机没有传回照片，未能拍摄。")
                                     : QStringLiteral("照片未能写入临时文件夹：%1").arg(out.errorString());
        out.close();
        QFile::remove(path);
        return QString();
    }
    out.close();
    return path;
}
