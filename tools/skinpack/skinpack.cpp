// Packs a Qt style sheet (and optional images) into a Veilport skin file.
//   veilport_skinpack <output.skn> <style.qss> [NAME=image-file ...]
// The style sheet refers to a packed image as url(skin:NAME).
#include "i18n/TSkinFile.h"

#include <QFile>
#include <QString>

#include <cstdio>

static bool readFile(const QString& path, QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll();
    return true;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <output.skn> <style.qss> [NAME=image-file ...]\n", argv[0]);
        return 2;
    }
    TSkinFile skin;
    QByteArray style;
    if (!readFile(QString::fromLocal8Bit(argv[2]), style)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    skin.styleSheet = QString::fromUtf8(style);
    if (skin.styleSheet.trimmed().isEmpty()) {
        std::fprintf(stderr, "%s holds no style\n", argv[2]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        QByteArray image;
        if (eq <= 0 || !TSkinFile::IsSafeImageName(arg.left(eq)) || !readFile(arg.mid(eq + 1), image)) {
            std::fprintf(stderr, "bad image argument %s\n", argv[i]);
            return 1;
        }
        skin.images.append({arg.left(eq), image});
    }
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(skin.Encode()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
