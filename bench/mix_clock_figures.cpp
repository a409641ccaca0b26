// Figures of a mixed recording, for compare_mix_clocks.sh: mono float32 at
// `rate` on standard input; a steady tone of `tone` Hz from the mixed-in
// source, followed in 20 ms Hann windows (its rate error after 10 s, and
// the largest step of its phase between two windows: a skipped or repeated
// sample); with two burst frequencies, the onsets of the bursts of each and
// how far apart the two sources' bursts are (first and last ten seconds, the
// range it spans, and the largest change between consecutive seconds).
//   ffmpeg -i mix.wav -af pan=mono|c0=c0 -f f32le - | mix_clock_figures 48000 440 [1000 3000]
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

// How late the tone is, per window (seconds), unwrapped.
std::vector<double> delays(const std::vector<float>& x, double rate, double f, std::size_t window, std::size_t hop)
{
    const double omega = 2 * M_PI * f / rate;
    std::vector<std::complex<double>> kernel(window);
    for (std::size_t n = 0; n < window; ++n)
        kernel[n] = (0.5 - 0.5 * std::cos(2 * M_PI * double(n) / double(window - 1))) * std::polar(1.0, -omega * double(n));
    std::vector<double> out;
    for (std::size_t at = 0; at + window <= x.size(); at += hop) {
        std::complex<double> z;
        for (std::size_t n = 0; n < window; ++n)
            z += double(x[at + n]) * kernel[n];
        double d = -(std::arg(z) - omega * double(at) + M_PI / 2) / (2 * M_PI * f);
        if (!out.empty())
            d -= std::round((d - out.back()) * f) / f;
        out.push_back(d);
    }
    return out;
}

// The onsets (seconds) of bursts of frequency f: its envelope over 1 ms
// rising through half its peak after 50 ms below a quarter.
std::vector<double> onsets(const std::vector<float>& x, double rate, double f)
{
    const double omega = 2 * M_PI * f / rate;
    const auto span = std::size_t(rate / 1000);
    std::vector<double> env(x.size());
    std::complex<double> sum;
    std::vector<std::complex<double>> z(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        z[i] = double(x[i]) * std::polar(1.0, -omega * double(i));
        sum += z[i];
        if (i >= span)
            sum -= z[i - span];
        env[i] = 2 * std::abs(sum) / double(span);
    }
    const double top = *std::max_element(env.begin(), env.end());
    std::vector<double> out;
    std::size_t quiet = 0;
    for (std::size_t i = 1; i < env.size(); ++i) {
        if (env[i] < top / 4)
            ++quiet;
        else if (env[i] >= top / 2 && env[i - 1] < top / 2) {
            if (quiet > std::size_t(0.05 * rate))
                out.push_back((double(i) - 1 + (top / 2 - env[i - 1]) / (env[i] - env[i - 1]) - double(span) / 2) / rate);
            quiet = 0;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: mix_clock_figures RATE TONE [BURST_A BURST_B] < mono.f32\n");
        return 2;
    }
    const double rate = std::atof(argv[1]), tone = std::atof(argv[2]);
    std::vector<float> x;
    float buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, sizeof(float), 65536, stdin)) > 0;)
        x.insert(x.end(), buffer, buffer + n);
    const auto window = std::size_t(0.02 * rate);
    const std::vector<double> d = delays(x, rate, tone, window, window / 2);
    const double hop = double(window / 2) / rate;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, step = 0;
    // From 1 s on: the file begins with the input's delay, in silence.
    // Three hops apart, the windows do not overlap: a step shows whole between some two.
    for (std::size_t i = std::size_t(1 / hop) + 3; i < d.size(); ++i)
        step = std::max(step, std::fabs(d[i] - d[i - 3]));
    for (std::size_t i = std::size_t(10 / hop); i < d.size(); ++i) {
        const double t = double(i) * hop;
        n += 1, sx += t, sy += d[i], sxx += t * t, sxy += t * d[i];
    }
    const double slope = n > 1 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0;
    std::printf("length %.1f s, tone %.0f Hz: rate error after 10 s %+.1f ppm, largest phase step after 1 s %.4f ms\n",
        double(x.size()) / rate, tone, -slope * 1e6, step * 1000);
    if (argc != 5)
        return 0;
    const std::vector<double> a = onsets(x, rate, std::atof(argv[3])), b = onsets(x, rate, std::atof(argv[4]));
    // Each burst of the first source with the second's nearest to where the
    // last pair put it (the sources start at unrelated moments, so the offset
    // may be near half a burst period); the mean per second.
    std::map<long, std::pair<double, int>> perSecond;
    double expected = NAN;
    for (double t : a) {
        const double at = t + (std::isnan(expected) ? 0 : expected);
        const auto near = std::min_element(b.begin(), b.end(), [&](double p, double q) { return std::fabs(p - at) < std::fabs(q - at); });
        if (near != b.end() && std::fabs(*near - at) < 0.1) {
            auto& s = perSecond[long(t)];
            s.first += *near - t;
            ++s.second;
            expected = *near - t;
        }
    }
    if (perSecond.empty()) {
        std::printf("no bursts paired\n");
        return 1;
    }
    const double last = double(perSecond.rbegin()->first);
    double first10 = 0, last10 = 0, least = INFINITY, most = -INFINITY, move = 0, previous = NAN;
    int firstCount = 0, lastCount = 0;
    for (const auto& [second, s] : perSecond) {
        const double offset = s.first / s.second;
        if (second < perSecond.begin()->first + 10)
            first10 += offset, ++firstCount;
        if (second > last - 10)
            last10 += offset, ++lastCount;
        least = std::min(least, offset), most = std::max(most, offset);
        if (!std::isnan(previous))
            move = std::max(move, std::fabs(offset - previous));
        previous = offset;
    }
    std::printf("bursts %zu/%zu: offset (second source later) first 10 s %+.2f ms, last 10 s %+.2f ms, range %.2f ms, "
                "largest move between seconds %.2f ms\n",
        a.size(), b.size(), first10 / firstCount * 1000, last10 / lastCount * 1000, (most - least) * 1000, move * 1000);
}
