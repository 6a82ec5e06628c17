#include "pictures/JpegDecoder.h"

#include "data/AppError.h"
#include "pictures/ExifOrientation.h"
#include "pictures/PictureBudget.h"

#include <QFile>
#include <QDir>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <jerror.h>

namespace JpegDecoder {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void onError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, 1);
}

void onMessage(j_common_ptr cinfo, int level)
{
    // Data that ends early would be shown with a grey lower part: treat that as a damaged file.
    // Other corrupt-data warnings (stray bytes between markers, ...) are tolerated, as usual.
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF)
        onError(cinfo);
}

void noOutput(j_common_ptr) {}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr openFile(const QString &path)
{
    FILE *f = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!f) {
        const int err = errno;
        throw AppError(QStringLiteral("Cannot open file \"%1\". %2")
                           .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(err))));
    }
    return FilePtr(f);
}

// Everything the decoding function hands back; lives outside the frame that calls setjmp.
struct Job {
    FILE *file = nullptr;
    bool headerOnly = false;
    QSize atLeast;
    Header header;
    QImage image;
    int errorCode = 0;
    bool outOfMemory = false;
};

int orientationOf(jpeg_decompress_struct &cinfo)
{
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1) {
            const int o = ExifOrientation::fromApp1(m->data, m->data_length);
            if (o != 1)
                return o;
        }
    }
    return 1;
}

// CMYK as written by Adobe applications is stored inverted; others are not.
void cmykToRgb(QImage &image, bool inverted)
{
    for (int y = 0; y < image.height(); ++y) {
        uchar *p = image.scanLine(y);
        QRgb *out = reinterpret_cast<QRgb *>(p);
        for (int x = 0; x < image.width(); ++x, p += 4) {
            int c = p[0], m = p[1], ye = p[2], k = p[3];
            if (!inverted) {
                c = 255 - c;
                m = 255 - m;
                ye = 255 - ye;
                k = 255 - k;
            }
            out[x] = qRgb(c * k / 255, m * k / 255, ye * k / 255);
        }
    }
}

// Runs libjpeg. Only plain data lives in this frame, so the longjmp of the error manager
// skips no destructor. Returns false with job->errorCode on a libjpeg error.
bool run(Job *job)
{
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onError;
    err.pub.emit_message = onMessage;
    err.pub.output_message = noOutput;

    if (setjmp(err.jump)) {
        job->errorCode = err.pub.msg_code;
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, job->file);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    job->header.storedSize = QSize(int(cinfo.image_width), int(cinfo.image_height));
    job->header.orientation = orientationOf(cinfo);
    if (job->headerOnly) {
        jpeg_destroy_decompress(&cinfo);
        return true;
    }
    // Checked on the stored size, before libjpeg allocates anything for the image data: a
    // progressive picture keeps all of its coefficients at full size, whatever the DCT scale.
    if (!PictureBudget::fits(cinfo.image_width, cinfo.image_height))
        ERREXIT1(&cinfo, JERR_IMAGE_TOO_BIG, unsigned(PictureBudget::MaxPixels));

    if (job->atLeast.isValid()) {
        const QSize need = ExifOrientation::swapsAxes(job->header.orientation) ? job->atLeast.transposed()
                                                                               : job->atLeast;
        cinfo.scale_num = unsigned(scaleNumerator(job->header.storedSize, need));
        cinfo.scale_denom = 8;
    }

    QImage::Format format = QImage::Format_RGB32;
    bool cmyk = false;
    if (cinfo.jpeg_color_space == JCS_GRAYSCALE) {
        cinfo.out_color_space = JCS_GRAYSCALE;
        format = QImage::Format_Grayscale8;
    } else if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        cinfo.out_color_space = JCS_CMYK;
        cmyk = true;
    } else {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        cinfo.out_color_space = JCS_EXT_BGRX;
#else
        cinfo.out_color_space = JCS_EXT_XRGB;
#endif
    }
    jpeg_calc_output_dimensions(&cinfo);
    job->image = QImage(int(cinfo.output_width), int(cinfo.output_height), format);
    if (job->image.isNull()) {
        job->outOfMemory = true;
        jpeg_destroy_decompress(&cinfo);
        return true;
    }

    jpeg_start_decompress(&cinfo);
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
        const unsigned first = cinfo.output_scanline;
        const unsigned count = std::min<unsigned>(16, cinfo.output_height - first);
        for (unsigned i = 0; i < count; ++i)
            rows[i] = job->image.scanLine(int(first + i));
        jpeg_read_scanlines(&cinfo, rows, count);
    }
    if (cmyk)
        cmykToRgb(job->image, cinfo.saw_Adobe_marker);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

void runOrThrow(Job &job, const QString &path)
{
    FilePtr file = openFile(path);
    job.file = file.get();
    if (!run(&job))
        throw AppError(QStringLiteral("JPEG error #%1").arg(job.errorCode));
    if (job.outOfMemory)
        throw AppError(QStringLiteral("Out of memory while loading \"%1\"").arg(QDir::toNativeSeparators(path)));
}

} // namespace

QSize Header::uprightSize() const
{
    return ExifOrientation::uprightSize(storedSize, orientation);
}

int scaleNumerator(QSize storedSize, QSize storedNeed)
{
    // libjpeg's output size at n/8 is the stored size times n/8, rounded up.
    for (int n = 1; n < 8; ++n) {
        const long long w = (static_cast<long long>(storedSize.width()) * n + 7) / 8;
        const long long h = (static_cast<long long>(storedSize.height()) * n + 7) / 8;
        if (w >= storedNeed.width() && h >= storedNeed.height())
            return n;
    }
    return 8;
}

Header readHeader(const QString &path)
{
    Job job;
    job.headerOnly = true;
    runOrThrow(job, path);
    return job.header;
}

QImage decode(const QString &path, QSize atLeast)
{
    Job job;
    job.atLeast = atLeast;
    runOrThrow(job, path);
    return ExifOrientation::toUpright(job.image, job.header.orientation);
}

} // namespace JpegDecoder
