#pragma once

#include "serial/portmap.h"

#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace korva
{
class SystemPortScan;
}

namespace korva::station
{

// Chooses a job's slots: the system's serial ports, each shown with its
// stable by-path name, its adapter's USB serial number and location, checked
// to be a slot, plus ports given by path (a fixture's links, an emulator). The
// list follows adapters plugged in and pulled; one that appeared while the
// list is open is marked, so plugging the adapters in one by one tells which
// is which.
class PortPicker : public QWidget
{
    Q_OBJECT
public:
    explicit PortPicker(QWidget *parent = nullptr);
    ~PortPicker() override;

    void setPorts(const QStringList &ports);
    QStringList ports() const; // the checked ones, in the list's order

    void setReadOnly(bool readOnly);

signals:
    void changed();

private:
    void scanned(const QList<SystemPort> &ports);
    void addPath();
    QListWidgetItem *itemFor(const QString &port);

    QListWidget *m_list;
    QLineEdit *m_path;
    QPushButton *m_add;
    QPushButton *m_up;
    QPushButton *m_down;
    SystemPortScan *m_scan;
    QTimer m_rescan;
    QSet<QString> m_seen;    // devices seen by the first scan and since
    QSet<QString> m_plugged; // devices that appeared while the list was open
    bool m_firstScan = true;
};

} // namespace korva::station
