#include "emulatoroptions.h"

#include "moduleemulator.h"

#include <QCommandLineParser>

#include <limits>

namespace korva::emu
{

namespace
{

constexpr int kHighestPort = 15;
constexpr int kLongestMs = 3'600'000;

// Reads a whole decimal number within [low, high]; sets error otherwise.
int readNumber(const QString &value, const QString &option, int low, int high, QString &error)
{
    bool ok = false;
    const int number = value.trimmed().toInt(&ok);
    if (!ok || number < low || number > high) {
        error = QStringLiteral("--%1 needs a whole number from %2 to %3, not \"%4\"")
                    .arg(option)
                    .arg(low)
                    .arg(high)
                    .arg(value);
        return 0;
    }
    return number;
}

} // namespace

std::optional<QByteArray> parseHexBytes(const QString &text)
{
    QByteArray digits;
    QByteArray bytes;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (digits.size() == 1)
                return std::nullopt; // a lone digit before a space
            continue;
        }
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return std::nullopt;
        digits.append(static_cast<char>(u));
        if (digits.size() == 2) {
            bytes.append(QByteArray::fromHex(digits));
            digits.clear();
        }
    }
    if (!digits.isEmpty() || bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

ParsedArguments parseEmulatorArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Emulates a KORVA radio module on a pseudo-terminal. Prints the device path as its "
        "first line and runs until interrupted."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Register the line as port N of the tool."),
                                  QStringLiteral("N"));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("Start with this 15-byte configuration, in hex (spaces allowed)."),
        QStringLiteral("HEX"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Never answer."));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Wait MS ms before answering \"+++\"."),
                                   QStringLiteral("MS"));
    const QCommandLineOption shortAnswer(QStringLiteral("short"),
                                         QStringLiteral("Answer only the first N bytes."),
                                         QStringLiteral("N"));
    const QCommandLineOption split(QStringLiteral("split"),
                                   QStringLiteral("Pause G ms after the first K bytes."),
                                   QStringLiteral("K:G"));
    const QCommandLineOption answer(QStringLiteral("answer"),
                                    QStringLiteral("Answer these bytes (hex) instead."),
                                    QStringLiteral("HEX"));
    const QCommandLineOption baud(QStringLiteral("baud"),
                                  QStringLiteral("Ignore the line unless it runs at N baud."),
                                  QStringLiteral("N"));
    const QCommandLineOption hangUp(QStringLiteral("hang-up-after"),
                                    QStringLiteral("Hang up MS ms after the first \"+++\"."),
                                    QStringLiteral("MS"));
    const QCommandLineOption ignorePacket(
        QStringLiteral("ignore-packet"),
        QStringLiteral("Take no written configuration: keep answering the one held."));
    const QCommandLineOption keepBytes(
        QStringLiteral("keep-bytes"),
        QStringLiteral("Leave these byte positions (0-14, comma-separated) of a written "
                       "configuration at their old value."),
        QStringLiteral("LIST"));
    const QCommandLineOption link(
        QStringLiteral("link"),
        QStringLiteral("Keep a symbolic link at PATH pointing at the current line."),
        QStringLiteral("PATH"));
    const QCommandLineOption swapAfter(
        QStringLiteral("swap-after"),
        QStringLiteral("MS ms after the tool's read-back of a write ends, take the unit off the "
                       "line (polls in between do not keep it there); MS ms later attach a new "
                       "one with the starting configuration."),
        QStringLiteral("MS"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Print every byte each way as it passes."));
    parser.addOptions({help, port, config, silent, delay, shortAnswer, split, answer, baud, hangUp,
                       ignorePacket, keepBytes, link, swapAfter, log});

    ParsedArguments parsed;
    parsed.helpText = parser.helpText();
    if (!parser.parse(arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help)) {
        parsed.helpRequested = true;
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error = QStringLiteral("unexpected argument \"%1\"")
                           .arg(parser.positionalArguments().constFirst());
        return parsed;
    }

    EmulatorOptions &options = parsed.options;
    QString &error = parsed.error;
    if (parser.isSet(port))
        options.port =
            readNumber(parser.value(port), QStringLiteral("port"), 1, kHighestPort, error);
    if (error.isEmpty() && parser.isSet(config)) {
        options.config = parseHexBytes(parser.value(config));
        if (!options.config || options.config->size() != ModuleEmulator::kConfigSize)
            error = QStringLiteral("--config needs exactly 15 bytes in hex, such as "
                                   "\"7F7F7F7F 01020304 0620 00 1E 1E 00 23\", not \"%1\"")
                        .arg(parser.value(config));
    }
    options.behaviour.silent = parser.isSet(silent);
    options.behaviour.ignorePacket = parser.isSet(ignorePacket);
    if (error.isEmpty() && parser.isSet(delay))
        options.behaviour.answerDelayMs =
            readNumber(parser.value(delay), QStringLiteral("delay"), 0, kLongestMs, error);
    if (error.isEmpty() && parser.isSet(shortAnswer))
        options.behaviour.answerLength =
            readNumber(parser.value(shortAnswer), QStringLiteral("short"), 0,
                       std::numeric_limits<int>::max(), error);
    if (error.isEmpty() && parser.isSet(split)) {
        const QStringList parts = parser.value(split).split(QLatin1Char(':'));
        if (parts.size() != 2) {
            error = QStringLiteral("--split needs K:G, such as 5:150, not \"%1\"")
                        .arg(parser.value(split));
        } else {
            options.behaviour.splitAfter = readNumber(parts[0], QStringLiteral("split"), 1,
                                                      std::numeric_limits<int>::max(), error);
            if (error.isEmpty())
                options.behaviour.splitGapMs =
                    readNumber(parts[1], QStringLiteral("split"), 0, kLongestMs, error);
        }
    }
    if (error.isEmpty() && parser.isSet(answer)) {
        const std::optional<QByteArray> bytes = parseHexBytes(parser.value(answer));
        if (bytes)
            options.behaviour.answerBytes = *bytes;
        else
            error = QStringLiteral("--answer needs bytes in hex, such as \"7F 7F 01\", not \"%1\"")
                        .arg(parser.value(answer));
    }
    if (error.isEmpty() && parser.isSet(baud))
        options.behaviour.requiredBaud = readNumber(parser.value(baud), QStringLiteral("baud"), 1,
                                                    std::numeric_limits<int>::max(), error);
    if (error.isEmpty() && parser.isSet(hangUp))
        options.behaviour.hangUpAfterMs =
            readNumber(parser.value(hangUp), QStringLiteral("hang-up-after"), 0, kLongestMs, error);
    if (error.isEmpty() && parser.isSet(keepBytes)) {
        for (const QString &position : parser.value(keepBytes).split(QLatin1Char(','))) {
            options.behaviour.keptBytes.append(readNumber(position, QStringLiteral("keep-bytes"), 0,
                                                          ModuleEmulator::kConfigSize - 1, error));
            if (!error.isEmpty())
                break;
        }
    }
    options.link = parser.value(link);
    if (error.isEmpty() && parser.isSet(swapAfter))
        options.swapAfterMs =
            readNumber(parser.value(swapAfter), QStringLiteral("swap-after"), 0, kLongestMs, error);
    options.log = parser.isSet(log);
    return parsed;
}

void applyOptions(const EmulatorOptions &options, ModuleEmulator &emulator)
{
    if (options.config)
        emulator.setConfig(*options.config);
    emulator.setBehaviour(options.behaviour);
    if (!options.link.isEmpty())
        emulator.setLinkPath(options.link);
    if (options.swapAfterMs >= 0)
        emulator.setUnitSwap(options.swapAfterMs, emulator.config());
}

} // namespace korva::emu
