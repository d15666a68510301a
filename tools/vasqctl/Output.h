// What vasqctl prints: numbers that are always finite, values with their
// names and units, JSON lines for --json, files written whole.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace vasqctl {

// Keys in the order they are set, so that a JSON line reads as its text does.
using Json = nlohmann::ordered_json;

// The value rounded to `decimals` places; null when it is not finite.
Json Rounded(double value, int decimals);
// {"value": v, "unit": "mmHg"}: a value with its unit (null: the instrument's
// own scale, which the library does not define), rounded to `decimals` places.
Json Quantity(double value, const char* unit, int decimals);

// One JSON value as one line on standard output. Text that is not UTF-8
// (a file name, a serial number) is written with U+FFFD in its place.
void PrintJson(const Json& value);
std::string JsonText(const Json& value, int indent = -1);

// "%.*f" of a finite value; "n/a" for one that is not (text output only).
std::string Fixed(double value, int decimals);
// A CSV field: "%.*f" of a finite value, empty for one that is not.
std::string CsvNumber(double value, int decimals);

// Text made fit for XML 1.0 and UTF-8: bytes that are not UTF-8 and
// characters XML does not allow become U+FFFD; nothing is escaped here.
std::string ValidUtf8(const std::string& text);
// The first `limit` characters of UTF-8 text, with "…" when it was longer.
std::string Shortened(const std::string& text, size_t limit);

// Writes the file whole; false after saying why not (with the system's reason).
bool WriteFile(const std::string& path, const std::string& text);

}  // namespace vasqctl
