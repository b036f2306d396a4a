// Reading back a CSV record log in tests: RFC 4180 lines (quoted fields may hold commas,
// doubled quotes and line breaks; lines end with CRLF).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tarvik::testing {

// Every line of `text` split into its fields.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text);

// The lines after the header line, each keyed by the header's field names: a record is read
// by the names the log itself wrote, whatever fields it has.
std::vector<std::map<std::string, std::string>> CsvRowsByHeader(const std::string& text);

}  // namespace tarvik::testing
