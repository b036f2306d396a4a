#include "csv_text.h"

namespace tarvik::testing {

std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> lines(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            lines.back().push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            lines.back().push_back(field);
            field.clear();
            lines.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    if (lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

std::vector<std::map<std::string, std::string>> CsvRowsByHeader(const std::string& text) {
    const std::vector<std::vector<std::string>> lines = ParseCsv(text);
    std::vector<std::map<std::string, std::string>> rows;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::map<std::string, std::string> row;
        for (size_t k = 0; k < lines[0].size() && k < lines[i].size(); ++k) {
            row[lines[0][k]] = lines[i][k];
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace tarvik::testing
