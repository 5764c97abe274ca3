#pragma once

#include "serial/portfailure.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>
#include <variant>

namespace korva
{

// Names of the per-user settings store shared by the window and the port map.
inline constexpr auto kSettingsOrganization = "KORVA";
inline constexpr auto kSettingsApplication = "KORVA";
inline constexpr auto kPortsGroup = "Ports";

struct PortDevice {
    QString path;        // what QSerialPort opens, e.g. "/dev/ttyUSB0" or "COM3"
    QString description; // e.g. "FT232R USB UART"; may be empty
};

struct SystemPort;

// Maps a Comm Port number (1..15 in the list, any positive number accepted) to
// a device: an explicit [Ports] entry of the settings store first, then COMn on
// Windows, else the n-th system serial port (USB and ACM adapters first). A
// number with no device is an InvalidPort failure; a [Ports] entry that names
// no device clearly is an Other failure naming the entry, never a reason to use
// another device. Scans the system's ports (see scanSystemPorts).
std::variant<PortDevice, PortFailure> deviceForPort(int number);

// "/dev/ttyUSB0 (FT232R USB UART)", "/dev/pts/4", "/tmp/link (not present)",
// "no device", or why the number's [Ports] entry cannot be used. Scans the
// system's ports.
QString describePort(int number);

// The same two with the system's ports already scanned (`scanned` as
// scanSystemPorts returns them): they read only the settings file and, for a
// [Ports] entry, whether its device is there, so they are cheap enough to run
// on a window's thread every second.
std::variant<PortDevice, PortFailure> deviceForPort(int number, const QList<SystemPort> &scanned);
QString describePort(int number, const QList<SystemPort> &scanned);

// A [Ports] entry as the settings file holds it.
struct PortEntry {
    QString key;  // the port number as written, e.g. "3"
    QString text; // the value as written, without the spaces around it
    // The device path the entry names; nullopt when it names none clearly.
    std::optional<QString> path;
};

// The [Ports] entries of an INI settings file, read from its lines as written:
// QSettings would read a comma as a list and a semicolon as a comment.
QList<PortEntry> readPortEntries(const QString &fileName);

// The path an entry's text names. A text without quotes, backslashes or a
// leading @ is the path as written (commas and semicolons included); any other
// text must be in QSettings' own form (`settingsValue` is QSettings' reading of
// it) and must not be cut by a comma or semicolon outside quotes.
std::optional<QString> pathOfPortEntry(const QString &text, const QVariant &settingsValue);

// A serial port as the system lists it, reduced to what the numbering needs.
struct SystemPort {
    QString name; // e.g. "ttyUSB0"
    PortDevice device;
    bool hasVendorId = false;
};

// Where the port map gets the system's serial ports from; by default the ports
// QSerialPortInfo lists. An empty function restores the default. The source is
// called on whichever thread scans.
using SystemPortSource = std::function<QList<SystemPort>()>;
void setSystemPortSource(SystemPortSource source);

// The system's serial ports in the order they receive the numbers 1, 2, ...
// Listing them opens and queries every built-in serial device, which takes
// hundreds of milliseconds on a machine with many of them: a window runs this
// off its UI thread. Safe to call from any thread.
QList<SystemPort> scanSystemPorts();

// The order in which system ports receive the numbers 1, 2, ...: USB and ACM
// adapters first (named ttyUSB/ttyACM or carrying a vendor id), then the rest,
// each group in natural order of the names.
QList<SystemPort> orderSystemPorts(QList<SystemPort> ports);

// Natural order of names: runs of digits compare by value, so "ttyS2" comes
// before "ttyS10".
bool naturalLess(const QString &a, const QString &b);

} // namespace korva
