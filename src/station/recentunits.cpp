#include "station/recentunits.h"

#include "production/ledgerlocation.h"
#include "production/slotboard.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace korva::station
{

namespace
{

enum Column { Time, Slot, Address, Result, Reason, Columns };
// Set on an item that stands out until acknowledged.
constexpr int kPendingRole = Qt::UserRole + 1;

bool standsOut(production::SlotState state)
{
    return state == production::SlotState::SentNotVerified ||
           state == production::SlotState::PassedNotRecorded ||
           state == production::SlotState::FailedNotRecorded;
}

void markPending(QTreeWidgetItem *item, bool pending)
{
    item->setData(Time, kPendingRole, pending);
    for (int column = 0; column < Columns; ++column) {
        QFont font = item->font(column);
        font.setBold(pending);
        item->setFont(column, font);
        item->setBackground(column, pending ? QBrush(QColor(0xf2, 0xb0, 0x00)) : QBrush());
        item->setForeground(column, pending ? QBrush(Qt::black) : QBrush());
    }
    if (!pending)
        item->setText(Result, item->text(Result) + QObject::tr(" (acknowledged)"));
}

} // namespace

RecentUnits::RecentUnits(QWidget *parent)
    : QGroupBox(parent), m_list(new QTreeWidget), m_acknowledge(new QPushButton(tr("&Acknowledge")))
{
    m_list->setObjectName(QStringLiteral("recentUnits"));
    m_list->setAccessibleName(tr("Recent units, newest first"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setHeaderLabels({tr("Time"), tr("Slot"), tr("Address"), tr("Result"), tr("Reason")});
    // Columns as wide as their longest text, set once: sizing them to their
    // contents would measure every row at every unit.
    const QFontMetrics metrics(m_list->font());
    const int margin = metrics.horizontalAdvance(QStringLiteral("MM"));
    for (const auto &[column, widest] :
         {std::pair{Time, QStringLiteral("00:00:00")}, std::pair{Slot, tr("Slot")},
          std::pair{Address, QStringLiteral("00000000")},
          std::pair{Result, production::stateWord(production::SlotState::AlreadyProvisioned)}})
        m_list->setColumnWidth(column, metrics.horizontalAdvance(widest) + margin);
    m_list->header()->setStretchLastSection(true);
    m_acknowledge->setObjectName(QStringLiteral("acknowledge"));
    m_acknowledge->setAccessibleName(tr("Acknowledge the selected units"));
    m_acknowledge->setToolTip(tr("A unit sent but not verified, or not recorded, stays marked "
                                 "until it has been set aside and acknowledged"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addWidget(m_acknowledge, 0, Qt::AlignRight);
    connect(m_acknowledge, &QPushButton::clicked, this, &RecentUnits::acknowledge);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &RecentUnits::updateButton);
    connect(m_list, &QTreeWidget::itemActivated, this, &RecentUnits::acknowledge);
    updateTitle();
    updateButton();
}

void RecentUnits::add(const production::SlotEvent &event, const QDateTime &when)
{
    auto *item = new QTreeWidgetItem;
    item->setText(Time, when.toString(QStringLiteral("HH:mm:ss")));
    item->setText(Slot, QString::number(event.slot));
    item->setText(Address, event.address ? production::addressText(*event.address) : QString());
    item->setText(Result, production::stateWord(event.state));
    item->setText(Reason, event.detail);
    item->setToolTip(Reason, event.detail);
    if (event.state == production::SlotState::Failed)
        item->setForeground(Result, QBrush(QColor(0xc0, 0x20, 0x20)));
    else if (event.state == production::SlotState::Passed)
        item->setForeground(Result, QBrush(QColor(0x1b, 0x7a, 0x33)));
    m_list->insertTopLevelItem(0, item);
    if (standsOut(event.state))
        markPending(item, true);
    // The oldest ordinary units make way; those to acknowledge stay.
    int ordinary = 0;
    for (int row = 0; row < m_list->topLevelItemCount();) {
        QTreeWidgetItem *each = m_list->topLevelItem(row);
        if (!each->data(Time, kPendingRole).toBool() && ++ordinary > kKept) {
            delete m_list->takeTopLevelItem(row);
            continue;
        }
        ++row;
    }
    updateTitle();
}

int RecentUnits::unacknowledged() const
{
    int count = 0;
    for (int row = 0; row < m_list->topLevelItemCount(); ++row)
        count += m_list->topLevelItem(row)->data(Time, kPendingRole).toBool();
    return count;
}

void RecentUnits::acknowledge()
{
    for (QTreeWidgetItem *item : m_list->selectedItems()) {
        if (item->data(Time, kPendingRole).toBool())
            markPending(item, false);
    }
    updateTitle();
    updateButton();
}

void RecentUnits::updateTitle()
{
    const int pending = unacknowledged();
    setTitle(pending == 0 ? tr("Recent units")
                          : tr("Recent units: %n to set aside and acknowledge", nullptr, pending));
}

void RecentUnits::updateButton()
{
    bool any = false;
    for (QTreeWidgetItem *item : m_list->selectedItems())
        any = any || item->data(Time, kPendingRole).toBool();
    m_acknowledge->setEnabled(any);
}

} // namespace korva::station
