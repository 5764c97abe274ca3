#include "station/portpicker.h"

#include "serial/adapterinfo.h"
#include "serial/systemportscan.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace korva::station
{

namespace
{

constexpr int kRescanMs = 2000;
constexpr int kPortRole = Qt::UserRole;
constexpr int kSystemRole = Qt::UserRole + 1;

// The name a slot is best given: the adapter's USB connector (by-path), which
// stays the same whichever adapter is plugged into it and in whatever order.
QString slotName(const AdapterInfo &adapter)
{
    return adapter.byPath.isEmpty() ? adapter.device : adapter.byPath.constFirst();
}

QString describe(const AdapterInfo &adapter, bool isNew)
{
    QStringList parts{slotName(adapter)};
    if (!adapter.byPath.isEmpty())
        parts << adapter.device;
    if (!adapter.serialNumber.isEmpty())
        parts << QObject::tr("serial %1").arg(adapter.serialNumber);
    if (!adapter.location.isEmpty())
        parts << QObject::tr("USB %1").arg(adapter.location);
    if (!adapter.product.isEmpty())
        parts << adapter.product;
    QString text = parts.join(QStringLiteral(" · "));
    if (isNew)
        text += QObject::tr("   (just plugged in)");
    return text;
}

} // namespace

PortPicker::PortPicker(QWidget *parent)
    : QWidget(parent), m_list(new QListWidget), m_path(new QLineEdit),
      m_add(new QPushButton(tr("&Add"))), m_up(new QPushButton(tr("Move u&p"))),
      m_down(new QPushButton(tr("Move do&wn"))), m_scan(new SystemPortScan(this))
{
    m_list->setObjectName(QStringLiteral("slotList"));
    m_list->setAccessibleName(tr("Slots: serial ports, checked ones are slots"));
    m_path->setObjectName(QStringLiteral("slotPath"));
    m_path->setAccessibleName(tr("A port to add by path"));
    m_path->setPlaceholderText(tr("/dev/serial/by-path/… or a port number"));
    m_add->setAccessibleName(tr("Add the port as a slot"));
    m_up->setAccessibleName(tr("Move the slot up"));
    m_down->setAccessibleName(tr("Move the slot down"));
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(m_list, 0, 0, 1, 3);
    grid->addWidget(m_up, 0, 3, Qt::AlignTop);
    grid->addWidget(m_down, 0, 3, Qt::AlignBottom);
    grid->addWidget(m_path, 1, 0, 1, 2);
    grid->addWidget(m_add, 1, 2);
    connect(m_add, &QPushButton::clicked, this, &PortPicker::addPath);
    connect(m_path, &QLineEdit::returnPressed, this, &PortPicker::addPath);
    connect(m_list, &QListWidget::itemChanged, this, &PortPicker::changed);
    const auto move = [this](int by) {
        const int row = m_list->currentRow();
        if (row < 0 || row + by < 0 || row + by >= m_list->count())
            return;
        QListWidgetItem *item = m_list->takeItem(row);
        m_list->insertItem(row + by, item);
        m_list->setCurrentRow(row + by);
        emit changed();
    };
    connect(m_up, &QPushButton::clicked, this, [move] { move(-1); });
    connect(m_down, &QPushButton::clicked, this, [move] { move(1); });
    connect(m_scan, &SystemPortScan::finished, this, &PortPicker::scanned);
    m_rescan.setInterval(kRescanMs);
    connect(&m_rescan, &QTimer::timeout, m_scan, &SystemPortScan::start);
    m_rescan.start();
    m_scan->start();
}

PortPicker::~PortPicker() = default;

QListWidgetItem *PortPicker::itemFor(const QString &port)
{
    for (int row = 0; row < m_list->count(); ++row) {
        if (m_list->item(row)->data(kPortRole).toString() == port)
            return m_list->item(row);
    }
    auto *item = new QListWidgetItem(port, m_list);
    item->setData(kPortRole, port);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
    return item;
}

void PortPicker::setPorts(const QStringList &ports)
{
    for (int row = 0; row < m_list->count(); ++row)
        m_list->item(row)->setCheckState(Qt::Unchecked);
    // The job's slots come first, in their order.
    for (int index = int(ports.size()) - 1; index >= 0; --index) {
        QListWidgetItem *item = itemFor(ports.at(index));
        m_list->takeItem(m_list->row(item));
        m_list->insertItem(0, item);
        item->setCheckState(Qt::Checked);
    }
}

QStringList PortPicker::ports() const
{
    QStringList chosen;
    for (int row = 0; row < m_list->count(); ++row) {
        if (m_list->item(row)->checkState() == Qt::Checked)
            chosen << m_list->item(row)->data(kPortRole).toString();
    }
    return chosen;
}

void PortPicker::setReadOnly(bool readOnly)
{
    m_list->setEnabled(!readOnly);
    for (QWidget *control : {static_cast<QWidget *>(m_path), static_cast<QWidget *>(m_add),
                             static_cast<QWidget *>(m_up), static_cast<QWidget *>(m_down)})
        control->setEnabled(!readOnly);
}

void PortPicker::scanned(const QList<SystemPort> &ports)
{
    QSet<QString> present;
    for (const SystemPort &port : ports) {
        const AdapterInfo adapter = adapterInfo(port.device.path);
        if (!m_firstScan && !m_seen.contains(adapter.device))
            m_plugged.insert(adapter.device);
        m_seen.insert(adapter.device);
        const bool isNew = m_plugged.contains(adapter.device);
        present.insert(slotName(adapter));
        QListWidgetItem *item = itemFor(slotName(adapter));
        item->setData(kSystemRole, true);
        item->setText(describe(adapter, isNew));
        QFont font = item->font();
        font.setBold(isNew);
        item->setFont(font);
    }
    m_firstScan = false;
    // A system port that went away stays only as a slot of the job.
    for (int row = m_list->count() - 1; row >= 0; --row) {
        QListWidgetItem *item = m_list->item(row);
        const QString port = item->data(kPortRole).toString();
        if (!item->data(kSystemRole).toBool() || present.contains(port))
            continue;
        if (item->checkState() == Qt::Checked)
            item->setText(tr("%1   (not plugged in)").arg(port));
        else
            delete m_list->takeItem(row);
    }
}

void PortPicker::addPath()
{
    QString port = m_path->text().trimmed();
    if (port.isEmpty())
        return;
    if (port.contains(u'/') && !port.startsWith(u'/'))
        port = QFileInfo(port).absoluteFilePath();
    QListWidgetItem *item = itemFor(port);
    item->setCheckState(Qt::Checked);
    m_list->setCurrentItem(item);
    m_path->clear();
    emit changed();
}

} // namespace korva::station
