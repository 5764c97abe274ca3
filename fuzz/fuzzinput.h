#pragma once

#include "config/moduleconfig.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Helpers shared by the fuzz targets: reading structured values from the raw input and
// stopping with a readable message when an invariant breaks.
namespace korva::fuzz
{

[[noreturn]] inline void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "invariant broken: %s %s\n", what, qPrintable(detail));
    std::abort();
}

inline void require(bool holds, const char *what, const QString &detail = {})
{
    if (!holds)
        fail(what, detail);
}

// Consumes the input from the front; reads past the end give zero bytes.
class InputReader
{
public:
    InputReader(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t byte() { return m_offset < m_size ? m_data[m_offset++] : 0; }

    // The channel bytes the window holds between operations: the high byte can be
    // negative or above 255 after a failed frequency check, the low byte is always 0..255.
    Channel channel()
    {
        const std::uint8_t upper = byte();
        const std::uint8_t lower = byte();
        const int high = std::int16_t(std::uint16_t(upper << 8 | lower));
        return {high, byte()};
    }

    QByteArray bytes(std::size_t count)
    {
        const std::size_t available = m_offset < m_size ? m_size - m_offset : 0;
        const std::size_t taken = count < available ? count : available;
        QByteArray result(reinterpret_cast<const char *>(m_data + m_offset), qsizetype(taken));
        m_offset += taken;
        return result;
    }

    QByteArray rest() { return bytes(m_size); }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// The band list's two entries and the texts a user could type into it instead.
inline QString bandText(std::uint8_t selector, InputReader &input)
{
    switch (selector & 3) {
    case 0:
        return QStringLiteral("433Mhz");
    case 1:
        return QStringLiteral("868Mhz");
    case 2:
        return QString::fromLatin1(input.bytes(selector >> 2));
    default:
        return {};
    }
}

} // namespace korva::fuzz
