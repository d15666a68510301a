// The envelope's plot as SVG: valid XML whatever the title holds, every number finite.
#pragma once

#include <string>
#include <vector>

#include "vasq.h"

namespace vasqctl {

// Text escaped for XML character data and attribute values (after ValidUtf8).
std::string XmlEscaped(const std::string& text);

// The curve of the table, its ten control points and both axes with their
// units, under `title`. Empty when a number to be drawn is not finite (which a
// checked envelope never gives).
std::string SvgPlot(const BPEnvelopeCustomized& record, int unit, const std::vector<double>& pressure,
                    const std::vector<double>& amplitude, const std::string& title);

}  // namespace vasqctl
