#pragma once

#include <QString>

#include <string>
#include <string_view>

// Text a person stored (ini file, command line) is UTF-8 when it is valid UTF-8; anything else
// was written by an older version or on Windows and is read as Latin-1. The one rule for
// every place that shows or decodes stored text.
QString StoredText(std::string_view bytes);
// The same text as UTF-8, for a log, a terminal or the status window.
std::string StoredTextUtf8(std::string_view bytes);
// What to store for a field that showed StoredText(original) and now holds text: the original
// bytes while the text is unchanged, so that a value which is not UTF-8 survives a save byte
// for byte; the new text as UTF-8 once the person changed it.
std::string StoredBytes(const QString& text, const std::string& original);

// CR, LF and NUL end an ini line (or the value), so no stored value can hold them.
bool StorableText(const QString& text);
