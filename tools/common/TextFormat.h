// Text output shared by the tools: numbers that read back to the same
// double, escaping for JSON, CSV and XML/HTML, and aligned tables.
#ifndef TRENDKEEP_TOOLS_TEXTFORMAT_H
#define TRENDKEEP_TOOLS_TEXTFORMAT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <string_view>
#include <vector>

namespace tk {

// Shortest text that reads back to exactly v ("nan", "inf", "-inf" for the
// non-finite values).
std::string FormatShortest(double v);
// v as a JSON value: the shortest text, or null when v is not finite.
std::string JsonNumber(double v);
// v for people: three decimals, or four significant digits when very large
// or very small.
std::string FormatReading(double v);
// Tick label of a value on an axis whose ticks are step apart.
std::string FormatTick(double v, double step);

// A JSON string literal; bytes outside ASCII are taken as Latin-1, so the
// result is valid JSON for any bytes.
std::string JsonString(std::string_view s);
// One CSV field, quoted when it has to be.
std::string CsvField(std::string_view s);
// Text for XML or HTML content and attribute values: markup characters as
// references, bytes outside ASCII as Latin-1 references, and control bytes
// that XML cannot carry as '?'.
std::string XmlText(std::string_view s);

// Text of a name field that may lack its NUL: up to the first NUL or size.
std::string FieldText(const char *field, size_t size);

// A sensor number as the daemon's peers write it: decimal for IPMI numbers,
// hexadecimal for the utilisation entries (0xFFFD..0xFFFF).
std::string SensorNumText(unsigned num);

// Parses a sensor number, decimal or 0x-hexadecimal, 0 to 0xFFFF.
bool ParseSensorNum(const std::string &text, unsigned *num);

// Rows of cells printed with every column as wide as its widest cell;
// columns marked numeric are aligned right.
class Table {
public:
    explicit Table(std::vector<std::string> headers, std::vector<bool> numeric = {});
    void Add(std::vector<std::string> row);
    void Print(FILE *out) const;
    size_t Rows() const { return Cells.size(); }

private:
    std::vector<std::string> Headers;
    std::vector<bool> Numeric;
    std::vector<std::vector<std::string>> Cells;
};

// Writes text to path, or fails with a ToolError of the given status.
void WriteFileOrFail(const std::string &path, const std::string &text, int status);

}  // namespace tk

#endif
