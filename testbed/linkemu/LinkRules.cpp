#include "LinkRules.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace linkemu {

namespace {

// A whole-text decimal number, not negative.
bool number(const std::string& text, double& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool percent(const std::string& text, double& value)
{
    return number(text, value) && value <= 100;
}

// Milliseconds, as whole microseconds.
bool millis(const std::string& text, int64_t& us)
{
    double ms = 0;
    if (!number(text, ms) || ms > 60000) {
        return false;
    }
    us = static_cast<int64_t>(std::llround(ms * 1000));
    return true;
}

// Splits "a<sep>b"; b empty when there is no separator.
std::pair<std::string, std::string> split(const std::string& text, const std::string& sep)
{
    const size_t at = text.find(sep);
    if (at == std::string::npos) {
        return {text, ""};
    }
    return {text.substr(0, at), text.substr(at + sep.size())};
}

std::string setRule(Rules& r, const std::string& key, const std::string& value)
{
    if (key == "loss") {
        return percent(value, r.lossPercent) ? "" : "loss wants a percentage: " + value;
    }
    if (key == "duplicate") {
        return percent(value, r.duplicatePercent) ? "" : "duplicate wants a percentage: " + value;
    }
    if (key == "burst") {
        const auto [length, chance] = split(value, "@");
        double n = 0;
        if (!number(length, n) || n < 1 || n > 1000 || n != std::floor(n) || !percent(chance, r.burstPercent)) {
            return "burst wants N@PCT (N frames from 1 to 1000): " + value;
        }
        r.burstLength = static_cast<unsigned>(n);
        return "";
    }
    if (key == "reorder") {
        const auto [chance, hold] = split(value, "@");
        if (!percent(chance, r.reorderPercent) || (value.find('@') != std::string::npos && !millis(hold, r.reorderHoldUs))) {
            return "reorder wants PCT or PCT@MS: " + value;
        }
        return "";
    }
    if (key == "delay") {
        const auto [delay, jitter] = split(value, "+-");
        r.jitterUs = 0;
        if (!millis(delay, r.delayUs) || (value.find("+-") != std::string::npos && !millis(jitter, r.jitterUs))) {
            return "delay wants MS or MS+-MS: " + value;
        }
        return "";
    }
    return "unknown rule: " + key;
}

uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

std::string applyRule(LinkRules& rules, const std::string& rule)
{
    std::string body = rule;
    bool ab = true;
    bool ba = true;
    if (body.rfind("ab:", 0) == 0) {
        ba = false;
        body = body.substr(3);
    } else if (body.rfind("ba:", 0) == 0) {
        ab = false;
        body = body.substr(3);
    }
    const size_t eq = body.find('=');
    if (eq == std::string::npos) {
        return "a rule is key=value: " + rule;
    }
    const std::string key = body.substr(0, eq);
    const std::string value = body.substr(eq + 1);
    LinkRules changed = rules;
    for (Rules* r : {ab ? &changed.ab : nullptr, ba ? &changed.ba : nullptr}) {
        if (r != nullptr) {
            if (std::string error = setRule(*r, key, value); !error.empty()) {
                return error;
            }
        }
    }
    rules = changed;
    return "";
}

uint64_t Rng::next()
{
    state += 0x9E3779B97F4A7C15ull;
    return mix(state);
}

double Rng::unit()
{
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

bool Rng::chance(double percent)
{
    return unit() * 100 < percent;
}

std::string formatCounters(const Counters& c)
{
    std::ostringstream out;
    out << "seen=" << c.seen << " forwarded=" << c.forwarded << " dropped=" << c.dropped
        << " duplicated=" << c.duplicated << " reordered=" << c.reordered << " delayed=" << c.delayed
        << " errors=" << c.errors;
    return out.str();
}

std::optional<Counters> parseCounters(const std::string& text)
{
    Counters c;
    const std::pair<const char*, uint64_t*> fields[] = {
        {"seen", &c.seen},           {"forwarded", &c.forwarded}, {"dropped", &c.dropped},
        {"duplicated", &c.duplicated}, {"reordered", &c.reordered}, {"delayed", &c.delayed},
        {"errors", &c.errors},
    };
    for (const auto& [name, field] : fields) {
        const std::string key = std::string(" ") + name + "=";
        const size_t at = (" " + text).find(key);
        if (at == std::string::npos) {
            return std::nullopt;
        }
        *field = std::strtoull(text.c_str() + at + key.size() - 1, nullptr, 10);
    }
    return c;
}

Direction::Direction(const Rules& rules, uint64_t seed) : rules(rules), seed(mix(seed)) {}

void Direction::arrive(Frame frame, Clock::time_point now, bool impaired)
{
    ++counters_.seen;
    Pending p{std::move(frame), now};
    p.impaired = impaired;
    int64_t delayUs = 0;
    if (impaired) {
        // Always the same draws per frame, whatever the rules, so that one
        // frame's fate does not shift those after it.
        Rng rng(seed ^ mix(index++ ^ 0x5851F42D4C957F2Dull));
        const bool burstStart = rng.chance(rules.burstPercent);
        const bool lost = rng.chance(rules.lossPercent);
        p.duplicate = rng.chance(rules.duplicatePercent);
        const double jitter = rng.unit() * 2 - 1;
        p.reorder = rng.chance(rules.reorderPercent);
        bool drop = false;
        if (burstLeft > 0) {
            --burstLeft;
            drop = true;
        } else if (rules.burstLength > 0 && burstStart) {
            burstLeft = rules.burstLength - 1;
            drop = true;
        } else {
            drop = lost;
        }
        if (drop) {
            ++counters_.dropped;
            return;
        }
        delayUs = std::max<int64_t>(0, rules.delayUs + std::llround(jitter * static_cast<double>(rules.jitterUs)));
    }
    p.due = std::max(now + std::chrono::microseconds(delayUs), lastDue);
    lastDue = p.due;
    if (p.due > now) {
        ++counters_.delayed;
    }
    queue.push_back(std::move(p));
}

std::vector<Frame> Direction::take(Clock::time_point now)
{
    std::vector<Frame> out;
    auto emit = [&](Pending& p) {
        ++counters_.forwarded;
        if (p.duplicate) {
            ++counters_.duplicated;
            out.push_back(p.frame);
        }
        out.push_back(std::move(p.frame));
    };
    for (;;) {
        const bool frontDue = !queue.empty() && queue.front().due <= now;
        const bool heldDue = held && heldUntil <= now;
        if (heldDue && (!frontDue || heldUntil <= queue.front().due)) {
            emit(*held);
            held.reset();
            continue;
        }
        if (!frontDue) {
            break;
        }
        Pending p = std::move(queue.front());
        queue.pop_front();
        if (p.reorder && !held) {
            heldUntil = p.due + std::chrono::microseconds(rules.reorderHoldUs);
            held = std::move(p);
            continue;
        }
        emit(p);
        // Only a frame the rules apply to releases a held one: the others
        // (neighbour discovery beside a test's datagrams) would make a
        // reordering no one sees among the frames that count.
        if (held && p.impaired) {
            ++counters_.reordered;
            emit(*held);
            held.reset();
        }
    }
    return out;
}

std::optional<Clock::time_point> Direction::nextDue() const
{
    std::optional<Clock::time_point> due;
    if (!queue.empty()) {
        due = queue.front().due;
    }
    if (held && (!due || heldUntil < *due)) {
        due = heldUntil;
    }
    return due;
}

}  // namespace linkemu
