#include "station/stationoptions.h"
#include "station/stationwindow.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <cstdio>

namespace
{

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// The icon from PNGs built into the program, so that the window shows it
// uninstalled and without an SVG image plugin.
QIcon applicationIcon()
{
    QIcon icon;
    const QDir icons(QStringLiteral(":/icons"));
    for (const QString &name : icons.entryList(QDir::Files))
        icon.addFile(icons.filePath(name));
    return icon;
}

} // namespace

// Start-up: the job from the command line (a job file, options over its
// fields), the window, and the signals that stop a run as Stop does.
int main(int argc, char *argv[])
{
    using namespace korva::station;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korva-station"));
    QApplication::setApplicationDisplayName(QStringLiteral("KORVA Station"));
    QGuiApplication::setDesktopFileName(QStringLiteral(KORVA_STATION_APP_ID));
    QApplication::setWindowIcon(applicationIcon());
    const StationOptions options = parseStationOptions(QApplication::arguments().mid(1));
    switch (options.action) {
    case StationOptions::Action::Help:
        print(stdout, stationHelpText());
        return 0;
    case StationOptions::Action::Version:
        print(stdout, stationVersionText() + u'\n');
        return 0;
    case StationOptions::Action::Error:
        print(
            stderr,
            QStringLiteral("korva-station: %1\nTry 'korva-station --help'.\n").arg(options.error));
        return 2;
    case StationOptions::Action::Run:
        break;
    }

    StationWindow window;
    QString refused;
    window.setJob(jobOf(options, refused), options.jobFile);
    window.show();
    window.watchStopSignals();
    if (!refused.isEmpty())
        window.showMessage(refused, true);
    else if (options.start)
        window.startRun();
    if (!window.message().isEmpty())
        print(stderr, QStringLiteral("korva-station: %1\n").arg(window.message()));
    // A stop signal while --start waited for the ledger has closed the window already.
    if (!window.isVisible())
        return 0;
    return QApplication::exec();
}
