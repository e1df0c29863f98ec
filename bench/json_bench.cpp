// Times the JSON reader and the tree writer on a menu-like body of about 5 MB (20000 products
// with names in several scripts, prices, reals and nested arrays), and on one object with
// 200000 members (the shape that would turn member lookup quadratic). Prints the best of
// several runs of each.
#include "json.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <time.h>

using namespace tavolex;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRuns = 15;

std::string MenuDocument(int products)
{
    static const char* const kNames[] = {"Caf\xC3\xA9 cr\xC3\xA8me", "Borscht \xD0\xB1\xD0\xBE\xD1\x80\xD1\x89",
                                         "Tarte fine aux pommes", "\xE6\x8B\x89\xE9\x9D\xA2 ramen",
                                         "Gr\xC3\xBCner Tee", "Pierogi \"ruskie\"",
                                         "Cr\xC3\xAApe \xF0\x9F\x8D\x93 fraise"};
    TextBuffer out;
    JsonWriter w(out);
    w.BeginObject();
    w.String("menuid", "K7Q2M9X001");
    w.String("name", "Carte d'\xC3\xA9t\xC3\xA9 / Summer menu");
    w.BeginArray("rcategories");
    for (int i = 0; i < products; ++i) {
        w.BeginObject();
        w.String("id", Format("P%08dAB", i));
        w.String("name", Format("%s %d", kNames[i % 7], i));
        w.String("description", "Served\twarm.");
        w.Int64("price", 1250 + i % 977);
        w.Real("weight", 0.125 * (i % 40));
        w.Bool("visible", i % 5 != 0);
        w.Integer("pos", i);
        w.BeginArray("tags");
        w.String("hot");
        w.String(i % 2 ? "veggie" : "spicy");
        w.EndArray();
        w.BeginArray("sizes");
        for (int s = 0; s < 2; ++s) {
            w.BeginObject();
            w.String("size", s ? "L" : "S");
            w.Int64("price", 900 + 500 * s + i % 13);
            w.BeginArray("allergens");
            w.Integer(1 + s);
            w.Integer(7);
            w.EndArray();
            w.EndObject();
        }
        w.EndArray();
        w.Null("note");
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return out.Take();
}

std::string WideObject(int members)
{
    TextBuffer out;
    JsonWriter w(out);
    w.BeginObject();
    for (int i = 0; i < members; ++i)
        w.Integer(Format("member%d", i), i);
    w.EndObject();
    return out.Take();
}

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time of this thread: on a shared machine it moves much less than the wall clock.
double CpuMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Returns false when the text does not read back to itself.
bool Measure(const char* title, const std::string& text)
{
    double bestParse = 1e300;
    double bestSerialize = 1e300;
    double bestParseCpu = 1e300;
    double bestSerializeCpu = 1e300;
    std::string written;
    for (int run = 0; run < kRuns; ++run) {
        JsonValue root;
        double cpuStart = CpuMilliseconds();
        Clock::time_point start = Clock::now();
        JsonStatus status = ParseJson(root, text);
        Clock::time_point parsed = Clock::now();
        double cpuParsed = CpuMilliseconds();
        TextBuffer out;
        JsonStatus writeStatus = root.Serialize(out);
        Clock::time_point serialized = Clock::now();
        double cpuSerialized = CpuMilliseconds();
        bestParseCpu = std::min(bestParseCpu, cpuParsed - cpuStart);
        bestSerializeCpu = std::min(bestSerializeCpu, cpuSerialized - cpuParsed);
        if (status != JsonStatus::Ok || writeStatus != JsonStatus::Ok) {
            std::printf("%s: failed to read or write\n", title);
            return false;
        }
        bestParse = std::min(bestParse, Milliseconds(parsed - start));
        bestSerialize = std::min(bestSerialize, Milliseconds(serialized - parsed));
        written = out.Take();
    }
    double megabytes = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    std::printf("%s: %.2f MB\n", title, megabytes);
    std::printf("  parse      %8.2f ms  (%6.1f MB/s)  cpu %8.2f ms\n", bestParse,
                megabytes / bestParse * 1000.0, bestParseCpu);
    std::printf("  serialise  %8.2f ms  (%6.1f MB/s)  cpu %8.2f ms\n", bestSerialize,
                megabytes / bestSerialize * 1000.0, bestSerializeCpu);
    std::printf("  together   %8.2f ms                 cpu %8.2f ms  (best of %d runs each)\n",
                bestParse + bestSerialize, bestParseCpu + bestSerializeCpu, kRuns);
    if (written != text) {
        std::printf("  written text differs from the input\n");
        return false;
    }
    return true;
}

} // namespace

int main()
{
    bool ok = Measure("menu, 20000 products", MenuDocument(20000));
    ok = Measure("one object, 200000 members", WideObject(200000)) && ok;
    return ok ? 0 : 1;
}
