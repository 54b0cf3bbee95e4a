// Mangled names for the map readers: nested namespaces, an overload set, a
// class with methods and a namespace-scope object.
#include <stdint.h>

namespace geo {

struct Point {
    int x;
    int y;
};

namespace detail {
int clamp(int value, int low, int high)
{
    return value < low ? low : (value > high ? high : value);
}
} // namespace detail

__attribute__((noinline)) int area(int width, int height)
{
    return detail::clamp(width, 0, 1000) * detail::clamp(height, 0, 1000);
}

__attribute__((noinline)) int area(const Point &corner)
{
    return area(corner.x, corner.y);
}

__attribute__((noinline)) long area(long radius)
{
    return 3 * radius * radius;
}

class Accumulator {
public:
    void add(int value);
    int total() const { return sum_ + count_; }

private:
    int sum_;
    int count_;
};

__attribute__((noinline)) void Accumulator::add(int value)
{
    sum_ += value;
    count_++;
}

Accumulator accumulator;
extern const int weights[4];
const int weights[4] = {3, 5, 7, 11};

} // namespace geo

extern "C" int shapes_checksum(int seed)
{
    geo::Point corner = {seed & 0xff, seed >> 8};
    for (int i = 0; i < 4; i++)
        geo::accumulator.add(geo::weights[i] * geo::area(corner));
    return geo::accumulator.total() + (int)geo::area((long)seed) + geo::area(seed, 2);
}
