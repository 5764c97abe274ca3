#include "app/form1.h"
#include "module/signalpipe.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTimer>

#include <fontconfig/fontconfig.h>

#include <csignal>
#include <thread>

namespace
{

// The application's icon, from PNGs built into the program, so that the window
// shows it uninstalled and without an SVG image plugin.
QIcon applicationIcon()
{
    QIcon icon;
    const QDir icons(QStringLiteral(":/icons"));
    for (const QString &name : icons.entryList(QDir::Files))
        icon.addFile(icons.filePath(name));
    return icon;
}

} // namespace

// Start-up: create the main window and show it; the program runs as long as the
// window exists. SIGTERM, SIGHUP and SIGINT close it as its close button does,
// rather than ending the program with the module in command mode.
int main(int argc, char *argv[])
{
    // Reading the font configuration takes milliseconds, and the window's first
    // text needs it: read it on another core while Qt connects to the display.
    std::thread fontConfiguration([] { FcInit(); });
    QApplication app(argc, argv);
    fontConfiguration.join();
    korva::SignalPipe closeSignals({SIGTERM, SIGHUP, SIGINT},
                                   korva::SignalPipe::WhenIgnored::Handle);
    QApplication::setApplicationName(QStringLiteral("KORVA Module Setup Utility"));
    // Lets a Wayland compositor match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KORVA_APP_ID));
    // Read while the window's load pauses, before it is shown.
    QTimer::singleShot(0, [] { QApplication::setWindowIcon(applicationIcon()); });
    korva::Form1 window;
    QObject::connect(&closeSignals, &korva::SignalPipe::received, &window,
                     &korva::Form1::closeForSignal);
    window.show();
    // A signal that came while the window loaded has waited in the pipe until now.
    closeSignals.watch();
    return QApplication::exec();
}
