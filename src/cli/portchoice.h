#pragma once

#include "cli/commandline.h"

#include <QString>

#include <variant>

namespace korva
{
class ModuleEngine;
}

namespace korva::cli
{

// The port a run opens and the line rate it set.
struct PortChoice {
    QString port;          // a number of the window's port map, or a device path
    bool byNumber = false; // the port is a number
    int baud = 0;
};

// The port and the line rate of a run, each as given on the command line, else as
// the window stored it; the rate is set on the engine. A relative path is made
// absolute; a bare device name is left to the serial port ("ttyUSB0", "COM3").
// Returns the refusal text instead when no port is given or stored (a device
// nobody chose is never opened), or when the rate is refused.
std::variant<PortChoice, QString> choosePort(const CliOptions &options, ModuleEngine &engine);

} // namespace korva::cli
