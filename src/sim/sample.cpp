#include "sim/sample.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "sim/textparse.h"

namespace kv::sim {

double consumptionRate(const SampleParams& p, double hours) {
    if (hours < 0.0) return 0.0;
    double r = p.rate;
    if (hours > p.lagHours && p.growth != 0.0) {
        // Cap the exponent: beyond this the plateau or the dosing limit governs anyway.
        const double x = std::min(p.growth * (hours - p.lagHours), 50.0);
        r = p.rate * std::exp(x);
    }
    if (p.maxRate > 0.0) r = std::min(r, p.maxRate);
    return std::max(r, 0.0);
}

bool parseSampleParams(std::string_view text, SampleParams& out, std::string& rest,
                       std::string* error) {
    rest.clear();
    for (const auto& [key, value] : keyValueWords(text)) {
        double* target = nullptr;
        if (key == "rate")
            target = &out.rate;
        else if (key == "lag")
            target = &out.lagHours;
        else if (key == "growth")
            target = &out.growth;
        else if (key == "max")
            target = &out.maxRate;
        else if (key == "noise")
            target = &out.noise;
        else if (key == "settle")
            target = &out.settleSec;
        else if (key == "demand")
            target = &out.demand;
        if (target) {
            if (!parseReal(value, *target) || *target < 0.0) {
                if (error) *error = "bad value for " + key + ": '" + value + "'";
                return false;
            }
            continue;
        }
        if (key == "curve") {
            if (value.empty()) {
                if (error) *error = "curve= needs a file name";
                return false;
            }
            out.curveFile = value;
            continue;
        }
        if (key == "adc") {
            if (!parseInt(value, out.adc) || out.adc < 0 || out.adc > 1023) {
                if (error) *error = "bad value for adc: '" + value + "'";
                return false;
            }
            continue;
        }
        if (!rest.empty()) rest += ' ';
        rest += value.empty() ? key : key + "=" + value;
    }
    return true;
}

namespace {

double curveAt(const std::vector<std::pair<double, double>>& c, double h) {
    if (c.empty() || h <= c.front().first) return c.empty() ? 0.0 : c.front().second;
    if (h >= c.back().first) return c.back().second;
    const auto it = std::upper_bound(c.begin(), c.end(), h,
                                     [](double x, const auto& pt) { return x < pt.first; });
    const auto& b = *it;
    const auto& a = *(it - 1);
    return a.second + (b.second - a.second) * (h - a.first) / (b.first - a.first);
}

}  // namespace

double sampleConsumption(const SampleParams& p, double fromHours, double toHours, double& extra) {
    if (toHours <= fromHours) return 0.0;
    if (p.curve) {
        // A curve that falls back (a measuring error in recorded data) consumes nothing.
        return std::max(0.0, curveAt(*p.curve, toHours) - curveAt(*p.curve, fromHours));
    }
    const double hours = toHours - fromHours;
    const double mg = consumptionRate(p, (fromHours + toHours) / 2.0) * hours;
    if (p.demand <= 0.0) return mg;
    const double base = std::min(mg, p.rate * hours);
    const double more = std::min(mg - base, std::max(0.0, p.demand - extra));
    extra += more;
    return base + more;
}

bool loadSampleCurve(const std::string& path, SampleParams& p, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error) *error = "cannot read the curve file " + path;
        return false;
    }
    auto pts = std::make_shared<std::vector<std::pair<double, double>>>();
    std::string line;
    int nr = 0;
    while (std::getline(in, line)) {
        ++nr;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        for (char& ch : line)
            if (ch == ';' || ch == ',' || ch == '\t' || ch == '\r') ch = ' ';
        std::string a, b, more;
        std::istringstream words(line);
        words >> a >> b >> more;
        if (a.empty()) continue;
        double h = 0, mg = 0;
        if (b.empty() || !more.empty() || !parseReal(a, h) || !parseReal(b, mg) ||
            !std::isfinite(h) || !std::isfinite(mg) || h < 0 ||
            (!pts->empty() && h <= pts->back().first)) {
            if (error)
                *error = path + " line " + std::to_string(nr) +
                         ": expected ascending hours and mg O2 (\"hours mg\")";
            return false;
        }
        pts->emplace_back(h, mg);
    }
    if (pts->empty()) {
        if (error) *error = path + ": no points";
        return false;
    }
    p.curve = std::move(pts);
    return true;
}

}  // namespace kv::sim
