#include "app/closesignals.h"
#include "app/form1.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

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
// window exists. SIGTERM, SIGHUP and SIGINT close it as its close button does.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    korva::CloseSignals closeSignals;
    QApplication::setApplicationName(QStringLiteral("KORVA Module Setup Utility"));
    QApplication::setWindowIcon(applicationIcon());
    // Lets a Wayland compositor match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KORVA_APP_ID));
    korva::Form1 window;
    QObject::connect(&closeSignals, &korva::CloseSignals::closeRequested, &window,
                     &korva::Form1::closeForSignal);
    window.show();
    closeSignals.watch();
    return QApplication::exec();
}
