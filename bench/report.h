// The latency summary line the probes print.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace varnel::bench {

// "what: n=N median=… us p90=… us p99=… us max=… us", or "what: no samples".
inline void Report(const char* what, std::vector<double> us) {
    if (us.empty()) {
        std::printf("%s: no samples\n", what);
        return;
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
    };
    std::printf("%s: n=%zu median=%.1f us p90=%.1f us p99=%.1f us max=%.1f us\n", what, us.size(),
                at(0.5), at(0.9), at(0.99), us.back());
}

}  // namespace varnel::bench
