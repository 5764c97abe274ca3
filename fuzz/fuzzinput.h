#pragma once

#include "config/moduleconfig.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace korva::fuzz
{

// Stops the run with a readable message when an invariant breaks.
inline void require(bool holds, const char *what, const QString &detail = {})
{
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s %s\n", what, qPrintable(detail));
    std::abort();
}

// Consumes the input from the front; reads past the end give zero bytes.
class InputReader
{
public:
    InputReader(const std::uint8_t *data, std::size_t size)
        : m_bytes(reinterpret_cast<const char *>(data), qsizetype(size))
    {
    }

    std::uint8_t byte() { return m_offset < m_bytes.size() ? quint8(m_bytes[m_offset++]) : 0; }

    // The channel bytes held between operations: the high byte can be negative or
    // above 255 after a failed frequency check, the low byte is always 0..255.
    Channel channel()
    {
        const std::uint8_t upper = byte();
        const int high = std::int16_t(std::uint16_t(upper << 8 | byte()));
        return {high, byte()};
    }

    QByteArray bytes(qsizetype count)
    {
        const QByteArray taken = m_bytes.mid(m_offset, count);
        m_offset += taken.size();
        return taken;
    }

    QByteArray rest() { return bytes(m_bytes.size()); }

    // The band list's two entries, a typed text of up to 63 bytes, or nothing.
    QString band(std::uint8_t selector)
    {
        if ((selector & 3) == 2)
            return QString::fromLatin1(bytes(selector >> 2));
        return (selector & 3) == 3 ? QString() : bandTexts().at(selector & 1);
    }

private:
    QByteArray m_bytes;
    qsizetype m_offset = 0;
};

} // namespace korva::fuzz
