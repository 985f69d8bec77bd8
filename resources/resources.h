// The program's pictures: the wizard's banner, the list views' item icons and the
// application icon. They are drawn for this program (make_images.sh) and built into it.
//
// GUI thread; the pixmap and icon need a QGuiApplication.
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QPixmap>

// Decodes one JPEG image held in memory with libjpeg; a null image for damaged or
// unsupported data (never aborts the program).
QImage DecodeJpeg(const QByteArray& jpeg);

// The 120 x 257 banner on the wizard's left, decoded from its built-in JPEG.
QImage BannerImage();

// The 16 x 16 item icons: 0 marks a listed file (a small computer), 1 an installed one (a red
// tick). A null pixmap for any other index.
QPixmap ItemIcon(int index);

QIcon ApplicationIcon();
