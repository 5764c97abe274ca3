#pragma once

#include "config/moduleconfig.h"
#include "config/readback.h"

#include <QWidget>

#include <array>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace korva
{

// The Modem Settings page (ModemPic): the configuration fields and the Set,
// Reset Defaults and Refresh buttons.
class ModemPage : public QWidget
{
    Q_OBJECT
public:
    explicit ModemPage(QWidget *parent = nullptr);

    // The fourteen value fields, read from and written to the page.
    ConfigTexts texts() const;
    void setTexts(const ConfigTexts &texts);

    QLineEdit *addressBox(int index) const { return m_address[size_t(index)]; } // Text1..Text8
    QLineEdit *frequencyBox() const { return m_frequency; }                     // Text9
    QComboBox *txPowerList() const { return m_txPower; }                        // Text10
    QLineEdit *txPacketSizeBox() const { return m_txPacketSize; }               // Text11
    QLineEdit *rxPacketSizeBox() const { return m_rxPacketSize; }               // Text12
    QComboBox *rssiList() const { return m_rssi; }                              // Combo4
    QComboBox *rfTxSpeedList() const { return m_rfTxSpeed; }                    // Combo5
    QComboBox *bandList() const { return m_band; }                              // Combo6
    QPushButton *setButton() const { return m_set; }                            // Command2
    QPushButton *resetButton() const { return m_reset; }                        // Command6
    QPushButton *refreshButton() const { return m_refresh; }                    // Command3

    // Marks the fields a read-back showed different from what was written: text
    // in the warning colour and a tooltip naming both values. A mark stays until
    // clearMarks() or until the user edits that field.
    void markDifferences(const QList<FieldMismatch> &mismatches);
    void clearMarks();
    // The widget of value field 0..13, in ConfigTexts order.
    QWidget *valueField(int field) const;

    // Fills the four lists with their entries, in list order.
    void fillLists();

    // The first and last control in tab order.
    QWidget *firstField() const;
    QWidget *lastField() const;

signals:
    // The user chose a band from the list (mouse or keyboard).
    void bandChosen();
    // The user changed the band's text by typing.
    void bandEdited();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void clearMark(int field);

    std::array<QLineEdit *, kAddressBytes> m_address{};
    QLineEdit *m_frequency = nullptr;
    QComboBox *m_txPower = nullptr;
    QLineEdit *m_txPacketSize = nullptr;
    QLineEdit *m_rxPacketSize = nullptr;
    QComboBox *m_rssi = nullptr;
    QComboBox *m_rfTxSpeed = nullptr;
    QComboBox *m_band = nullptr;
    QPushButton *m_set = nullptr;
    QPushButton *m_reset = nullptr;
    QPushButton *m_refresh = nullptr;
    // True while the band's typed text is being finished (Enter, focus leaving).
    bool m_finishingBandEdit = false;
};

} // namespace korva
