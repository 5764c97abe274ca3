#pragma once

#include <QList>
#include <QString>

#include <optional>

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

// Maps a Comm Port number (1..15 in the list, any positive number accepted) to
// a device: an explicit [Ports] entry of the settings store first, then COMn on
// Windows, else the n-th system serial port (USB and ACM adapters first).
std::optional<PortDevice> deviceForPort(int number);

// "/dev/ttyUSB0 (FT232R USB UART)", "/dev/pts/4", or "no device".
QString describePort(int number);
QString describeDevice(const std::optional<PortDevice> &device);

// A serial port as the system lists it, reduced to what the numbering needs.
struct SystemPort {
    QString name; // e.g. "ttyUSB0"
    PortDevice device;
    bool hasVendorId = false;
};

// The order in which system ports receive the numbers 1, 2, ...: USB and ACM
// adapters first (named ttyUSB/ttyACM or carrying a vendor id), then the rest,
// each group in natural order of the names.
QList<SystemPort> orderSystemPorts(QList<SystemPort> ports);

// Natural order of names: runs of digits compare by value, so "ttyS2" comes
// before "ttyS10".
bool naturalLess(const QString &a, const QString &b);

} // namespace korva
