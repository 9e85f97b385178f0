#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <string_view>

// Text a peer sent, made safe for a log line between double quotes: VisibleText, with a double
// quote shown as \x22 too, so that no login or line can close its quotes and forge the rest of
// the line.
QString QuotedText(std::string_view bytes, int maxBytes = 1024);
QString QuotedText(const QByteArray& bytes, int maxBytes = 1024);

// A moment as logs that are compared across machines want it: 2026-12-10T18:08:55+00:00.
QString LogTimestamp(const QDateTime& moment);
