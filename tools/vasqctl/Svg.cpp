#include "Svg.h"

#include <string.h>

#include <algorithm>
#include <cmath>

#include "Cli.h"
#include "Output.h"

namespace vasqctl {

std::string XmlEscaped(const std::string& text)
{
    const std::string valid = ValidUtf8(text);
    std::string out;
    out.reserve(valid.size());
    for (char c : valid) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        // Kept as characters, not folded into spaces by an attribute's normalisation.
        case '\t':
            out += "&#9;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

// The plot's title is shown at most this long; the whole of it is the document's <title>.
constexpr size_t kShownTitle = 100;

// Numbers for the drawing: each one finite, or the drawing is refused.
class Numbers {
public:
    std::string operator()(double value, int decimals = 1)
    {
        if (!std::isfinite(value)) {
            finite_ = false;
            value = 0;
        }
        return Printf("%.*f", decimals, value);
    }
    bool Finite() const { return finite_; }

private:
    bool finite_ = true;
};

}  // namespace

std::string SvgPlot(const BPEnvelopeCustomized& r, int unit, const std::vector<double>& pressure,
                    const std::vector<double>& amplitude, const std::string& title)
{
    Numbers n;
    const double width = 800, height = 480, left = 70, right = 20, top = 40, bottom = 60;
    const double xMax = unit == 1 ? 48.0 : 360.0;
    const char* unitName = UnitName(unit);
    double yMax = 0;
    for (double a : amplitude)
        yMax = std::max(yMax, a);
    // Headroom above the highest point for its label; amplitudes are at most 255.
    yMax = std::min(std::max(40.0, std::ceil((yMax + 15.0) / 20.0) * 20.0), 280.0);
    const double yStep = yMax <= 140.0 ? 20.0 : 40.0;
    auto X = [&](double p) { return left + std::clamp(p, 0.0, xMax) / xMax * (width - left - right); };
    auto Y = [&](double a) { return height - bottom - std::clamp(a, 0.0, yMax) / yMax * (height - top - bottom); };
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + n(width, 0) + "\" height=\"" + n(height, 0) +
           "\" viewBox=\"0 0 " + n(width, 0) + " " + n(height, 0) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + XmlEscaped(title) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + n(width / 2, 0) + "\" y=\"22\" font-size=\"15\" text-anchor=\"middle\">" +
           XmlEscaped(Shortened(ValidUtf8(title), kShownTitle)) + "</text>\n";
    // Axes with ticks and units.
    svg += "<g stroke=\"black\"><line x1=\"" + n(left) + "\" y1=\"" + n(Y(0)) + "\" x2=\"" + n(X(xMax)) +
           "\" y2=\"" + n(Y(0)) + "\"/><line x1=\"" + n(left) + "\" y1=\"" + n(Y(0)) + "\" x2=\"" + n(left) +
           "\" y2=\"" + n(Y(yMax)) + "\"/></g>\n";
    const double xStep = unit == 1 ? 5.0 : 50.0;
    for (double p = 0; p <= xMax + 1e-9; p += xStep)
        svg += "<line x1=\"" + n(X(p)) + "\" y1=\"" + n(Y(0)) + "\" x2=\"" + n(X(p)) + "\" y2=\"" + n(Y(0) + 5) +
               "\" stroke=\"black\"/><text x=\"" + n(X(p)) + "\" y=\"" + n(Y(0) + 18) +
               "\" text-anchor=\"middle\">" + n(p, 0) + "</text>\n";
    for (double a = 0; a <= yMax + 1e-9; a += yStep)
        svg += "<line x1=\"" + n(left - 5) + "\" y1=\"" + n(Y(a)) + "\" x2=\"" + n(left) + "\" y2=\"" + n(Y(a)) +
               "\" stroke=\"black\"/><text x=\"" + n(left - 8) + "\" y=\"" + n(Y(a) + 4) +
               "\" text-anchor=\"end\">" + n(a, 0) + "</text>\n";
    svg += "<text x=\"" + n((left + X(xMax)) / 2) + "\" y=\"" + n(height - 15) +
           "\" text-anchor=\"middle\">cuff pressure (" + unitName + ")</text>\n";
    svg += "<text x=\"18\" y=\"" + n((top + Y(0)) / 2) + "\" text-anchor=\"middle\" transform=\"rotate(-90 18 " +
           n((top + Y(0)) / 2) + ")\">pulse amplitude (device units, 0-255)</text>\n";
    // The curve.
    svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.5\" points=\"";
    for (size_t i = 0; i < pressure.size() && i < amplitude.size(); ++i)
        svg += (i == 0 ? "" : " ") + n(X(pressure[i])) + "," + n(Y(amplitude[i]));
    svg += "\"/>\n";
    // The ten control points.
    const double d = unit == 1 ? 0.1 : 1.0;
    const struct {
        double p;
        double a;
        const char* name;
    } points[10] = {{r.dBottomPressure, 0, "bottom"},
                    {r.dBottomPressure + d, double(r.nBaseAmplitude), ""},
                    {r.dLowerBasePressure, double(r.nBaseAmplitude), "lower base"},
                    {r.dDiastolic + r.dDiastolicOffset, double(r.nDiastolicAmplitude), "diastolic"},
                    {r.dLowerPeakPressure, double(r.nLowerPeakAmplitude), "lower peak"},
                    {r.dUpperPeakPressure, double(r.nUpperPeakAmplitude), "upper peak"},
                    {r.dSystolic + r.dSystolicOffset, double(r.nSystolicAmplitude), "systolic"},
                    {r.dUpperBasePressure, double(r.nBaseAmplitude), "upper base"},
                    {r.dTopPressure - d, double(r.nBaseAmplitude), ""},
                    {r.dTopPressure, 0, "top"}};
    svg += "<g fill=\"#d62728\">\n";
    for (const auto& pt : points) {
        svg += "<circle cx=\"" + n(X(pt.p)) + "\" cy=\"" + n(Y(pt.a)) + "\" r=\"4\"><title>" +
               (pt.name[0] != '\0' ? std::string(pt.name) + " " : std::string()) + n(pt.p, unit == 1 ? 2 : 1) + " " +
               unitName + ", amplitude " + n(pt.a, 0) + "</title></circle>\n";
        // The two peaks sit close together: their labels lean away from each other.
        const bool lower = strcmp(pt.name, "lower peak") == 0;
        const bool upper = strcmp(pt.name, "upper peak") == 0;
        if (pt.name[0] != '\0')
            svg += "<text x=\"" + n(X(pt.p) + (lower ? -4 : upper ? 4 : 0)) + "\" y=\"" + n(Y(pt.a) - 8) +
                   "\" font-size=\"10\" text-anchor=\"" + (lower ? "end" : upper ? "start" : "middle") + "\">" +
                   pt.name + "</text>\n";
    }
    svg += "</g>\n</svg>\n";
    return n.Finite() ? svg : std::string();
}

}  // namespace vasqctl
