// Times llama.cpp's own GGUF reader on one file: gguf_init_from_file with
// no_alloc (header, metadata and tensor descriptions, no tensor data).
// Usage: gguf_open_llamacpp FILE REPEATS; prints the median in ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gguf.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE REPEATS\n", argv[0]);
        return 2;
    }
    const int repeats = std::atoi(argv[2]);
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        auto start = std::chrono::steady_clock::now();
        gguf_init_params params{true, nullptr};
        gguf_context* ctx = gguf_init_from_file(argv[1], params);
        auto stop = std::chrono::steady_clock::now();
        if (!ctx) {
            std::fprintf(stderr, "gguf_init_from_file failed\n");
            return 1;
        }
        gguf_free(ctx);
        ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.6f\n", ms[ms.size() / 2]);
    return 0;
}
