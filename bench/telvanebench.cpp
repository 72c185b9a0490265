// telvane-bench: the window's and the service's figures, measured in one
// process on a section of its own. Each figure is a median of repeated runs
// and counts the event processing the work causes (layout, painting of the
// shown window on the platform in use), not only the slot itself.
//
// Prints one line per figure: "figure<TAB>workload<TAB>median ms<TAB>runs".

#include "mainwindow.h"
#include "demosource.h"
#include "network.h"
#include "readinghash.h"
#include "sectionwriter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// Counts every event delivered in this process, to tell when the loop is idle.
class EventCounter : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *) override
    {
        ++count;
        return false;
    }
    quint64 count = 0;
};

EventCounter *events = nullptr;

// The most readings any figure uses: as many as Telvane shows.
constexpr std::size_t largestTable = 16384;

// Runs the event loop until a whole pass delivers nothing.
void settle()
{
    for (;;) {
        const quint64 before = events->count;
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (events->count == before)
            return;
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Repeats `run` (which returns milliseconds) at least `minimumRuns` times and
// up to `runs` times, stopping early once a minute has gone into it.
void report(const char *figure, const QString &workload, int runs, const std::function<double()> &run)
{
    std::vector<double> times;
    QElapsedTimer spent;
    spent.start();
    constexpr int minimumRuns = 3;
    while (int(times.size()) < runs && (int(times.size()) < minimumRuns || spent.elapsed() < 60000))
        times.push_back(run());
    std::printf("%s\t%s\t%.2f\t%zu\n", figure, qPrintable(workload), median(times), times.size());
    std::fflush(stdout);
}

double timed(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    settle();
    return double(timer.nsecsElapsed()) / 1e6;
}

// A client in a thread of its own, like a client in another process: it
// connects, then reads everything that arrives, counting replies.
class Client : public QThread
{
public:
    explicit Client(quint16 port) : port(port) {}
    std::atomic<long> replies{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{false};
    std::atomic<qint64> connectToReplies{-1}; // ns from connect to `awaited` replies
    long awaited = 0;

protected:
    void run() override
    {
        QTcpSocket socket;
        QElapsedTimer timer;
        timer.start();
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return;
        connected = true;
        while (!stop) {
            if (!socket.waitForReadyRead(50))
                continue;
            const QByteArray bytes = socket.readAll();
            replies += bytes.count(';');
            if (awaited > 0 && replies >= awaited && connectToReplies < 0)
                connectToReplies = timer.nsecsElapsed();
        }
    }

private:
    quint16 port;
};

void waitFor(const std::function<bool()> &condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class Bench
{
public:
    Bench()
    {
        name = "/telvane-bench-" + std::to_string(QCoreApplication::applicationPid());
        std::string error;
        const DemoSource machine(0);
        if (!writer.create(name, machine.sensorCapacity(), largestTable, &error))
            qFatal("cannot create the section: %s", error.c_str());
        (void)writer.setSensors(machine.sensors());
        MainWindowEnvironment environment;
        environment.sectionName = name;
        environment.port = 0; // any free port
        environment.addresses = [] { return QList<QHostAddress>(); };
        window = new MainWindow(environment);
        // The bench ticks by hand; the window's own timer waits 99.9 s.
        window->findChild<QDoubleSpinBox *>(QStringLiteral("doubleSpinBox"))->setValue(99.9);
        window->resize(900, 700);
        window->show();
        settle();
        port = window->findChild<Network *>()->listeningPort();
    }
    ~Bench() { delete window; }

    void publish(std::size_t count)
    {
        readings = DemoSource(count).refresh();
        (void)writer.setReadings(readings);
    }

    // Every value changes, so that every label really gets a new text.
    void changeValues()
    {
        ++generation;
        for (std::size_t i = 0; i < readings.size(); ++i)
            (void)writer.setValue(i, readings[i].value + 0.125 * double(generation % 64));
    }

    void tableBuild(std::size_t count)
    {
        report("table build", QStringLiteral("refresh_data, %1 readings").arg(count), 7, [&] {
            publish(0);
            window->refresh_data();
            settle();
            publish(count);
            return timed([&] { window->refresh_data(); });
        });
    }

    // As on a change of the reading count: the old rows go, the new ones come.
    void tableRebuild(std::size_t count)
    {
        publish(count);
        window->refresh_data();
        settle();
        report("table rebuild", QStringLiteral("refresh_data, %1 readings replacing as many").arg(count), 7,
               [&] { return timed([&] { window->refresh_data(); }); });
    }

    void tick(std::size_t count)
    {
        publish(count);
        window->refresh_data();
        settle();
        report("tick", QStringLiteral("refresh_readings, %1 readings, no requests").arg(count), 21, [&] {
            changeValues();
            return timed([&] { window->refresh_readings(); });
        });
    }

    void tickWithReplies(std::size_t count, int requests)
    {
        publish(count);
        Client client(port);
        client.start();
        waitFor([&] { return client.replies >= long(count); }); // the catalogue
        report("tick with replies",
               QStringLiteral("refresh_readings, %1 readings, %2 requests pending").arg(count).arg(requests), 21, [&] {
                   changeValues();
                   for (int j = 0; j < requests; ++j)
                       {
                       const section::ReadingRecord &reading = readings[std::size_t(j) % readings.size()];
                       window->sendRequestedHash(readingHash(QString::fromLatin1(reading.label.c_str()), reading.sensorIndex));
                   }
                   return timed([&] { window->refresh_readings(); });
               });
        client.stop = true;
        client.wait();
    }

    void catalogue(std::size_t count)
    {
        publish(count);
        window->refresh_data();
        settle();
        report("catalogue", QStringLiteral("connect until the last byte of %1 replies (loopback)").arg(count), 11, [&] {
            Client client(port);
            client.awaited = long(count);
            client.start();
            waitFor([&] { return client.connectToReplies >= 0; });
            const double ms = double(client.connectToReplies) / 1e6;
            client.stop = true;
            client.wait();
            settle();
            return ms;
        });
    }

private:
    section::Writer writer;
    std::string name;
    MainWindow *window = nullptr;
    quint16 port = 0;
    std::vector<section::ReadingRecord> readings;
    int generation = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_NO_SUBTRACTOPAQUESIBLINGS", "1"); // as telvane's main does
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures Telvane's table build, tick and catalogue."));
    parser.addHelpOption();
    const QCommandLineOption quickOption(QStringLiteral("quick"), QStringLiteral("Leave out the 5,000-reading figures."));
    const QCommandLineOption onlyOption(QStringLiteral("only"),
                                        QStringLiteral("Measure only this figure: build, rebuild, tick, replies or catalogue."),
                                        QStringLiteral("FIGURE"));
    parser.addOptions({quickOption, onlyOption});
    parser.process(application);
    const bool quick = parser.isSet(quickOption);
    const QString only = parser.value(onlyOption);
    const auto wanted = [&](const char *figure) { return only.isEmpty() || only == QLatin1String(figure); };

    // The window's log lines would drown the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    EventCounter counter;
    events = &counter;
    application.installEventFilter(&counter);

    Bench bench;
    std::printf("platform\t%s\n", qPrintable(QGuiApplication::platformName()));
    for (std::size_t count : {100, 1000, 5000})
        if (wanted("build") && (!quick || count < 5000))
            bench.tableBuild(count);
    for (std::size_t count : {1000, 5000})
        if (wanted("rebuild") && (!quick || count < 5000))
            bench.tableRebuild(count);
    for (std::size_t count : {1000, 5000, 16384})
        if (wanted("tick") && (!quick || count < 5000))
            bench.tick(count);
    if (wanted("replies"))
        bench.tickWithReplies(1000, 1000);
    if (wanted("catalogue"))
        bench.catalogue(1000);
    return 0;
}
