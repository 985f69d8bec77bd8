#include "resources/resources.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <iterator>

// libjpeg's header needs size_t and FILE declared before it.
#include <jpeglib.h>

// Resources of a static library are registered only when something asks for them. Outside
// any namespace: the macro declares the generated registration function where it stands.
static void RegisterResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)registered;
}

namespace {

QByteArray ResourceBytes(const QString& name) {
    RegisterResources();
    QFile file(":/sendrift/" + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// libjpeg reports fatal errors by calling error_exit, which by default ends the process;
// this one jumps back to the decoder instead.
struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void JumpOnError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

void IgnoreMessage(j_common_ptr) {}

}  // namespace

QImage DecodeJpeg(const QByteArray& jpeg) {
    if (jpeg.isEmpty()) return {};
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JumpOnError;
    error.manager.output_message = IgnoreMessage;
    // Set before the jump point: locals changed after setjmp are unreliable after longjmp.
    QImage* volatile image = new QImage;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        delete image;
        return {};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    *image = QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB888);
    if (image->isNull()) JumpOnError(reinterpret_cast<j_common_ptr>(&info));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image->scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    QImage result = image->convertToFormat(QImage::Format_RGB32);
    delete image;
    return result;
}

QImage BannerImage() {
    return DecodeJpeg(ResourceBytes("banner.jpg"));
}

QPixmap ItemIcon(int index) {
    static const char* const kNames[] = {"computer.png", "tick.png"};
    if (index < 0 || index >= int(std::size(kNames))) return {};
    QPixmap icon;
    icon.loadFromData(ResourceBytes(kNames[index]), "PNG");
    return icon;
}

QIcon ApplicationIcon() {
    QPixmap icon;
    icon.loadFromData(ResourceBytes("application.png"), "PNG");
    return QIcon(icon);
}
