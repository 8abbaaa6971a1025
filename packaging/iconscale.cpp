// survokart-iconscale: the application icon at one of the sizes desktops look for, scaled from
// the painted picture so that every size stays the same drawing.
#include <QImage>
#include <QString>
#include <QTextStream>

int main(int argc, char **argv) {
    QTextStream err(stderr);
    bool ok = false;
    const int size = argc == 4 ? QString::fromLocal8Bit(argv[2]).toInt(&ok) : 0;
    if (!ok || size <= 0) {
        err << "usage: survokart-iconscale PICTURE SIZE OUTPUT\n";
        return 2;
    }
    const QImage picture(QString::fromLocal8Bit(argv[1]));
    if (picture.isNull()) {
        err << "cannot read the picture " << argv[1] << "\n";
        return 1;
    }
    const QImage icon = picture.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!icon.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        err << "cannot write " << argv[3] << "\n";
        return 1;
    }
    return 0;
}
