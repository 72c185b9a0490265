#include "testsection.h"

#include <QCoreApplication>

std::string testSectionName(int generation)
{
    QString program = QCoreApplication::applicationName();
    if (program.startsWith(QLatin1String("tst_")))
        program.remove(0, 4);
    std::string name = "/telvane-test-" + program.toStdString() + '-' + std::to_string(QCoreApplication::applicationPid());
    if (generation)
        name += '-' + std::to_string(generation);
    return name;
}
