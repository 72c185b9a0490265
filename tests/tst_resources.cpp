#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QResource>
#include <QtTest>

namespace {

const QString emblemPath = QStringLiteral(":/res/images/Tv_R_Final.png");

// The emblem as the bundle gave it before anything else ran, QApplication
// included: the bundle must register itself before main.
struct FirstLook
{
    QSize size;
    bool hasAlpha = false;
};
FirstLook emblemAtStart;

// A file of the source tree's res/ folder.
QString sourceFile(const QString &relative)
{
    return QDir::cleanPath(QStringLiteral(TELVANE_RES_DIR "/") + relative);
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One entry of an .ico file's directory.
struct IconEntry
{
    int width = 0;
    int height = 0;
    int colours = 0;
    int planes = 0;
    int bitCount = 0;
    quint32 bytes = 0;
    quint32 offset = 0;
};

// The directory of an .ico file; empty when the file is not an icon.
QList<IconEntry> iconDirectory(const QByteArray &file)
{
    QDataStream in(file);
    in.setByteOrder(QDataStream::LittleEndian);
    quint16 reserved = 0, type = 0, count = 0;
    in >> reserved >> type >> count;
    if (reserved != 0 || type != 1)
        return {};
    QList<IconEntry> entries;
    for (int i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        quint8 width = 0, height = 0, colours = 0, unused = 0;
        quint16 planes = 0, bitCount = 0;
        IconEntry entry;
        in >> width >> height >> colours >> unused >> planes >> bitCount >> entry.bytes >> entry.offset;
        entry.width = width == 0 ? 256 : width;
        entry.height = height == 0 ? 256 : height;
        entry.colours = colours;
        entry.planes = planes;
        entry.bitCount = bitCount;
        entries << entry;
    }
    return in.status() == QDataStream::Ok ? entries : QList<IconEntry>();
}

// The part of BITMAPINFOHEADER that describes the pixels: header size, width,
// height, planes, bits per pixel, compression, colours used.
QList<qint64> bitmapHeader(const QByteArray &image)
{
    QDataStream in(image);
    in.setByteOrder(QDataStream::LittleEndian);
    quint32 headerSize = 0, compression = 0, imageSize = 0, coloursUsed = 0;
    qint32 width = 0, height = 0, xResolution = 0, yResolution = 0;
    quint16 planes = 0, bitCount = 0;
    in >> headerSize >> width >> height >> planes >> bitCount >> compression >> imageSize >> xResolution
        >> yResolution >> coloursUsed;
    return {headerSize, width, height, planes, bitCount, compression, coloursUsed};
}

int rowBytes(int width, int bitsPerPixel)
{
    return (width * bitsPerPixel + 31) / 32 * 4;
}

QByteArray iconImage(const QByteArray &file, const IconEntry &entry)
{
    if (qint64(entry.offset) + entry.bytes > file.size())
        return {};
    return file.mid(int(entry.offset), int(entry.bytes));
}

// The colour bitmap of a 24-bit icon image, rows turned top-down.
QImage iconColours(const QByteArray &image, int edge)
{
    QImage colours(edge, edge, QImage::Format_RGB32);
    const int stride = rowBytes(edge, 24);
    const auto *bits = reinterpret_cast<const uchar *>(image.constData()) + 40;
    for (int y = 0; y < edge; ++y) {
        const uchar *row = bits + (edge - 1 - y) * stride;
        for (int x = 0; x < edge; ++x)
            colours.setPixel(x, y, qRgb(row[x * 3 + 2], row[x * 3 + 1], row[x * 3]));
    }
    return colours;
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void emblemIsThereFromTheStart();
    void bundledImages_data();
    void bundledImages();
    void pathsDifferingInCaseGiveNothing_data();
    void pathsDifferingInCaseGiveNothing();
    void iconDirectoryListsFiveOpaqueBitmaps();
    void iconImagesAreUncompressedWithClearMasks();
    void iconShowsTheEmblem();

private:
    QByteArray icon = contentsOf(sourceFile(QStringLiteral("telvane.ico")));
};

void TestResources::emblemIsThereFromTheStart()
{
    QCOMPARE(emblemAtStart.size, QSize(96, 96));
    QVERIFY(emblemAtStart.hasAlpha);
}

void TestResources::bundledImages_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QSize>("size");

    QTest::newRow("emblem") << emblemPath << QStringLiteral("images/Tv_R_Final.png") << QSize(96, 96);
    QTest::newRow("logo") << QStringLiteral(":/res/images/logo.png") << QStringLiteral("images/logo.png") << QSize(104, 83);
}

void TestResources::bundledImages()
{
    QFETCH(QString, path);
    QFETCH(QString, source);
    QFETCH(QSize, size);

    const QImage image(path);
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
    // Stored as it is: the very bytes of the committed file, uncompressed.
    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);
    const QByteArray bundled = contentsOf(path);
    QVERIFY(!bundled.isEmpty());
    QCOMPARE(bundled, contentsOf(sourceFile(source)));
}

void TestResources::pathsDifferingInCaseGiveNothing_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("lower-case r") << QStringLiteral(":/res/images/Tv_r_Final.png");
    QTest::newRow("lower-case T") << QStringLiteral(":/res/images/tv_R_Final.png");
    QTest::newRow("upper-case folder") << QStringLiteral(":/Res/images/Tv_R_Final.png");
    QTest::newRow("upper-case extension") << QStringLiteral(":/res/images/Tv_R_Final.PNG");
    QTest::newRow("all lower case") << QStringLiteral(":/res/images/tv_r_final.png");
}

void TestResources::pathsDifferingInCaseGiveNothing()
{
    QFETCH(QString, path);
    QVERIFY(!QFile::exists(path));
    QVERIFY(QImage(path).isNull());
}

void TestResources::iconDirectoryListsFiveOpaqueBitmaps()
{
    QList<int> entries; // each: width, height, bits per pixel, planes, colours
    for (const IconEntry &entry : iconDirectory(icon))
        entries << entry.width << entry.height << entry.bitCount << entry.planes << entry.colours;
    QCOMPARE(entries, (QList<int>{128, 128, 24, 1, 0, 256, 256, 24, 1, 0, 96, 96, 24, 1, 0, //
                                  48, 48, 24, 1, 0, 32, 32, 24, 1, 0}));
}

void TestResources::iconImagesAreUncompressedWithClearMasks()
{
    const QList<IconEntry> entries = iconDirectory(icon);
    QVERIFY(!entries.isEmpty());
    for (const IconEntry &entry : entries) {
        const QByteArray image = iconImage(icon, entry);
        const QString where = QStringLiteral("%1x%1 image").arg(entry.width);
        QVERIFY2(!image.isEmpty(), qPrintable(where + QStringLiteral(" lies outside the file")));
        QVERIFY2(!image.startsWith("\x89PNG"), qPrintable(where + QStringLiteral(" is a PNG")));

        // Twice the height: colours and mask; compression 0 is BI_RGB.
        QCOMPARE(bitmapHeader(image), (QList<qint64>{40, entry.width, entry.height * 2, 1, 24, 0, 0}));

        const int colourBytes = rowBytes(entry.width, 24) * entry.height;
        const int maskBytes = rowBytes(entry.width, 1) * entry.height;
        QCOMPARE(image.size(), 40 + colourBytes + maskBytes);
        const QByteArray mask = image.right(maskBytes);
        QVERIFY2(mask.count('\0') == maskBytes, qPrintable(where + QStringLiteral(" hides pixels")));
    }
}

void TestResources::iconShowsTheEmblem()
{
    const QImage emblem = QImage(emblemPath).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!emblem.isNull());
    QImage colours;
    for (const IconEntry &entry : iconDirectory(icon)) {
        if (entry.width == emblem.width())
            colours = iconColours(iconImage(icon, entry), entry.width);
    }
    QVERIFY(!colours.isNull());

    // Where the emblem is opaque, the icon shows exactly its pixels.
    int compared = 0;
    for (int y = 0; y < emblem.height(); ++y) {
        for (int x = 0; x < emblem.width(); ++x) {
            const QRgb pixel = emblem.pixel(x, y);
            if (qAlpha(pixel) != 255)
                continue;
            ++compared;
            if (colours.pixel(x, y) != (pixel | 0xff000000u))
                QFAIL(qPrintable(QStringLiteral("icon differs from the emblem at %1,%2").arg(x).arg(y)));
        }
    }
    QVERIFY(compared > emblem.width() * emblem.height() / 2);
}

int main(int argc, char *argv[])
{
    const QImage emblem(emblemPath);
    emblemAtStart = {emblem.size(), emblem.hasAlphaChannel()};

    QApplication application(argc, argv);
    application.setAttribute(Qt::AA_Use96Dpi, true);
    TestResources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
