// Internals shared by the simulator's sources: option-text parsing and a portable random source.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::sim::detail {

// Splits text at every separator; "a::b" gives "a", "", "b".
std::vector<std::string_view> Split(std::string_view text, char separator);

// Strict decimal numbers: the whole token, no blanks, finite. Each throws std::invalid_argument
// "<context>: <what> '<token>' is not ..." on a bad token.
double ParseReal(std::string_view token, std::string_view what, std::string_view context);
std::int64_t ParseInteger(std::string_view token, std::string_view what, std::string_view context);
std::uint64_t ParseUnsigned(std::string_view token, std::string_view what,
                            std::string_view context);

// Throws std::invalid_argument with "<context>: <message>".
[[noreturn]] void Fail(std::string_view context, std::string_view message);

// SplitMix64: the same sequence for a seed on every platform and standard library.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    // Uniform in [0, n); n > 0.
    std::uint64_t Below(std::uint64_t n) { return Next() % n; }

  private:
    std::uint64_t state_;
};

}  // namespace varnel::sim::detail
