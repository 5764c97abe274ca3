#pragma once

#include <QComboBox>
#include <QPointer>
#include <QWidget>

class QLabel;

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

// The Comms Setup page (CommsPic): port number and baud rate, and the device
// that the chosen port number stands for.
class CommsPage : public QWidget
{
    Q_OBJECT
public:
    explicit CommsPage(QWidget *parent = nullptr);

    ChoiceList *portList() const { return m_port; } // Combo1
    ChoiceList *baudList() const { return m_baud; } // Combo2

    // Shows which device the port number in Combo1 maps to right now.
    void refreshDevice();

protected:
    void showEvent(QShowEvent *event) override;

private:
    ChoiceList *m_port = nullptr;
    ChoiceList *m_baud = nullptr;
    QLabel *m_device = nullptr;
};

} // namespace korva
