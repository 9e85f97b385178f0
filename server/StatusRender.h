#pragma once

#include "ServerSnapshot.h"

#include <QByteArray>
#include <QString>

// The answers of the status port, each made from a snapshot alone.

// One HTML page without scripts or outside assets that refreshes itself every 5 s.
QByteArray StatusPageHtml(const ServerSnapshot& snapshot);
// What the page shows, as JSON; logins are read as Latin-1.
QByteArray StatusJson(const ServerSnapshot& snapshot);
// Prometheus' text format (version 0.0.4).
QByteArray MetricsText(const ServerSnapshot& snapshot);

// Text a peer sent, for a page: read as Latin-1, a backslash and the control characters shown
// as escapes ("\\", "\x07"), and HTML's special characters as entities.
QString HtmlPeerText(const QByteArray& bytes);
QString HtmlEscaped(const QString& text);
// "3 d 4 h", "2 h 5 min", "4 min 3 s", "12 s".
QString DurationText(qint64 seconds);
