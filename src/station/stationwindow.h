#pragma once

#include "production/job.h"
#include "station/stationrun.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;

namespace korva
{
class SignalPipe;
}

namespace korva::station
{

class CountersPanel;
class LedgerHealth;
class RecentUnits;
class ShiftChart;
class TileGrid;

// korva-station's window: the job, one tile per slot, the counters of the run
// and the job, a chart of the shift, the recent units and the ledger's
// health. Start and Stop are the only controls while a run is under way; the
// job cannot be changed then.
class StationWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    void setJob(const production::Job &job, const QString &file = {});
    const production::Job &job() const { return m_run.job(); }
    bool isRunning() const { return m_run.isRunning(); }
    StationRun &run() { return m_run; }
    TileGrid *tiles() const { return m_tiles; }
    CountersPanel *counters() const { return m_counters; }
    RecentUnits *recentUnits() const { return m_recent; }
    ShiftChart *chart() const { return m_chart; }
    // Where the count of journal records the ledger lacks is to be shown.
    LedgerHealth *ledgerHealth() const { return m_health; }
    // The message under the job: why a run could not start, or how it ended.
    QString message() const;
    void showMessage(const QString &text, bool trouble);
    // From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT stop the run as Stop
    // does and then close the window; SIGTSTP waits until no module is in
    // command mode. One window of a process does this.
    void watchStopSignals();

public slots:
    void startRun();
    void stopRun();
    void editJob();
    // As Stop, then the window closes once every slot has finished.
    void stopAndClose();
    void toggleFullScreen();

signals:
    void runFinished();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *makeBar();
    void showJob();
    void showSlot(int index);
    void showCounts();
    void onUnit(const production::SlotEvent &event, const QDateTime &when);
    void onFinished(const QString &how, const QString &problem);
    void updateControls();
    void orderTabs();

    StationRun m_run;
    std::unique_ptr<SignalPipe> m_stopSignals;
    QString m_jobFile;
    bool m_closeWhenDone = false;
    bool m_stopping = false;
    bool m_stoppingNow = false; // a second stop: every step ends at once
    QLabel *m_jobText = nullptr;
    QLabel *m_message = nullptr;
    QPushButton *m_jobButton = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_stop = nullptr;
    QPushButton *m_fullScreen = nullptr;
    QCheckBox *m_sound = nullptr;
    TileGrid *m_tiles = nullptr;
    CountersPanel *m_counters = nullptr;
    ShiftChart *m_chart = nullptr;
    RecentUnits *m_recent = nullptr;
    LedgerHealth *m_health = nullptr;
    QTimer m_clock; // the rates and the chart move on while nothing happens
    int m_ticks = 0;
    bool m_chartStale = false; // units came since the chart was drawn
};

} // namespace korva::station
