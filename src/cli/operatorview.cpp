#include "cli/operatorview.h"

#include "production/recordfile.h"

#include <algorithm>
#include <csignal>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korva::cli
{

using production::RunSummary;
using production::SlotEvent;
using production::SlotState;

namespace
{

constexpr int kRedrawGapMs = 100; // at most ten drawings a second
constexpr int kDefaultWidth = 80;

} // namespace

OperatorView::OperatorView(int fd, bool noColorOption, QObject *parent) : QObject(parent), m_fd(fd)
{
    // A reader that went away makes a write fail with EPIPE, reported by
    // failure(), instead of ending the run.
    std::signal(SIGPIPE, SIG_IGN);
    const QByteArray term = qgetenv("TERM");
    m_terminal = ::isatty(fd) == 1 && !term.isEmpty() && term != "dumb";
    m_style.attributes = m_terminal;
    m_style.colour = colourWanted(m_terminal, noColorOption);
    m_style.utf8 = qstrcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
    m_drawTimer.setSingleShot(true);
    connect(&m_drawTimer, &QTimer::timeout, this, &OperatorView::draw);
}

void OperatorView::show(const SlotEvent &event)
{
    if (m_finished)
        return;
    SlotRow &row = m_rows[event.slot];
    row.now = event;
    if (m_totals.count(event.state)) {
        row.lastResult = event;
    } else if (event.state != SlotState::RemoveUnit) {
        row.lastResult.reset();
    }
    if (m_terminal) {
        scheduleDraw();
        return;
    }
    const QString line = plainLine(event);
    if (m_printed.value(event.slot) != line) {
        m_printed.insert(event.slot, line);
        write((line + u'\n').toUtf8());
    }
}

void OperatorView::message(const QString &text)
{
    if (!m_terminal) {
        write((text + u'\n').toUtf8());
        return;
    }
    write(eraseDrawing() + (text + u'\n').toUtf8());
    m_drawnLines = 0;
    if (!m_rows.isEmpty())
        draw();
}

QString OperatorView::finish(const RunSummary &summary)
{
    if (m_finished)
        return m_failure;
    if (m_terminal)
        draw();
    // The final table stays as it is: what follows goes under it.
    m_drawnLines = 0;
    m_finished = true;
    QStringList devices;
    for (int slot = 1; slot <= summary.slotTotals.size(); ++slot)
        devices << m_rows.value(slot).now.device;
    write(summaryText(summary, devices).toUtf8());
    return m_failure;
}

void OperatorView::scheduleDraw()
{
    if (m_drawTimer.isActive())
        return;
    const qint64 since = m_sinceDraw.isValid() ? m_sinceDraw.elapsed() : kRedrawGapMs;
    m_drawTimer.start(int(std::max<qint64>(0, kRedrawGapMs - since)));
}

// Moves the cursor back to the top of the last drawing and clears from there
// down. A terminal made narrower may have wrapped that drawing onto more
// lines, so then the whole screen is cleared instead.
QByteArray OperatorView::eraseDrawing()
{
    if (m_drawnLines == 0)
        return {};
    winsize size = {};
    if (::ioctl(m_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_col < m_drawnWidth)
        return QByteArrayLiteral("\x1b[H\x1b[2J");
    return QByteArrayLiteral("\r\x1b[") + QByteArray::number(m_drawnLines) +
           QByteArrayLiteral("A\x1b[J");
}

void OperatorView::draw()
{
    m_drawTimer.stop();
    winsize size = {};
    int width = kDefaultWidth;
    int height = 0;
    if (::ioctl(m_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        width = size.ws_col;
        height = size.ws_row;
    }
    const QStringList lines = drawTable(m_rows.values(), m_totals, width, height, m_style);
    QByteArray bytes = eraseDrawing();
    for (const QString &line : lines)
        bytes += line.toUtf8() + '\n';
    write(bytes);
    m_drawnLines = int(lines.size());
    m_drawnWidth = width;
    m_sinceDraw.restart();
}

void OperatorView::write(const QByteArray &bytes)
{
    if (m_failure.isEmpty() && !bytes.isEmpty())
        m_failure = production::writeWhole(m_fd, bytes);
}

} // namespace korva::cli
