// norvakel-icons OUTPUT-FOLDER: writes the application icon that the windows
// draw at run time as OUTPUT-FOLDER/<size>.png for the icon theme's sizes, so
// that the installed icons and the windows' icon are one drawing.
#include "ui/look.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: norvakel-icons OUTPUT-FOLDER\n");
        return 2;
    }
    // Drawing into images needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "norvakel-icons: cannot create %s\n", argv[1]);
        return 1;
    }
    for (int size : {16, 32, 48, 256}) {
        const QString path = folder.filePath(QStringLiteral("%1.png").arg(size));
        if (!ui::DrawAppIcon(size, ui::IconColors::Rich).save(path, "PNG")) {
            std::fprintf(stderr, "norvakel-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
