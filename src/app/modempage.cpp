#include "app/modempage.h"

#include "app/appearance.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTimer>

namespace korva
{

namespace
{

constexpr qreal kTextBoxPoints = 10.5;
constexpr qreal kListPoints = 11.25;
constexpr int kAddressBoxWidth = 30;
constexpr int kAddressBoxSpacing = 3;
// Four address boxes and their spacing: every field of the page is this wide.
constexpr int kFieldWidth = 4 * kAddressBoxWidth + 3 * kAddressBoxSpacing;

QLabel *makeLabel(const QString &name, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QLineEdit *makeTextBox(const QString &name, QWidget *parent)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setAlignment(Qt::AlignCenter);
    styleValueField(box, kTextBoxPoints);
    return box;
}

QComboBox *makeList(const QString &name, QWidget *parent)
{
    auto *list = new QComboBox(parent);
    list->setObjectName(name);
    list->setEditable(true);
    // Typed text stays as typed: no entry is added on Enter, nothing is completed.
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setCompleter(nullptr);
    list->setFixedWidth(kFieldWidth);
    styleValueField(list, kListPoints);
    return list;
}

void describeField(QWidget *field, const QString &name, const QString &description)
{
    field->setAccessibleName(name);
    field->setAccessibleDescription(description);
    // An editable list's text box is a widget of its own to a screen reader.
    if (auto *list = qobject_cast<QComboBox *>(field)) {
        list->lineEdit()->setAccessibleName(name);
        list->lineEdit()->setAccessibleDescription(description);
    }
}

bool isEndOfBandEdit(const QEvent *event)
{
    if (event->type() == QEvent::FocusOut)
        return true;
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent *>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

ModemPage::ModemPage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ModemPic"));
    stylePage(this);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setHorizontalSpacing(7);
    grid->setVerticalSpacing(5);
    grid->setColumnStretch(2, 1);

    // A screen reader names each field by its caption (a box of an address also
    // by its byte) and reads the hint beside it as the field's description.
    auto addAddressRow = [&](int row, const QString &labelName, const QString &caption,
                             int firstBox, const QString &hintName) {
        const QString hint = QStringLiteral("0-FF Hex");
        grid->addWidget(makeLabel(labelName, caption, this), row, 0);
        auto *boxes = new QHBoxLayout;
        boxes->setSpacing(kAddressBoxSpacing);
        for (int i = firstBox; i < firstBox + 4; ++i) {
            auto *box = makeTextBox(QStringLiteral("Text%1").arg(i + 1), this);
            box->setMaxLength(2);
            box->setFixedWidth(kAddressBoxWidth);
            box->installEventFilter(this);
            describeField(
                box, QStringLiteral("%1, byte %2 of 4").arg(caption).arg(i - firstBox + 1), hint);
            m_address[size_t(i)] = box;
            boxes->addWidget(box);
        }
        boxes->addStretch();
        grid->addLayout(boxes, row, 1);
        grid->addWidget(makeLabel(hintName, hint, this), row, 2);
    };
    auto addRow = [&](int row, const QString &labelName, const QString &caption, QWidget *field,
                      const QString &hintName = {}, const QString &hint = {}) {
        QLabel *label = makeLabel(labelName, caption, this);
        label->setBuddy(field);
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
        describeField(field, caption, hint);
        if (!hintName.isEmpty())
            grid->addWidget(makeLabel(hintName, hint, this), row, 2);
    };

    addAddressRow(0, QStringLiteral("Label1"), QStringLiteral("Destination Address"), 0,
                  QStringLiteral("Label13"));
    addAddressRow(1, QStringLiteral("Label2"), QStringLiteral("Local Address"), 4,
                  QStringLiteral("Label14"));
    m_band = makeList(QStringLiteral("Combo6"), this);
    addRow(2, QStringLiteral("Label30"), QStringLiteral("Band"), m_band);
    m_frequency = makeTextBox(QStringLiteral("Text9"), this);
    m_frequency->setFixedWidth(kFieldWidth);
    addRow(3, QStringLiteral("Label3"), QStringLiteral("RF Frequency"), m_frequency,
           QStringLiteral("Label7"), QStringLiteral("MHz"));
    m_frequency->setAccessibleName(QStringLiteral("RF Frequency in MHz"));
    m_txPower = makeList(QStringLiteral("Text10"), this);
    addRow(4, QStringLiteral("Label4"), QStringLiteral("Tx Power"), m_txPower);
    m_rssi = makeList(QStringLiteral("Combo4"), this);
    addRow(5, QStringLiteral("Label23"), QStringLiteral("RSSI Threshhold"), m_rssi);
    m_txPacketSize = makeTextBox(QStringLiteral("Text11"), this);
    m_txPacketSize->setFixedWidth(kFieldWidth);
    addRow(6, QStringLiteral("Label5"), QStringLiteral("Tx Packet Size"), m_txPacketSize,
           QStringLiteral("Label10"), QStringLiteral("Decimal (1-30)"));
    m_rxPacketSize = makeTextBox(QStringLiteral("Text12"), this);
    m_rxPacketSize->setFixedWidth(kFieldWidth);
    addRow(7, QStringLiteral("Label6"), QStringLiteral("Rx Packet Size"), m_rxPacketSize,
           QStringLiteral("Label12"), QStringLiteral("Decimal (1-30)"));
    m_rfTxSpeed = makeList(QStringLiteral("Combo5"), this);
    addRow(8, QStringLiteral("Label28"), QStringLiteral("RF TX Speed"), m_rfTxSpeed,
           QStringLiteral("Label29"), QStringLiteral("BPS"));

    auto makeButton = [this](const QString &name, const QString &caption) {
        auto *button = new QPushButton(caption, this);
        button->setObjectName(name);
        button->setEnabled(false);
        return button;
    };
    m_set = makeButton(QStringLiteral("Command2"), QStringLiteral("Set"));
    m_reset = makeButton(QStringLiteral("Command6"), QStringLiteral("Reset Defaults"));
    m_refresh = makeButton(QStringLiteral("Command3"), QStringLiteral("Refresh"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_set);
    buttons->addStretch();
    buttons->addWidget(m_reset);
    buttons->addStretch();
    buttons->addWidget(m_refresh);
    grid->setRowMinimumHeight(9, 6);
    grid->addLayout(buttons, 10, 0, 1, 3);
    grid->setRowStretch(11, 1);

    connect(m_band, &QComboBox::activated, this, [this] {
        if (!m_finishingBandEdit)
            emit bandChosen();
    });
    connect(m_band->lineEdit(), &QLineEdit::textEdited, this, &ModemPage::bandEdited);
    m_band->installEventFilter(this);
    m_band->lineEdit()->installEventFilter(this);

    for (int field = 0; field < kPageFieldCount; ++field) {
        QWidget *widget = valueField(field);
        auto *box = qobject_cast<QLineEdit *>(widget);
        if (auto *list = qobject_cast<QComboBox *>(widget)) {
            box = list->lineEdit();
            connect(list, &QComboBox::activated, this, [this, field] { clearMark(field); });
        }
        connect(box, &QLineEdit::textEdited, this, [this, field] { clearMark(field); });
    }

    QWidget *previous = nullptr;
    for (QWidget *next : std::initializer_list<QWidget *>{
             m_address[0], m_address[1], m_address[2], m_address[3], m_address[4], m_address[5],
             m_address[6], m_address[7], m_band, m_frequency, m_txPower, m_rssi, m_txPacketSize,
             m_rxPacketSize, m_rfTxSpeed, m_set, m_reset, m_refresh}) {
        if (previous)
            setTabOrder(previous, next);
        previous = next;
    }
}

void ModemPage::fillLists()
{
    m_txPower->addItems(txPowerTexts());
    m_rssi->addItems(rssiThresholdTexts());
    m_rfTxSpeed->addItems(rfTxSpeedTexts());
    m_band->addItems(bandTexts());
}

QWidget *ModemPage::firstField() const
{
    return m_address[0];
}

QWidget *ModemPage::lastField() const
{
    return m_refresh;
}

ConfigTexts ModemPage::texts() const
{
    ConfigTexts texts;
    for (size_t i = 0; i < m_address.size(); ++i)
        texts.address[i] = m_address[i]->text();
    texts.frequency = m_frequency->text();
    texts.txPower = m_txPower->currentText();
    texts.txPacketSize = m_txPacketSize->text();
    texts.rxPacketSize = m_rxPacketSize->text();
    texts.rssiThreshold = m_rssi->currentText();
    texts.rfTxSpeed = m_rfTxSpeed->currentText();
    return texts;
}

void ModemPage::setTexts(const ConfigTexts &texts)
{
    for (size_t i = 0; i < m_address.size(); ++i)
        m_address[i]->setText(texts.address[i]);
    m_frequency->setText(texts.frequency);
    m_txPower->setEditText(texts.txPower);
    m_txPacketSize->setText(texts.txPacketSize);
    m_rxPacketSize->setText(texts.rxPacketSize);
    m_rssi->setEditText(texts.rssiThreshold);
    m_rfTxSpeed->setEditText(texts.rfTxSpeed);
}

QWidget *ModemPage::valueField(int field) const
{
    if (field < kAddressBytes)
        return m_address[size_t(field)];
    const std::array<QWidget *, kPageFieldCount - kAddressBytes> others{
        m_frequency, m_txPower, m_txPacketSize, m_rxPacketSize, m_rssi, m_rfTxSpeed};
    return others[size_t(field - kAddressBytes)];
}

void ModemPage::markDifferences(const QList<FieldMismatch> &mismatches)
{
    for (const FieldMismatch &mismatch : mismatches) {
        QWidget *widget = valueField(mismatch.field);
        setValueFieldWarning(widget, true);
        widget->setToolTip(QStringLiteral("Written: %1. The module holds: %2.")
                               .arg(mismatch.written, mismatch.held));
    }
}

void ModemPage::clearMarks()
{
    for (int field = 0; field < kPageFieldCount; ++field)
        clearMark(field);
}

void ModemPage::clearMark(int field)
{
    QWidget *widget = valueField(field);
    setValueFieldWarning(widget, false);
    widget->setToolTip({});
}

bool ModemPage::eventFilter(QObject *watched, QEvent *event)
{
    if ((watched == m_band || watched == m_band->lineEdit()) && !m_finishingBandEdit &&
        isEndOfBandEdit(event)) {
        // Finishing a typed text that equals an entry makes the list pick that
        // entry and report it as chosen; the typing already read the module.
        const QScopedValueRollback finishing(m_finishingBandEdit, true);
        watched->event(event);
        return true;
    }
    if (event->type() == QEvent::FocusIn) {
        auto *box = qobject_cast<QLineEdit *>(watched);
        if (box) {
            box->setMaxLength(2);
            // Selected after the focus event has been handled, or the mouse press
            // that gave the focus would clear the selection again.
            QTimer::singleShot(0, box, [box] { box->setSelection(0, int(box->text().size())); });
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace korva
