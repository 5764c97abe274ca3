#pragma once

#include "serial/portmap.h"

#include <QComboBox>
#include <QPointer>
#include <QWidget>

#include <optional>

class QLabel;
class QTimer;

namespace korva
{

// A drop-down list whose text changes only by choosing an entry (or by the
// program): typed characters are discarded, and a click on the text opens the
// list as the arrow does. Tells when its list opens.
class ChoiceList : public QComboBox
{
    Q_OBJECT
public:
    explicit ChoiceList(QWidget *parent = nullptr);
    void showPopup() override;

signals:
    void popupAboutToShow();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_popup; // the list's popup, once it has been shown
    // The release of the press on the text that opened the list is still to come.
    bool m_pressOpenedList = false;
};

// Shows a text in a list as the program sets it: a text that is an entry also
// makes that entry the current one, so that the list never takes the text for
// a new choice when the focus leaves it.
void showListText(QComboBox *list, const QString &text);

class SystemPortScan;

// The Comms Setup page (CommsPic): port number and baud rate, and the device
// that the chosen port number stands for. While the page shows, the device line
// follows adapters plugged in or pulled: the system's ports are scanned again
// about once a second, on a worker thread.
class CommsPage : public QWidget
{
    Q_OBJECT
public:
    explicit CommsPage(QWidget *parent = nullptr);

    ChoiceList *portList() const { return m_port; } // Combo1
    ChoiceList *baudList() const { return m_baud; } // Combo2

    // Shows which device the port number in Combo1 maps to, by the last scan.
    void refreshDevice();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void onScanned(const QList<SystemPort> &scanned);

    ChoiceList *m_port = nullptr;
    ChoiceList *m_baud = nullptr;
    QLabel *m_device = nullptr;
    SystemPortScan *m_scan = nullptr;
    QTimer *m_look = nullptr;
    // The system's ports by the last scan; none until the first has ended.
    std::optional<QList<SystemPort>> m_scanned;
};

} // namespace korva
