// Text output shared by the tools: numbers that read back to the same
// double, escaping for JSON, CSV and XML/HTML, and aligned tables.
#ifndef TRENDKEEP_TOOLS_TEXTFORMAT_H
#define TRENDKEEP_TOOLS_TEXTFORMAT_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

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

// Text that is safe to put on a terminal whatever bytes s holds: control
// bytes and bytes from 0x7f on as \xNN, a backslash doubled, the rest as it
// is.  Names come from a card or a FIFO that anyone may have written, and
// raw escape sequences would reach the reader's terminal.
std::string PrintableText(std::string_view s);
// A JSON string literal; bytes outside ASCII are taken as Latin-1, so the
// result is valid JSON for any bytes.
std::string JsonString(std::string_view s);
// One CSV field: printable as PrintableText makes it, quoted when it has to
// be.
std::string CsvField(std::string_view s);
// Text for XML or HTML content and attribute values: markup characters as
// references, bytes outside ASCII as Latin-1 references, and control bytes
// that XML cannot carry as '?'.
std::string XmlText(std::string_view s);

// What a file of that mode is, for messages: "a directory", "a FIFO", ...
std::string FileKindText(mode_t mode);

// Seconds on the monotonic clock, for the tools' deadlines.
double MonotonicSeconds();

// Text of a name field that may lack its NUL: up to the first NUL or size.
std::string FieldText(const char *field, size_t size);

// A sensor number as the daemon's peers write it: decimal for IPMI numbers,
// hexadecimal for the utilisation entries (0xFFFD..0xFFFF).
std::string SensorNumText(unsigned num);

// Parses a sensor number, decimal or 0x-hexadecimal, 0 to 0xFFFF.
bool ParseSensorNum(const std::string &text, unsigned *num);

// Rows of cells printed with every column as wide as its widest cell;
// columns marked numeric are aligned right.  Cells are kept as
// PrintableText makes them.
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

// A file written piece by piece, for output too large to gather first
// ("-": standard output).
// Every failure is a ToolError of the given status; a file left unclosed by
// a failure elsewhere is closed as it stands.
class OutputFile {
public:
    OutputFile(const std::string &path, int status);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    void Write(std::string_view text);
    void Close();

private:
    [[noreturn]] void Fail(int err);

    std::string Path;
    int Status;
    FILE *File;
};

}  // namespace tk

#endif
