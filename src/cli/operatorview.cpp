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
constexpr char kClearLineEnd[] = "\x1b[K";
constexpr char kClearBelow[] = "\x1b[J";

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
    connect(&m_drawTimer, &QTimer::timeout, this, [this] { draw(); });
}

void OperatorView::show(const SlotEvent &event)
{
    if (m_finished)
        return;
    m_rows[event.slot].apply(event);
    m_totals.count(event.state);
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
    // The message takes the drawing's place, and the drawing goes under it.
    QByteArray bytes = toDrawingTop();
    for (const QString &line : text.split(u'\n'))
        bytes += line.toUtf8() + kClearLineEnd + '\n';
    m_drawnLines = 0;
    if (m_rows.isEmpty()) {
        write(bytes + kClearBelow);
        return;
    }
    draw(bytes);
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

// Moves the cursor back to the top of the last drawing, which the next lines
// overwrite. A terminal made narrower may have wrapped that drawing onto more
// lines, so then the whole screen is cleared instead.
QByteArray OperatorView::toDrawingTop()
{
    if (m_drawnLines == 0)
        return {};
    winsize size = {};
    if (::ioctl(m_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_col < m_drawnWidth)
        return QByteArrayLiteral("\x1b[H\x1b[2J");
    return QByteArrayLiteral("\r\x1b[") + QByteArray::number(m_drawnLines) + 'A';
}

// Each line clears what is left of the one it overwrites, and only what lies
// below the drawing is cleared as a whole: tmux moves a screen cleared from its
// top left corner into its history, which would pile up every drawing there.
void OperatorView::draw(const QByteArray &before)
{
    m_drawTimer.stop();
    winsize size = {};
    int width = kDefaultWidth;
    int height = 0;
    if (::ioctl(m_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        width = size.ws_col;
        height = size.ws_row;
    }
    const QStringList lines = drawView(m_rows.values(), m_totals, width, height, m_style);
    QByteArray bytes = before.isEmpty() ? toDrawingTop() : before;
    for (const QString &line : lines)
        bytes += line.toUtf8() + kClearLineEnd + '\n';
    write(bytes + kClearBelow);
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
