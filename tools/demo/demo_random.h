#pragma once
// A small seeded random source. The engine is fully specified by the standard and the helpers
// below do their own arithmetic, so the same seed gives the same demo everywhere.

#include <QStringList>

#include <cstdint>
#include <random>

namespace DemoData {

class Random {
public:
    explicit Random(std::uint64_t seed) : m_engine(seed) {}

    // 0 <= result < n (n > 0).
    int below(int n) { return int(m_engine() % std::uint64_t(n)); }
    // lo <= result <= hi.
    int between(int lo, int hi) { return lo + below(hi - lo + 1); }
    bool chance(double p) { return double(m_engine() >> 11) * (1.0 / 9007199254740992.0) < p; }
    const QString &pick(const QStringList &list) { return list.at(below(int(list.size()))); }

    // An index drawn with the given relative weights.
    template <typename Weights> int weighted(const Weights &weights)
    {
        int total = 0;
        for (int w : weights)
            total += w;
        int r = below(total);
        int i = 0;
        for (int w : weights) {
            if (r < w)
                return i;
            r -= w;
            ++i;
        }
        return i - 1;
    }

private:
    std::mt19937_64 m_engine;
};

} // namespace DemoData
