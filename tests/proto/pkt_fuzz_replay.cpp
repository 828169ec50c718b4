// Runs every seed of the checked-in fuzz corpus through the fuzz target, so that each build (and
// each sanitizer build) replays them.
#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace
{

TEST(FuzzCorpus, EverySeedRunsClean)
{
    const char *src = getenv("VESK_SOURCE_DIR");
    if (!src)
        GTEST_SKIP() << "VESK_SOURCE_DIR is not set: the corpus cannot be found";
    std::filesystem::path dir = std::filesystem::path(src) / "tests/proto/corpus";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    int seeds = 0;
    for (auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string seed = read_file(entry.path());
        std::vector<uint8_t> data(seed.begin(), seed.end());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0);
        seeds++;
    }
    EXPECT_GE(seeds, 10);
}

} // namespace
