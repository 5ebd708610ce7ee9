// Runs one codec case a given number of times, for counting its instructions with callgrind:
//
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=tarn_bench_measured
//            codec_count decode/servers_1000/tarn 200
//
// Only tarn_bench_measured() is counted, after one warm-up run, so the total divided by the count
// is the cost of one run with warm parser buffers, the same state the timed benchmarks measure.
// Without arguments it lists the cases.
#include "codec_cases.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" [[gnu::noinline]] void tarn_bench_measured(const tarn::bench::CodecCase* c, long runs) {
    for (long i = 0; i < runs; ++i) c->run();
}

int main(int argc, char** argv) {
    auto cases = tarn::bench::decodeCases();
    for (auto& c : tarn::bench::encodeCases()) cases.push_back(std::move(c));
    if (argc < 2) {
        for (const auto& c : cases) std::printf("%s %zu\n", c.name.c_str(), c.bytes);
        return 0;
    }
    const long runs = argc > 2 ? std::atol(argv[2]) : 100;
    for (const auto& c : cases) {
        if (c.name != std::string_view(argv[1])) continue;
        c.run();
        tarn_bench_measured(&c, runs);
        std::printf("%s %zu bytes x %ld runs\n", c.name.c_str(), c.bytes, runs);
        return 0;
    }
    std::fprintf(stderr, "no case named %s\n", argv[1]);
    return 2;
}
