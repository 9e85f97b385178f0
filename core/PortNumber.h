#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// A port number given on a command line: decimal digits only, 1 to 65535, or 0 as well where
// 0 means "pick a free one".
std::optional<quint16> ParsePortNumber(const QString& text, bool allowZero = false);
