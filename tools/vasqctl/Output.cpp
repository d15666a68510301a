#include "Output.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <cmath>

#include "Cli.h"

namespace vasqctl {

Json Rounded(double value, int decimals)
{
    if (!std::isfinite(value))
        return nullptr;
    // Whole numbers as such: 72, not 72.0.
    if (decimals <= 0 && std::fabs(value) < 9007199254740992.0)
        return static_cast<int64_t>(std::llround(value));
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    // Rounding a value near the largest double may overflow; the value itself is fine then.
    return std::isfinite(rounded) ? rounded : value;
}

Json Quantity(double value, const char* unit, int decimals)
{
    Json quantity;
    quantity["value"] = Rounded(value, decimals);
    quantity["unit"] = unit == nullptr ? Json(nullptr) : Json(unit);
    return quantity;
}

std::string JsonText(const Json& value, int indent)
{
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

void PrintJson(const Json& value)
{
    const std::string line = JsonText(value) + "\n";
    fputs(line.c_str(), stdout);
}

std::string Fixed(double value, int decimals)
{
    return std::isfinite(value) ? Printf("%.*f", decimals, value) : std::string("n/a");
}

std::string CsvNumber(double value, int decimals)
{
    return std::isfinite(value) ? Printf("%.*f", decimals, value) : std::string();
}

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

bool AllowedInXml(uint32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the well-formed UTF-8 sequence at text[i] and its code point; 0 when it is not one.
size_t Decode(const std::string& text, size_t i, uint32_t& c)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string ValidUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        const size_t length = Decode(text, i, c);
        if (length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        if (AllowedInXml(c))
            out.append(text, i, length);
        else
            out += kReplacement;
        i += length;
    }
    return out;
}

std::string Shortened(const std::string& text, size_t limit)
{
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters++ == limit)
            return text.substr(0, i) + "\xE2\x80\xA6";
    }
    return text;
}

bool WriteFile(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        Error("cannot write %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    errno = 0;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0;
    const int writeError = errno;
    const bool closed = fclose(f) == 0;
    const int closeError = errno;
    if (!written || !closed) {
        const int reason = !written ? writeError : closeError;
        Error("cannot write %s: %s", path.c_str(), reason != 0 ? strerror(reason) : "the write failed");
        return false;
    }
    return true;
}

}  // namespace vasqctl
