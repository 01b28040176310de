#include "TextFormat.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "ToolCli.h"

namespace tk {

std::string FileKindText(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

double MonotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string FormatShortest(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

std::string JsonNumber(double v) { return std::isfinite(v) ? FormatShortest(v) : "null"; }

std::string FormatReading(double v) {
    if (!std::isfinite(v)) return FormatShortest(v);
    char buf[64];
    double a = std::fabs(v);
    if (a >= 1e7 || (a != 0 && a < 1e-3)) {
        snprintf(buf, sizeof buf, "%.4g", v);
    } else {
        snprintf(buf, sizeof buf, "%.3f", v);
    }
    return buf;
}

std::string FormatTick(double v, double step) {
    int decimals = 0;
    if (step > 0 && step < 1) decimals = std::min(9, (int)std::ceil(-std::log10(step) - 1e-9));
    char buf[64];
    if (std::fabs(v) < step * 1e-6) v = 0;  // no "-0"
    if (std::fabs(v) >= 1e7) {
        snprintf(buf, sizeof buf, "%.3g", v);
    } else {
        snprintf(buf, sizeof buf, "%.*f", decimals, v);
    }
    return buf;
}

std::string PrintableText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::string JsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
    }
    return out + "\"";
}

std::string CsvField(std::string_view raw) {
    const std::string s = PrintableText(raw);
    bool quote = s.find_first_of(",\"") != std::string::npos || (!s.empty() && (s.front() == ' ' || s.back() == ' '));
    if (!quote) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string XmlText(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (c >= 0x80) {
                char buf[16];
                snprintf(buf, sizeof buf, "&#x%X;", c);
                out += buf;
            } else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
                out += '?';
            } else {
                out += (char)c;
            }
        }
    }
    return out;
}

std::string FieldText(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

std::string SensorNumText(unsigned num) {
    char buf[16];
    if (num > 0xFF) {
        snprintf(buf, sizeof buf, "0x%04X", num);
    } else {
        snprintf(buf, sizeof buf, "%u", num);
    }
    return buf;
}

bool ParseSensorNum(const std::string &text, unsigned *num) {
    if (text.empty()) return false;
    const char *p = text.c_str();
    int base = 10;
    if (text.size() > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    for (const char *q = p; *q; ++q) {
        if (base == 10 ? !(*q >= '0' && *q <= '9') : !isxdigit((unsigned char)*q)) return false;
    }
    if (*p == '\0' || strlen(p) > 6) return false;
    unsigned long v = strtoul(p, nullptr, base);
    if (v > 0xFFFF) return false;
    *num = (unsigned)v;
    return true;
}

Table::Table(std::vector<std::string> headers, std::vector<bool> numeric)
    : Headers(std::move(headers)), Numeric(std::move(numeric)) {
    Numeric.resize(Headers.size(), false);
}

void Table::Add(std::vector<std::string> row) {
    row.resize(Headers.size());
    for (std::string &cell : row) cell = PrintableText(cell);
    Cells.push_back(std::move(row));
}

void Table::Print(FILE *out) const {
    std::vector<size_t> width(Headers.size());
    for (size_t c = 0; c < Headers.size(); ++c) width[c] = Headers[c].size();
    for (const auto &row : Cells) {
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string> &row) {
        std::string text;
        for (size_t c = 0; c < row.size(); ++c) {
            bool last = c + 1 == row.size();
            std::string pad(width[c] - row[c].size(), ' ');
            if (c) text += "  ";
            if (Numeric[c]) {
                text += pad + row[c];
            } else {
                text += row[c];
                if (!last) text += pad;
            }
        }
        fprintf(out, "%s\n", text.c_str());
    };
    line(Headers);
    for (const auto &row : Cells) line(row);
}

void WriteFileOrFail(const std::string &path, const std::string &text, int status) {
    OutputFile out(path, status);
    out.Write(text);
    out.Close();
}

OutputFile::OutputFile(const std::string &path, int status)
    : Path(path == "-" ? "standard output" : path),
      Status(status),
      File(path == "-" ? stdout : fopen(path.c_str(), "wb")) {
    if (File == nullptr) Fail(errno);
}

OutputFile::~OutputFile() {
    if (File != nullptr && File != stdout) fclose(File);
}

void OutputFile::Write(std::string_view text) {
    if (fwrite(text.data(), 1, text.size(), File) != text.size()) Fail(errno);
}

void OutputFile::Close() {
    FILE *f = File;
    File = nullptr;
    if (f != nullptr && (f == stdout ? fflush(f) : fclose(f)) != 0) Fail(errno);
}

void OutputFile::Fail(int err) { throw ToolError(Status, "cannot write " + Path + ": " + strerror(err)); }

}  // namespace tk
