#pragma once

#include <QMetaType>
#include <QString>

namespace korva
{

// A refused port operation. InvalidPort means the port number names no usable
// device; Other covers everything else (busy, permission, refused settings, ...).
struct PortFailure {
    enum class Kind { InvalidPort, Other };
    Kind kind = Kind::Other;
    QString description;
};

} // namespace korva

Q_DECLARE_METATYPE(korva::PortFailure)
