#include "bcrypt.h"

#include <QProcess>
#include <QtTest>

namespace {

// What a program prints for its arguments and input, the last line trimmed.
QByteArray output(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                  int *exitCode = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        qFatal("%s did not finish", qPrintable(program));
    if (exitCode)
        *exitCode = process.exitCode();
    return process.readAllStandardOutput().trimmed();
}

// libxcrypt's crypt() through Python, with a whole hash as the setting, or a
// prefix such as "$2a$" with cost 10 and a new salt.
QByteArray libxcrypt(const QByteArray &password, const QByteArray &setting)
{
    return output(QStringLiteral("python3"),
                  {QStringLiteral("-W"), QStringLiteral("ignore"), QStringLiteral("-c"),
                   QStringLiteral("import crypt, sys; p = sys.stdin.buffer.read().decode('utf-8', 'surrogateescape');"
                                  "s = sys.argv[1]; s = s if len(s) > 4 else s + '10$' + "
                                  "crypt.mksalt(crypt.METHOD_BLOWFISH)[7:]; print(crypt.crypt(p, s))"),
                   QString::fromLatin1(setting)},
                  password);
}

// The hash by its maker: htpasswd, libxcrypt with a prefix, or this hash itself.
QByteArray made(const QByteArray &maker, const QByteArray &password)
{
    if (maker.startsWith("htpasswd")) {
        const QByteArray line = output(QStringLiteral("htpasswd"),
                                       {QStringLiteral("-nbBC"), QString::fromLatin1(maker.mid(9)), QStringLiteral("u"),
                                        QString::fromUtf8(password)});
        return line.mid(line.indexOf(':') + 1);
    }
    if (maker.startsWith("libxcrypt "))
        return libxcrypt(password, maker.mid(10));
    return maker;
}

} // namespace

class TestBcrypt : public QObject
{
    Q_OBJECT

private slots:
    void verify_data();
    void verify();
    void madeHere_data();
    void madeHere();
};

void TestBcrypt::verify_data()
{
    QTest::addColumn<QByteArray>("maker");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("tried");
    QTest::addColumn<QByteArray>("expected"); // "yes", "no", or what is wrong with the hash
    const QByteArray long80 = QByteArray(79, 'p') + 'x';
    // Published vectors of OpenBSD's bcrypt.
    QTest::newRow("empty password") << QByteArray("$2a$10$k1wbIrmNyFAPwPVPSVa/zecw2BCEnBwVS2GbrmgzxFUOqW9dk4TCW")
                                    << QByteArray() << QByteArray() << QByteArray("yes");
    QTest::newRow("alphabet") << QByteArray("$2a$10$fVH8e28OQRj9tqiDXs1e1uxpsjN0c7II7YPKXua2NAKYvM6iQk7dq")
                              << QByteArray() << QByteArray("abcdefghijklmnopqrstuvwxyz") << QByteArray("yes");
    QTest::newRow("htpasswd $2y$") << QByteArray("htpasswd 10") << QByteArray("s3cret!") << QByteArray("s3cret!")
                                   << QByteArray("yes");
    QTest::newRow("htpasswd, wrong") << QByteArray("htpasswd 10") << QByteArray("s3cret!") << QByteArray("s3cret")
                                     << QByteArray("no");
    QTest::newRow("htpasswd, UTF-8") << QByteArray("htpasswd 11") << QByteArray("pässwörd ✓")
                                     << QByteArray("pässwörd ✓") << QByteArray("yes");
    QTest::newRow("$2b$, only 72 bytes count") << QByteArray("libxcrypt $2b$") << long80 << QByteArray(72, 'p')
                                               << QByteArray("yes");
    QTest::newRow("$2a$, byte 72 counts") << QByteArray("libxcrypt $2a$") << long80 << QByteArray(71, 'p')
                                          << QByteArray("no");
    QTest::newRow("cost 9") << QByteArray("htpasswd 9") << QByteArray("a") << QByteArray("a")
                            << QByteArray("bcrypt cost 9 is not taken: use 10 to 14");
    QTest::newRow("cost 15") << QByteArray("$2b$15$k1wbIrmNyFAPwPVPSVa/zecw2BCEnBwVS2GbrmgzxFUOqW9dk4TCW")
                             << QByteArray() << QByteArray() << QByteArray("bcrypt cost 15 is not taken: use 10 to 14");
    QTest::newRow("$2x$") << QByteArray("$2x$10$k1wbIrmNyFAPwPVPSVa/zecw2BCEnBwVS2GbrmgzxFUOqW9dk4TCW") << QByteArray()
                          << QByteArray() << QByteArray("not a bcrypt hash: it starts");
    QTest::newRow("short") << QByteArray("$2b$10$k1wbIrmNyFAPwPVPSVa/zecw2BCEnBwVS2G") << QByteArray() << QByteArray()
                           << QByteArray("not a bcrypt hash: it starts");
    QTest::newRow("a character outside") << QByteArray("$2b$10$k1wbIrmNyFAPwPVPSVa/zecw2BCEnBwVS2GbrmgzxFUOqW9dk4TC+")
                                         << QByteArray() << QByteArray()
                                         << QByteArray("not a bcrypt hash: its salt and digest hold");
}

void TestBcrypt::verify()
{
    QFETCH(QByteArray, maker);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, tried);
    QFETCH(QByteArray, expected);
    const QByteArray hash = made(maker, password);
    const std::string problem = Bcrypt::problem(hash.toStdString());
    const bool good = Bcrypt::verify(tried.toStdString(), hash.toStdString());
    const QByteArray found = !problem.empty() ? QByteArray::fromStdString(problem).left(expected.size())
                                              : QByteArray(good ? "yes" : "no");
    QCOMPARE(found, expected);
}

void TestBcrypt::madeHere_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("checked"); // what libxcrypt checks the hash printed against
    QTest::newRow("a line") << QByteArray("correct horse\n") << 0 << QByteArray("correct horse");
    QTest::newRow("Windows' line end, UTF-8") << QByteArray("grüße\r\n") << 0 << QByteArray("grüße");
    QTest::newRow("no line end") << QByteArray("x") << 0 << QByteArray("x");
    QTest::newRow("empty") << QByteArray("\n") << 2 << QByteArray();
    QTest::newRow("nothing") << QByteArray() << 2 << QByteArray();
    QTest::newRow("over 72 bytes") << QByteArray(73, 'a') << 2 << QByteArray();
}

void TestBcrypt::madeHere()
{
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, checked);
    int code = -1;
    const QByteArray hash = output(QStringLiteral(TELVANE_HUB_PROGRAM), {QStringLiteral("--hash-password")}, input, &code);
    QCOMPARE(code, exitCode);
    // Nothing printed on a refusal; a hash that libxcrypt agrees with otherwise.
    QCOMPARE(code == 0 ? libxcrypt(checked, hash) : QByteArray(), hash);
    QCOMPARE(hash.left(7), QByteArray(code == 0 ? "$2b$10$" : ""));
}

QTEST_MAIN(TestBcrypt)
#include "tst_bcrypt.moc"
