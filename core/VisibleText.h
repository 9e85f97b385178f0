#pragma once

#include <QByteArray>
#include <QString>

#include <string_view>

// Network bytes made safe for a log or a terminal: printable ASCII as it is, a backslash as
// "\\", everything else as "\xHH". At most maxBytes input bytes are shown, then "...".
QString VisibleText(std::string_view bytes, int maxBytes = 1024);
QString VisibleText(const QByteArray& bytes, int maxBytes = 1024);
