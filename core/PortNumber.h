#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <optional>

// How a text holds a port number. Exact: the whole text is one to five decimal digits (a
// command line). Field: as an entry field gives it: white space around it is ignored, the
// rest must be decimal digits, so that a typo is refused rather than read as a lesser number.
enum class PortSyntax { Exact, Field };
enum class PortText { Valid, NotANumber, OutOfRange };

// The one reading of a port number: 1 to 65535, or 0 as well where 0 means "pick a free one".
// port is set only when the text is Valid.
PortText ReadPortText(const QString& text, std::int32_t& port,
                      PortSyntax syntax = PortSyntax::Field, bool allowZero = false);
// A command line's port number, or nothing.
std::optional<quint16> ParsePortNumber(const QString& text, bool allowZero = false);
