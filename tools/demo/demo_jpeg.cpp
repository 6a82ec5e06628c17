#include "demo_jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace DemoJpeg {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// function that started the work, which cleans up and throws.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void quiet(j_common_ptr) {}

void installErrors(ErrorManager &err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = onError;
    err.pub.output_message = quiet;
    err.message[0] = 0;
}

[[noreturn]] void fail(const char *what, const ErrorManager &err)
{
    throw std::runtime_error(std::string(what) + ": " + err.message);
}

// Output buffer of jpeg_mem_dest, freed with free() whatever happens.
struct MemoryOutput {
    unsigned char *data = nullptr;
    unsigned long size = 0;
    ~MemoryOutput() { std::free(data); }
    QByteArray bytes() const { return QByteArray(reinterpret_cast<const char *>(data), int(size)); }
};

void putShort(QByteArray &b, int v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void putLong(QByteArray &b, quint32 v)
{
    putShort(b, int(v & 0xffff));
    putShort(b, int(v >> 16));
}

void writeExif(jpeg_compress_struct &cinfo, int orientation)
{
    if (orientation <= 0)
        return;
    const QByteArray exif = exifSegment(orientation);
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(exif.constData()), unsigned(exif.size()));
}

} // namespace

QByteArray exifSegment(int orientation)
{
    QByteArray b("Exif\0\0", 6);
    b.append("II*\0", 4); // little-endian TIFF header
    putLong(b, 8);        // first directory right after the header
    putShort(b, 1);       // one entry
    putShort(b, 0x0112);  // Orientation
    putShort(b, 3);       // SHORT
    putLong(b, 1);        // one value
    putShort(b, orientation);
    putShort(b, 0); // padding of the 4-byte value field
    putLong(b, 0);  // no next directory
    return b;
}

QByteArray encode(const QImage &source, int exifOrientation, int quality)
{
    const QImage image = source.format() == QImage::Format_RGB32 || source.format() == QImage::Format_ARGB32
                             ? source
                             : source.convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        throw std::runtime_error("Cannot encode an empty picture");

    ErrorManager err;
    MemoryOutput out;
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    installErrors(err);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        fail("JPEG encoding failed", err);
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out.data, &out.size);
    cinfo.image_width = JDIMENSION(image.width());
    cinfo.image_height = JDIMENSION(image.height());
    cinfo.input_components = 4;
    // QImage's 32-bit formats are 0xAARRGGBB words: B, G, R, A in memory on little-endian machines.
    cinfo.in_color_space = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.write_JFIF_header = exifOrientation > 0 ? FALSE : TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    writeExif(cinfo, exifOrientation);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.constScanLine(int(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return out.bytes();
}

struct CoefficientImage::State {
    ErrorManager err;
    jpeg_decompress_struct cinfo;
    jvirt_barray_ptr *coefficients = nullptr;
    QByteArray source; // must outlive cinfo: jpeg_mem_src reads from it
};

CoefficientImage::CoefficientImage(const QByteArray &jpeg) : d(new State)
{
    d->source = jpeg;
    std::memset(&d->cinfo, 0, sizeof d->cinfo);
    installErrors(d->err);
    d->cinfo.err = &d->err.pub;
    if (setjmp(d->err.jump)) {
        jpeg_destroy_decompress(&d->cinfo);
        fail("JPEG reading failed", d->err);
    }
    jpeg_create_decompress(&d->cinfo);
    jpeg_mem_src(&d->cinfo, reinterpret_cast<const unsigned char *>(d->source.constData()),
                 static_cast<unsigned long>(d->source.size()));
    jpeg_read_header(&d->cinfo, TRUE);
    d->coefficients = jpeg_read_coefficients(&d->cinfo);
}

CoefficientImage::~CoefficientImage()
{
    // Abort rather than finish: finishing would read the rest of the stream again.
    jpeg_destroy_decompress(&d->cinfo);
}

QSize CoefficientImage::size() const
{
    return QSize(int(d->cinfo.image_width), int(d->cinfo.image_height));
}

int CoefficientImage::mcuSize() const
{
    return DCTSIZE * d->cinfo.max_h_samp_factor;
}

QRect CoefficientImage::mcuAligned(const QRect &r) const
{
    const int m = mcuSize();
    const int left = (r.left() / m) * m;
    const int top = (r.top() / m) * m;
    const int right = ((r.right() + m) / m) * m;
    const int bottom = ((r.bottom() + m) / m) * m;
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).intersected(QRect(QPoint(0, 0), size()));
}

void CoefficientImage::paste(const QByteArray &patchJpeg, const QPoint &topLeft)
{
    const int m = mcuSize();
    if (topLeft.x() % m || topLeft.y() % m)
        throw std::runtime_error("A patch must start on an MCU corner");

    ErrorManager err;
    jpeg_decompress_struct patch;
    std::memset(&patch, 0, sizeof patch);
    installErrors(err);
    patch.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&patch);
        fail("JPEG patch failed", err);
    }
    jpeg_create_decompress(&patch);
    jpeg_mem_src(&patch, reinterpret_cast<const unsigned char *>(patchJpeg.constData()),
                 static_cast<unsigned long>(patchJpeg.size()));
    jpeg_read_header(&patch, TRUE);
    jvirt_barray_ptr *patchCoefficients = jpeg_read_coefficients(&patch);
    if (patch.num_components != d->cinfo.num_components || patch.max_h_samp_factor != d->cinfo.max_h_samp_factor
        || patch.max_v_samp_factor != d->cinfo.max_v_samp_factor) {
        std::strcpy(err.message, "patch has another layout");
        jpeg_destroy_decompress(&patch);
        fail("JPEG patch failed", err);
    }
    const int mcuCols = int(patch.image_width) / m;
    const int mcuRows = int(patch.image_height) / m;
    for (int ci = 0; ci < d->cinfo.num_components; ++ci) {
        const jpeg_component_info &dst = d->cinfo.comp_info[ci];
        const jpeg_component_info &src = patch.comp_info[ci];
        const int blockCols = mcuCols * dst.h_samp_factor;
        const int blockRows = mcuRows * dst.v_samp_factor;
        const int firstCol = topLeft.x() / m * dst.h_samp_factor;
        const int firstRow = topLeft.y() / m * dst.v_samp_factor;
        if (firstCol + blockCols > int(dst.width_in_blocks) || firstRow + blockRows > int(dst.height_in_blocks)
            || blockCols > int(src.width_in_blocks) || blockRows > int(src.height_in_blocks))
            continue;
        for (int row = 0; row < blockRows; ++row) {
            JBLOCKARRAY from = (*patch.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&patch),
                                                                patchCoefficients[ci], JDIMENSION(row), 1, FALSE);
            JBLOCKARRAY to = (*d->cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d->cinfo),
                                                                 d->coefficients[ci], JDIMENSION(firstRow + row), 1,
                                                                 TRUE);
            std::memcpy(to[0] + firstCol, from[0], sizeof(JBLOCK) * size_t(blockCols));
        }
    }
    jpeg_destroy_decompress(&patch);
}

QByteArray CoefficientImage::write(int exifOrientation) const
{
    ErrorManager err;
    MemoryOutput out;
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    installErrors(err);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        fail("JPEG writing failed", err);
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out.data, &out.size);
    jpeg_copy_critical_parameters(&d->cinfo, &cinfo);
    cinfo.write_JFIF_header = exifOrientation > 0 ? FALSE : TRUE;
    jpeg_write_coefficients(&cinfo, d->coefficients);
    writeExif(cinfo, exifOrientation);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return out.bytes();
}

} // namespace DemoJpeg
