#pragma once

#include <QString>

#include <variant>

namespace korva
{
class ModuleEngine;
}

namespace korva::production
{

// The highest port number of the window's list, and so of the port map.
inline constexpr int kHighestPortNumber = 15;

// Checks a port as given (--port, or the window's stored port) before anything
// is opened: a number must lie within 1..kHighestPortNumber and a name must not
// be blank. Returns the refusal, naming the port and `source`, or an empty
// text. A path that does not exist passes: whether it may be waited for is the
// caller's to decide.
QString checkPortArgument(const QString &port, const QString &source = QStringLiteral("--port"));

// The port a run opens and the line rate it set, and where each came from.
struct PortChoice {
    QString port;          // a number of the window's port map, or a device path
    bool byNumber = false; // the port is a number
    int baud = 0;
    QString portSource; // "--port" or "the stored setting"
    QString baudSource; // "--baud", "the stored setting" or "the default"

    // "/dev/ttyUSB0 from --port, 38400 baud from the stored setting", with the
    // device a port number opened (`device`, when known) beside the number.
    QString describe(const QString &device) const;
};

// The port and the line rate of a run, each as given on the command line, else as
// the window stored it; the rate is set on the engine. The port is checked with
// checkPortArgument. A relative path is made absolute; a bare device name is
// left to the serial port ("ttyUSB0", "COM3"). Returns the refusal text instead
// when no port is given or stored (a device nobody chose is never opened), when
// the port is refused, or when the rate is refused.
std::variant<PortChoice, QString> choosePort(const QString &port, const QString &baud,
                                             ModuleEngine &engine);

} // namespace korva::production
