// A 10 MB S37 file into segments and checksum (FlashData), against srecord's
// srec_cat reading the same word-addressed file into a binary in the same run.
// Printed at the end: the speed ratio (target: at least 2) and the peak memory
// of one parse in a child process against 1.1 x the data plus 1 MiB.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "flashtools/FlashData.h"

namespace {

struct TestFile {
    std::string dir, path;
    std::size_t dataBytes = 0;
    TestFile()
    {
        char pattern[] = "/tmp/kavrel-srec-bench-XXXXXX";
        dir = ::mkdtemp(pattern) ? pattern : "/tmp";
        // 4.2 MB of data in 32-byte S3 records make a file of about 10.6 MB. Without the
        // record count: past 65535 records it would be an S6 record, which the drives' files never hold.
        dataBytes = 4200 * 1024;
        std::string bin = dir + "/image.bin";
        {
            std::ofstream out(bin, std::ios::binary);
            std::mt19937 gen(42);
            for (std::size_t i = 0; i < dataBytes; ++i)
                out.put(static_cast<char>(gen()));
        }
        path = dir + "/image.s37";
        const std::string cmd = "srec_cat " + bin + " -binary -o " + path + " -motorola 2 -address-length=4 -disable=data-count 2>/dev/null";
        if (std::system(cmd.c_str()) != 0)
            path.clear();
    }
    ~TestFile() { std::filesystem::remove_all(dir); }
    static TestFile& get()
    {
        static TestFile file;
        return file;
    }
};

double kavrelSeconds = 0, srecCatSeconds = 0;

void BM_KavrelSrecParse(benchmark::State& state)
{
    auto& file = TestFile::get();
    if (file.path.empty()) {
        state.SkipWithError("srec_cat could not make the file");
        return;
    }
    std::size_t bytes = 0;
    const auto begun = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto data = Kavrel::createFlashData(file.path);
        bytes = Kavrel::totalBytes(data->getSegments());
        benchmark::DoNotOptimize(bytes);
    }
    kavrelSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count() /
                    static_cast<double>(state.iterations());
    state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(file.path)) / 1e6;
    state.counters["data_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(std::filesystem::file_size(file.path)) * state.iterations());
}

void BM_SrecCatToBinary(benchmark::State& state)
{
    auto& file = TestFile::get();
    if (file.path.empty()) {
        state.SkipWithError("srec_cat could not make the file");
        return;
    }
    const std::string cmd = "srec_cat " + file.path + " -motorola 2 -o /dev/null -binary 2>/dev/null";
    const auto begun = std::chrono::steady_clock::now();
    for (auto _ : state)
        benchmark::DoNotOptimize(std::system(cmd.c_str()));
    srecCatSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count() /
                     static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(std::filesystem::file_size(file.path)) * state.iterations());
}

long residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// One parse in a fresh child: its peak resident size above what it held before.
void BM_KavrelSrecParsePeakMemory(benchmark::State& state)
{
    auto& file = TestFile::get();
    if (file.path.empty()) {
        state.SkipWithError("srec_cat could not make the file");
        return;
    }
    double peakMiB = 0;
    for (auto _ : state) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeFds[0]);
            // Freed heap of the earlier runs goes back first: the parse must not hide in it.
            ::malloc_trim(0);
            const long before = residentKiB();
            auto data = Kavrel::createFlashData(file.path);
            benchmark::DoNotOptimize(data->getSegments().size());
            rusage usage {};
            ::getrusage(RUSAGE_SELF, &usage);
            const long grown = usage.ru_maxrss - before;
            (void)!::write(pipeFds[1], &grown, sizeof grown);
            ::_exit(0);
        }
        ::close(pipeFds[1]);
        long grown = 0;
        (void)!::read(pipeFds[0], &grown, sizeof grown);
        ::close(pipeFds[0]);
        ::waitpid(child, nullptr, 0);
        peakMiB = static_cast<double>(grown) / 1024.0;
    }
    const double limitMiB = 1.1 * static_cast<double>(file.dataBytes) / (1024.0 * 1024.0) + 1.0;
    state.counters["peak_MiB"] = peakMiB;
    state.counters["limit_MiB"] = limitMiB;
    std::printf("peak memory of one parse: %.2f MiB (limit %.2f MiB: 1.1 x %.2f MiB data + 1 MiB)\n", peakMiB,
                limitMiB, static_cast<double>(file.dataBytes) / (1024.0 * 1024.0));
}

} // namespace

BENCHMARK(BM_KavrelSrecParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SrecCatToBinary)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_KavrelSrecParsePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (kavrelSeconds > 0 && srecCatSeconds > 0)
        std::printf("kavrel %.1f ms, srec_cat %.1f ms per file: kavrel is %.2fx srec_cat's speed (target >= 2)\n",
                    kavrelSeconds * 1e3, srecCatSeconds * 1e3, srecCatSeconds / kavrelSeconds);
    benchmark::Shutdown();
    return 0;
}
