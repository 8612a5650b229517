// Splitting and parsing a realistic 64 KiB settings file: many sink groups,
// keys, comments and CR LF line ends, the shape the daemon reads at start.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/FileBuffer.h"
#include "foundation/FileInf.h"

namespace {

std::string makeSettings(size_t target)
{
    std::string s =
        "\xEF\xBB\xBF; bridge settings\r\n[global]\r\nDebug=6,1\r\nInterface=eth0,eth1\r\n"
        "periodMin=4\r\nperiodMax=64\r\nperiodSizeMin=1024\r\nperiodSizeMax=65536\r\n"
        "CpuSend=2-3\r\nCpuOther=0-1\r\nThredMode=17\r\n\r\n";
    for (int n = 0; s.size() < target; ++n) {
        s += "# profile of sink " + std::to_string(n % 4) + " on target " + std::to_string(n / 4) + "\r\n";
        s += "[Living Room " + std::to_string(n / 4) + ":Out " + std::to_string(n % 4) + "]\r\n";
        s += "ThredMode = " + std::to_string(1 + (n % 2) * 16) + "\r\n";
        s += "InfoCycle=" + std::to_string(1000 + n) + "\r\n";
        s += "TargetProfileLimitTime=20000\r\n";
        s += "FlexCycle=" + std::to_string(n % 2) + "\r\n";
        s += "CycleTime = " + std::to_string(500 + 10 * (n % 50)) + "   \r\n";
        s += "// CycleMinTime=250\r\n";
        s += "CycleMinTime=" + std::to_string(250 + n % 7) + "\r\n\r\n";
    }
    s.resize(target);
    s += "\r\n";
    return s;
}

const std::string& settingsText()
{
    static const std::string text = makeSettings(64 * 1024);
    return text;
}

TIVRA::Buffer settingsBuffer()
{
    const std::string& t = settingsText();
    return TIVRA::Buffer(t.begin(), t.end());
}

void BM_GetStringList(benchmark::State& state)
{
    const TIVRA::Buffer buf = settingsBuffer();
    std::list<std::string> lines;
    for (auto _ : state) {
        benchmark::DoNotOptimize(buf.get_string_list(lines, false));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
    state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_GetStringList);

void BM_FileInfLoadLines(benchmark::State& state)
{
    std::list<std::string> lines;
    settingsBuffer().get_string_list(lines, false);
    size_t groups = 0;
    for (auto _ : state) {
        TIVRA::FileInf inf;
        inf.load(lines, 0);
        groups = inf.groups.size();
        benchmark::DoNotOptimize(inf.groupMap);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * settingsText().size()));
    state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_FileInfLoadLines);

// The daemon's whole start-up read: file, split, parse.
void BM_FileInfLoadFile(benchmark::State& state)
{
    char path[] = "/tmp/bench_settings.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    ::close(fd);
    TIVRA::FileBuffer file;
    file.write(settingsText().data(), settingsText().size());
    if (!file.save(path)) {
        state.SkipWithError("temporary file not written");
        TIVRA::FileBuffer::remove(path);
        return;
    }
    for (auto _ : state) {
        TIVRA::FileInf inf;
        if (!inf.load(path, 0)) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(inf.groupMap);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * settingsText().size()));
    TIVRA::FileBuffer::remove(path);
}
BENCHMARK(BM_FileInfLoadFile);

}  // namespace

BENCHMARK_MAIN();
