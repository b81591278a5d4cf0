// Renders the program's SVG icon as square PNG files for the icon theme's fixed sizes.
// Usage: hl_icon_png <icon.svg> <output dir> <size>...   (writes <dir>/<size>x<size>/harborlock.png)

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <icon.svg> <output dir> <size>...\n", argv[0]);
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "bad size %s\n", argv[i]);
            return 2;
        }
        QImageReader reader(QString::fromLocal8Bit(argv[1]));
        reader.setScaledSize(QSize(size, size));
        const QImage image = reader.read();
        if (image.isNull() || image.width() != size || image.height() != size) {
            std::fprintf(stderr, "cannot render %s at %d: %s\n", argv[1], size,
                         qPrintable(reader.errorString()));
            return 1;
        }
        const QString dir = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/%1x%1").arg(size);
        if (!QDir().mkpath(dir) || !image.save(dir + QStringLiteral("/harborlock.png"), "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
