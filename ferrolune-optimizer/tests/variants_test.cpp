#include "ferrolune/optimizer/variants.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ferrolune/optimizer/search.h"

namespace ferrolune::optimizer {
namespace {

namespace fs = std::filesystem;
using Q = QuantizationStrategy;

class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "variants-test-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(dir_); }
    const std::string& dir() const { return dir_; }
    std::string write(const std::string& name, std::size_t bytes) const {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << std::string(bytes, 'x');
        return path;
    }
    // The hidden private directories left in the scratch directory.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename().string().starts_with(".ferrolune-variants-")) out.push_back(e.path().string());
        return out;
    }

private:
    std::string dir_;
};

// A maker that records each type it was asked for and writes a small file.
struct RecordingMaker {
    std::mutex mutex;
    std::map<Q, int> made;
    std::atomic<int> in_progress{0};
    std::atomic<int> most_at_once{0};
    bool fail = false;

    MakeVariantFn fn() {
        return [this](std::string_view, std::string_view output, Q q) -> Status {
            int now = ++in_progress;
            for (int seen = most_at_once.load(); now > seen && !most_at_once.compare_exchange_weak(seen, now);) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // widens the window for a second maker
            {
                std::lock_guard lock(mutex);
                ++made[q];
            }
            std::ofstream(std::string(output)) << "partial";
            --in_progress;
            if (fail) return fail_status();
            return {};
        };
    }
    static Status fail_status() { return failf("llama-quantize exited with code 1"); }
};

VariantStore::Options options(const Scratch& s, const std::string& input, RecordingMaker& maker,
                              FreeSpaceFn free_space = [](const std::string&) -> Result<uint64_t> {
                                  return uint64_t{1} << 40;
                              }) {
    return {input, gguf_input_quantization(1), s.dir(), ".gguf", maker.fn(), std::move(free_space)};
}

TEST(VariantStore, makes_each_type_once_however_many_threads_ask_and_measures_the_own_type_on_the_input) {
    Scratch s;
    const std::string input = s.write("m.gguf", 1000);
    RecordingMaker maker;
    auto store = VariantStore::create(options(s, input, maker));
    ASSERT_TRUE(store) << store.error().render();

    std::vector<std::thread> threads;
    std::mutex mutex;
    std::map<Q, std::vector<std::string>> seen;
    for (int i = 0; i < 12; ++i) {
        threads.emplace_back([&, i] {
            const Q q = std::array{Q::Q4_K_M, Q::Q8_0, Q::F16}[i % 3];
            Result<std::string> file = (*store)->file_for(q);
            ASSERT_TRUE(file) << file.error().render();
            std::lock_guard lock(mutex);
            seen[q].push_back(*file);
        });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(maker.made, (std::map<Q, int>{{Q::Q4_K_M, 1}, {Q::Q8_0, 1}}));
    // Two types were made side by side: the lock is per type, not one for all.
    EXPECT_EQ(maker.most_at_once.load(), 2);
    for (const auto& [q, files] : seen) {
        for (const std::string& f : files) EXPECT_EQ(f, files.front());
        if (q == Q::F16) EXPECT_EQ(files.front(), input);
        else EXPECT_EQ(fs::path(files.front()).parent_path(), fs::path((*store)->directory()));
    }
}

TEST(VariantStore, the_private_directory_goes_with_the_store_whatever_it_holds) {
    Scratch s;
    const std::string input = s.write("m.gguf", 1000);
    RecordingMaker maker;
    {
        auto store = VariantStore::create(options(s, input, maker));
        ASSERT_TRUE(store);
        ASSERT_TRUE((*store)->file_for(Q::Q4_0));
        maker.fail = true;  // the next maker leaves a partial file behind
        EXPECT_FALSE((*store)->file_for(Q::Q8_0));
        EXPECT_EQ(s.leftovers().size(), 1u);
    }
    EXPECT_TRUE(s.leftovers().empty());
    EXPECT_TRUE(fs::exists(input));
}

TEST(VariantStore, a_taken_file_is_the_callers_and_is_not_handed_out_again) {
    Scratch s;
    const std::string input = s.write("m.gguf", 1000);
    RecordingMaker maker;
    const std::string kept = s.dir() + "/winner.gguf";
    {
        auto store = VariantStore::create(options(s, input, maker));
        ASSERT_TRUE(store);
        EXPECT_FALSE((*store)->take(Q::Q4_K_M));  // never made
        ASSERT_TRUE((*store)->file_for(Q::Q4_K_M));
        std::optional<std::string> taken = (*store)->take(Q::Q4_K_M);
        ASSERT_TRUE(taken);
        fs::rename(*taken, kept);
        EXPECT_FALSE((*store)->take(Q::Q4_K_M));
        EXPECT_FALSE((*store)->take(Q::F16));  // the input is never handed over
    }
    EXPECT_TRUE(fs::exists(kept));
}

struct SpaceCase {
    const char* name;
    uint64_t free_bytes;
    bool made;
};

class VariantFreeSpace : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(VariantFreeSpace, a_variant_that_does_not_fit_is_skipped_with_its_reason) {
    Scratch s;
    // 16,000 bytes of F16: its Q8_0 file needs about 8,500.
    const std::string input = s.write("m.gguf", 16000);
    RecordingMaker maker;
    const uint64_t free_bytes = GetParam().free_bytes;
    auto store = VariantStore::create(
        options(s, input, maker, [free_bytes](const std::string&) -> Result<uint64_t> { return free_bytes; }));
    ASSERT_TRUE(store);
    for (int ask = 0; ask < 2; ++ask) {
        Result<std::string> file = (*store)->file_for(Q::Q8_0);
        EXPECT_EQ(file.has_value(), GetParam().made);
        if (!file) EXPECT_TRUE(file.error().render().starts_with("not enough free space for the Q8_0 file"))
            << file.error().render();
    }
    EXPECT_EQ(maker.made[Q::Q8_0], GetParam().made ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, VariantFreeSpace,
                         ::testing::Values(SpaceCase{"room", 9000, true}, SpaceCase{"no_room", 8000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FileTypeCase {
    const char* name;
    std::optional<uint32_t> file_type;
    std::optional<Q> own;
    std::vector<Q> allowed;  // of F16, Q8_0, Q4_K_M, Q4_0
};

class InputTypes : public ::testing::TestWithParam<FileTypeCase> {};

TEST_P(InputTypes, map_to_the_own_type_and_allow_nothing_of_higher_precision) {
    InputQuantization input = gguf_input_quantization(GetParam().file_type);
    EXPECT_EQ(input.own, GetParam().own);
    std::vector<Q> allowed;
    for (Q q : {Q::F16, Q::Q8_0, Q::Q4_K_M, Q::Q4_0})
        if (not_above_input(q, input)) allowed.push_back(q);
    EXPECT_EQ(allowed, GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InputTypes,
    ::testing::Values(FileTypeCase{"f32", 0, std::nullopt, {Q::F16, Q::Q8_0, Q::Q4_K_M, Q::Q4_0}},
                      FileTypeCase{"f16", 1, Q::F16, {Q::F16, Q::Q8_0, Q::Q4_K_M, Q::Q4_0}},
                      FileTypeCase{"q8_0", 7, Q::Q8_0, {Q::Q8_0, Q::Q4_K_M, Q::Q4_0}},
                      FileTypeCase{"q4_k_m", 15, Q::Q4_K_M, {Q::Q4_K_M, Q::Q4_0}},
                      FileTypeCase{"q4_0", 2, Q::Q4_0, {Q::Q4_0}},
                      // Unknown: the quantizer decides what it can make.
                      FileTypeCase{"q6_k", 18, std::nullopt, {Q::F16, Q::Q8_0, Q::Q4_K_M, Q::Q4_0}},
                      FileTypeCase{"absent", std::nullopt, std::nullopt, {Q::F16, Q::Q8_0, Q::Q4_K_M, Q::Q4_0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MeasureOnVariants, each_configuration_runs_on_its_own_types_file_and_a_missing_tool_makes_nothing) {
    Scratch s;
    const std::string input = s.write("m.gguf", 1000);
    RecordingMaker maker;
    auto store = VariantStore::create(options(s, input, maker));
    ASSERT_TRUE(store);
    std::vector<std::string> paths;
    MeasureFn inner = [&](const RuntimeConfig&, const ModelDescription& m, std::string_view) -> Result<BenchmarkResult> {
        paths.push_back(m.path);
        return BenchmarkResult{1.0, 1.0, 1};
    };
    MeasureFn measure = measure_on_variants(**store, inner, [](RuntimeKind r) { return r == RuntimeKind::LlamaCpp; });
    ModelDescription model;
    model.path = input;
    ASSERT_TRUE(measure(RuntimeConfig{RuntimeKind::LlamaCpp, Q::Q4_0, 1, 0, 0}, model, "p"));
    ASSERT_TRUE(measure(RuntimeConfig{RuntimeKind::LlamaCpp, Q::F16, 1, 0, 0}, model, "p"));
    ASSERT_TRUE(measure(RuntimeConfig{RuntimeKind::Ollama, Q::Q8_0, 0, 0, 0}, model, "p"));
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(fs::path(paths[0]).filename(), "Q4_0.gguf");
    EXPECT_EQ(paths[1], input);
    EXPECT_EQ(paths[2], input);  // its tool is missing: it fails on its own, nothing made
    EXPECT_EQ(maker.made, (std::map<Q, int>{{Q::Q4_0, 1}}));
}

struct RestrictCase {
    const char* name;
    std::vector<Q> quants;
    std::vector<Q> allowed;
    std::optional<Q> fallback;
    std::vector<Q> expected;
};

class RestrictQuantizations : public ::testing::TestWithParam<RestrictCase> {};

TEST_P(RestrictQuantizations, keeps_what_can_be_measured_on_its_own_file) {
    MeasurableQuantizations m;
    m.allows = [&](Q q) { return std::ranges::find(GetParam().allowed, q) != GetParam().allowed.end(); };
    m.fallback = GetParam().fallback;
    EXPECT_EQ(restrict_quantizations(GetParam().quants, m), GetParam().expected);

    std::vector<RuntimeConfig> candidates;
    for (Q q : GetParam().quants)
        for (uint32_t t : {1u, 2u}) candidates.push_back(RuntimeConfig{RuntimeKind::LlamaCpp, q, t, 512, 0});
    std::vector<RuntimeConfig> restricted = restrict_candidates(candidates, m);
    std::vector<Q> seen;
    for (const RuntimeConfig& c : restricted)
        if (std::ranges::find(seen, c.quantization) == seen.end()) seen.push_back(c.quantization);
    EXPECT_EQ(seen, GetParam().expected);
    EXPECT_EQ(restricted.size(), 2 * GetParam().expected.size());  // each thread count once per type
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestrictQuantizations,
    ::testing::Values(RestrictCase{"some_allowed", {Q::Q8_0, Q::Q4_K_M, Q::F16}, {Q::Q4_K_M, Q::F16}, Q::F16,
                                   {Q::Q4_K_M, Q::F16}},
                      RestrictCase{"none_allowed_keeps_the_own_type", {Q::Q4_K_M, Q::Q8_0}, {Q::Q4_0}, Q::Q4_0,
                                   {Q::Q4_0}},
                      RestrictCase{"none_allowed_and_no_own_type", {Q::Q4_K_M, Q::Q8_0}, {}, std::nullopt,
                                   {Q::Q4_K_M, Q::Q8_0}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ferrolune::optimizer
