// Lookups in the XML documents the library reads on every failed exchange
// (protocol error texts) and for every registered error code: the time of one
// readValue against a dictionary of N labels, the last label sought.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"

namespace {

void BM_XmlReadValueLastLabel(benchmark::State& state)
{
    const int labels = static_cast<int>(state.range(0));
    const std::string path = "/tmp/kavrel-bench-xml-" + std::to_string(::getpid()) + ".xml";
    {
        std::string text = "<?xml version=\"1.0\"?>\n<Dictionary>\n";
        for (int i = 1; i <= labels; ++i)
            text += "  <Label id=\"" + commonbase::toHex(static_cast<std::uint64_t>(i), 4) + "\">Text " +
                    std::to_string(i) + "</Label>\n";
        text += "</Dictionary>\n";
        FILE* f = std::fopen(path.c_str(), "w");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    commonbase::XmlDom dom{commonbase::WString(path), commonbase::WString()};
    if (!dom.parseFile(false)) {
        state.SkipWithError("the dictionary could not be parsed");
        return;
    }
    const std::string filter = "id=" + commonbase::toHex(static_cast<std::uint64_t>(labels), 4);
    std::string value;
    for (auto _ : state) {
        dom.readValue(value, "Dictionary/Label", filter);
        benchmark::DoNotOptimize(value);
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_XmlReadValueLastLabel)->Arg(50)->Arg(500);

} // namespace

BENCHMARK_MAIN();
