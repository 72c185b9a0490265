// The client's console on Windows: UTF-8 while the client runs, the user's
// own code page again afterwards.

#include "utf8console.h"

#include <QtTest>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

class TestUtf8Console : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void switchesAndRestores_data();
    void switchesAndRestores();
};

void TestUtf8Console::initTestCase()
{
    // Run from a pipe, the test has no console of its own yet.
    if (GetConsoleOutputCP() == 0)
        QVERIFY(AllocConsole());
    QVERIFY(GetConsoleOutputCP() != 0);
}

void TestUtf8Console::switchesAndRestores_data()
{
    QTest::addColumn<uint>("before");
    QTest::newRow("US OEM") << uint(437);
    QTest::newRow("Western European OEM") << uint(850);
    QTest::newRow("Western European ANSI") << uint(1252);
    QTest::newRow("already UTF-8") << uint(CP_UTF8);
}

void TestUtf8Console::switchesAndRestores()
{
    QFETCH(uint, before);
    QVERIFY(SetConsoleOutputCP(before));
    {
        const Utf8Console console;
        QCOMPARE(uint(GetConsoleOutputCP()), uint(CP_UTF8));
    }
    QCOMPARE(uint(GetConsoleOutputCP()), before);
}

QTEST_MAIN(TestUtf8Console)
#include "tst_utf8console.moc"
