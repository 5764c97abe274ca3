#pragma once

#include "production/slotevent.h"

#include <QDateTime>
#include <QGroupBox>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace korva::station
{

// The recent units, newest first: time, slot, address, result, reason. A unit
// sent but not verified or not recorded stands out and stays listed until
// the operator acknowledges it; the others make way after kKept units.
class RecentUnits : public QGroupBox
{
    Q_OBJECT
public:
    static constexpr int kKept = 200;

    explicit RecentUnits(QWidget *parent = nullptr);

    void add(const production::SlotEvent &event, const QDateTime &when);
    // Units that stand out and are not yet acknowledged.
    int unacknowledged() const;
    QTreeWidget *list() const { return m_list; }
    QPushButton *acknowledgeButton() const { return m_acknowledge; }

public slots:
    // Acknowledges the selected units.
    void acknowledge();

private:
    void updateTitle();
    void updateButton();

    QTreeWidget *m_list;
    QPushButton *m_acknowledge;
};

} // namespace korva::station
