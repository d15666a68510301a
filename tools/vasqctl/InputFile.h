// Input files, read whole and parsed as JSON before anything is sent.
#pragma once

#include <string>

#include "Output.h"

namespace vasqctl {

// Reads `path` as one JSON value. False after saying what is wrong on standard
// error: the system's reason when the file cannot be read, the line and column
// of a syntax error, a key given twice.
bool ReadJsonFile(const std::string& path, Json& value);

// Line and column (both from 1, the column in characters) of the character at
// byte `offset` of `text`.
void LineAndColumn(const std::string& text, size_t offset, size_t& line, size_t& column);

}  // namespace vasqctl
