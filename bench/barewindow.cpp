#include <QApplication>
#include <QWidget>

// A bare Qt window of the tool's size: the start-up bench starts it beside the
// tool, so the tool's own share of the time to map a window can be told apart
// from what any Qt program pays on the machine at that moment.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(425, 468);
    window.show();
    return QApplication::exec();
}
