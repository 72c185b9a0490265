// Draws Telvane's artwork into res/: the emblem and logo of the resource
// bundle, the emblem as desktop icons and as the Windows icon file.

#include "artwork.h"
#include "icowriter.h"

#include <QColor>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTextStream>

namespace {

// Order of the images inside telvane.ico.
const QList<int> windowsIconEdges{128, 256, 96, 48, 32};
// Desktop icon sizes besides 96, which installs the emblem itself.
const QList<int> desktopIconEdges{32, 48, 128, 256};
const QColor iconBackground(0xff, 0xff, 0xff);

[[nodiscard]] bool savePng(const QImage &image, const QString &path, QString *error)
{
    if (image.save(path, "PNG"))
        return true;
    *error = QStringLiteral("cannot write %1").arg(path);
    return false;
}

[[nodiscard]] bool saveFile(const QByteArray &bytes, const QString &path, QString *error)
{
    QFile file(path);
    if (bytes.isEmpty()) {
        *error = QStringLiteral("nothing to write to %1").arg(path);
        return false;
    }
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

[[nodiscard]] bool drawAll(const QDir &res, QString *error)
{
    if (!res.mkpath(QStringLiteral("images")) || !res.mkpath(QStringLiteral("icons"))) {
        *error = QStringLiteral("cannot create images/ and icons/ in %1").arg(res.path());
        return false;
    }
    if (!savePng(artwork::emblem(artwork::emblemGrid), res.filePath(QStringLiteral("images/Tv_R_Final.png")), error)
        || !savePng(artwork::logo(), res.filePath(QStringLiteral("images/logo.png")), error))
        return false;
    for (int edge : desktopIconEdges) {
        const QString path = res.filePath(QStringLiteral("icons/telvane-%1.png").arg(edge));
        if (!savePng(artwork::emblem(edge), path, error))
            return false;
    }
    QList<QImage> windowsIcons;
    for (int edge : windowsIconEdges)
        windowsIcons << artwork::opaqueEmblem(edge, iconBackground);
    return saveFile(ico::fromOpaqueImages(windowsIcons), res.filePath(QStringLiteral("telvane.ico")), error);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Draws Telvane's emblem, logo and icons into a res/ folder."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("res-dir"), QStringLiteral("The res/ folder of the source tree."));
    parser.process(application);

    QTextStream err(stderr);
    if (parser.positionalArguments().size() != 1) {
        err << "telvane-artwork: expected exactly one argument, the res/ folder (see --help)\n";
        return 2;
    }
    const QDir res(parser.positionalArguments().constFirst());
    if (!res.exists()) {
        err << "telvane-artwork: no such folder: " << res.path() << '\n';
        return 2;
    }
    QString error;
    if (!drawAll(res, &error)) {
        err << "telvane-artwork: " << error << '\n';
        return 1;
    }
    return 0;
}
