#include "app/LaunchSwitches.h"
#include "app/QuorbellApp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    // The test modes run without any user interface.
    const LaunchRequest request = parseLaunchSwitches(args);
    if (request.mode != LaunchRequest::Mode::application)
        return runTestMode(request);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorbell"));
    QApplication::setOrganizationDomain(QStringLiteral("quorbell.org"));
    QuorbellApp app;
    app.start();
    return QApplication::exec();
}
