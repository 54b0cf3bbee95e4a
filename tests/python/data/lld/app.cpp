// C++ with mangled names, to see how lld prints them.
namespace app {
struct Filter {
    int weight;
    int apply(int value) const { return value * weight + 1; }
};
static Filter filters[2] = {{3}, {5}};
int run(int value, int which) { return filters[which & 1].apply(value); }
}  // namespace app

extern "C" int app_step(int value) { return app::run(value, value); }
