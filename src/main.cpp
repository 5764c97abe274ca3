#include "app/form1.h"

#include <QApplication>

// Start-up: create the main window and show it; the program runs as long as the
// window exists.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVA Module Setup Utility"));
    korva::Form1 window;
    window.show();
    return QApplication::exec();
}
