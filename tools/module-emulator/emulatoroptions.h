#pragma once

#include "moduleemulator.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace korva::emu
{

// What the command line of the emulator program asks for.
struct EmulatorOptions {
    int port = 0; // register the line as this port number of the tool (0: do not)
    std::optional<QByteArray> config;
    ModuleBehaviour behaviour;
    QString link;         // keep a symbolic link here to the current line (empty: none)
    int swapAfterMs = -1; // take the unit off and attach a new one after a write (-1: off)
    bool log = false;
};

struct ParsedArguments {
    EmulatorOptions options;
    bool helpRequested = false;
    QString helpText;
    QString error; // empty when the arguments were accepted
};

// Bytes written as pairs of hex digits, either case, spaces and tabs allowed
// anywhere between pairs; nothing on an empty text or any other character.
std::optional<QByteArray> parseHexBytes(const QString &text);

ParsedArguments parseEmulatorArguments(const QStringList &arguments);

void applyOptions(const EmulatorOptions &options, ModuleEmulator &emulator);

} // namespace korva::emu
