#include "cli/viewdrawing.h"

#include "cli/viewparts.h"

#include <algorithm>
#include <climits>

namespace korva::cli
{

using production::RunSummary;
using production::SlotEvent;
using production::SlotPicture;
using production::SlotState;
using production::SlotTotals;

namespace
{

constexpr int kSlotCells = 4;
constexpr int kStateCells = 19; // "already provisioned"
constexpr int kAddressCells = 8;
constexpr int kFixedCells = kSlotCells + kStateCells + kAddressCells + 4 * kGapCells;
constexpr int kMinDeviceCells = 8;

// What a row shows: the kept verdict with its detail and, once the slot has
// moved on, what to do next; else the latest event.
SlotEvent shownEvent(const SlotPicture &picture)
{
    SlotEvent shown = picture.shown();
    shown.detail = detailText(shown);
    shown.unitMs = -1;
    if (picture.verdict && picture.now.state != picture.verdict->state)
        shown.detail +=
            (shown.detail.isEmpty() ? QString() : QStringLiteral("; ")) + picture.nextStep();
    return shown;
}

// The run's counters on one line.
QString countersLine(const SlotTotals &totals, int width, const ViewStyle &style)
{
    Line line(style);
    line.add(QStringLiteral("passed "))
        .add(QString::number(totals.passed), kPassText)
        .add(QStringLiteral("   failed "))
        .add(QString::number(totals.failed), totals.failed ? kFailText : kPlain)
        .add(QStringLiteral("   already provisioned %1   yield ").arg(totals.alreadyProvisioned))
        .add(production::yieldText(totals), kBold);
    if (totals.notVerified > 0)
        line.add(QStringLiteral("   not verified "))
            .add(QString::number(totals.notVerified), kNotice);
    if (totals.notRecorded > 0)
        line.add(QStringLiteral("   not recorded "))
            .add(QString::number(totals.notRecorded), kNotice);
    return line.render(width);
}

// A slot's row; a reason that does not fit beside it goes on a line of its
// own under it, as the values it names are what the operator needs.
QStringList rowLines(const SlotPicture &picture, int deviceCells, int width, const ViewStyle &style)
{
    const SlotEvent shown = shownEvent(picture);
    QString state = production::stateWord(shown.state);
    if (shown.state == SlotState::Passed || shown.state == SlotState::Failed) {
        const int before = (kStateCells - int(state.size())) / 2;
        state = QString(before, u' ') + state.leftJustified(kStateCells - before);
    }
    Line line(style);
    line.cell(QString::number(shown.slot).rightJustified(kSlotCells), kSlotCells)
        .cell(shortenedFromLeft(shown.device, deviceCells, style), deviceCells)
        .cell(state, kStateCells, stateLook(shown.state))
        .cell(addressText(shown.address), kAddressCells);
    const int detailCells = width - kFixedCells - deviceCells;
    if (!production::setAside(shown.state) || shown.detail.size() <= detailCells)
        return {line.add(shown.detail).render(width)};
    return {line.render(width),
            Line(style).add(QString(kSlotCells + kGapCells, u' ') + shown.detail).render(width)};
}

} // namespace

bool colourWanted(bool isTerminal, bool noColorOption)
{
    return isTerminal && !noColorOption && qEnvironmentVariableIsEmpty("NO_COLOR");
}

QStringList drawView(const QList<SlotPicture> &pictures, const SlotTotals &totals, int width,
                     int height, const ViewStyle &style)
{
    if (pictures.size() > 1 && height > 0) {
        const QStringList tiles =
            drawTiles(pictures, countersLine(totals, width, style), width, height, style);
        if (!tiles.isEmpty())
            return tiles;
    }
    return drawTable(pictures, totals, width, height, style);
}

QStringList drawTable(const QList<SlotPicture> &pictures, const SlotTotals &totals, int width,
                      int height, const ViewStyle &style)
{
    int deviceCells = kMinDeviceCells;
    for (const SlotPicture &picture : pictures)
        deviceCells = std::max(deviceCells, int(picture.now.device.size()));
    deviceCells = std::min(deviceCells, std::max(kMinDeviceCells, (width - kFixedCells) / 2));

    QStringList lines{countersLine(totals, width, style)};
    lines << Line(style)
                 .cell(QStringLiteral("slot").rightJustified(kSlotCells), kSlotCells)
                 .cell(QStringLiteral("device"), deviceCells)
                 .cell(QStringLiteral("state"), kStateCells)
                 .cell(QStringLiteral("address"), kAddressCells)
                 .add(QStringLiteral("detail"))
                 .render(width);

    const int limit = height > 0 ? std::max(1, height - 1) : INT_MAX;
    qsizetype shownRows = 0;
    for (; shownRows < pictures.size(); ++shownRows) {
        const QStringList row = rowLines(pictures[shownRows], deviceCells, width, style);
        const qsizetype countLine = shownRows + 1 < pictures.size() ? 1 : 0;
        if (lines.size() + row.size() + countLine > limit)
            break;
        lines << row;
    }
    if (shownRows < pictures.size()) {
        lines << Line(style)
                     .add(QStringLiteral("%1 more slots: the terminal is too small to show them")
                              .arg(pictures.size() - shownRows))
                     .render(width);
    }

    if (pictures.size() == 1) {
        const SlotState result = pictures.first().shown().state;
        if (const auto look = bannerLook(result)) {
            const QStringList big =
                QStringList{QString()} +
                banner(production::stateWord(result), *look, kSlotCells + kGapCells, width, style);
            if (big.size() > 1 && lines.size() + big.size() <= limit)
                lines << big;
        }
    }
    return lines.mid(0, limit);
}

QString plainLine(const SlotEvent &event)
{
    QString text = QStringLiteral("slot %1 %2: %3")
                       .arg(event.slot)
                       .arg(event.device, production::stateWord(event.state));
    const QString address = addressText(event.address);
    const QString detail = detailText(event);
    if (!address.isEmpty())
        text += event.state == SlotState::AlreadyProvisioned ? QStringLiteral(" as ") + address
                                                             : u' ' + address;
    if (!detail.isEmpty())
        text += (production::isVerdict(event.state) ? QStringLiteral(" ") : QStringLiteral(": ")) +
                detail;
    return text;
}

// Units sent but not verified, and those not recorded, are counted apart from
// the yield's passed and failed.
QString summaryText(const RunSummary &summary, const QStringList &devices)
{
    QString text;
    SlotTotals total;
    for (qsizetype index = 0; index < summary.slotTotals.size(); ++index) {
        const SlotTotals &slot = summary.slotTotals[index];
        const QString device = devices.value(index);
        text +=
            QStringLiteral("slot %1%2: %3\n")
                .arg(index + 1)
                .arg(device.isEmpty() ? QString() : u' ' + device, production::countsText(slot));
        total += slot;
    }
    text += QStringLiteral("total: %1, yield %2\n")
                .arg(production::countsText(total), production::yieldText(total));
    if (!summary.howEnded.isEmpty())
        text += QStringLiteral("run ended: %1\n").arg(summary.howEnded);
    if (summary.nextFree)
        text += QStringLiteral("next free address: %1\n").arg(addressText(summary.nextFree));
    return text;
}

} // namespace korva::cli
