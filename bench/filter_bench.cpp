// Cost of access-rule evaluation and body processing, and rule time against text length.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "filter.h"

namespace {

class Record : public alg::ObjectWithProperties {
  public:
    bool GetPropVal(const char* name, std::string& value) const override {
        auto it = props.find(name);
        if (it == props.end()) return false;
        value = it->second;
        return true;
    }
    std::map<std::string, std::string> props;
};

class NullLog : public alg::I_ToLogSystem {
  public:
    void Log(alg::LoggedMessage&) override {}
};

constexpr int kRules = 100;
constexpr std::size_t kBodySize = 1 << 20;

// 100 rules on Host and Port; only the last one matches the request.
alg::HandshakeFilter HundredRules() {
    alg::HandshakeFilter hf;
    for (int i = 1; i <= kRules; ++i) {
        alg::AccessList rule;
        rule.logLevel = alg::event;
        rule.action = alg::atAllow;
        rule.number = static_cast<unsigned short>(i);
        const std::string host =
            i == kRules ? "*.example.com" : "*.host" + std::to_string(i) + ".net";
        rule.filters.emplace_back(alg::TextFilter("wild", host.c_str()), "Host");
        rule.filters.emplace_back(alg::TextFilter("regexp", "80|443"), "Port");
        hf.Append(std::move(rule));
    }
    return hf;
}

void BM_HandshakeGetAction100Rules(benchmark::State& state) {
    const alg::HandshakeFilter hf = HundredRules();
    Record record;
    record.props = {{"Host", "www.example.com"}, {"Port", "443"}};
    NullLog log;
    for (auto _ : state) benchmark::DoNotOptimize(hf.GetAction("user", record, log));
}
BENCHMARK(BM_HandshakeGetAction100Rules)->ThreadRange(1, 2);

// One match of a host against a mask, shared by every thread.
void BM_ExactMatch(benchmark::State& state) {
    const alg::TextFilter f("wild", "*.example.com");
    const std::string host = "www.example.com";
    for (auto _ : state) benchmark::DoNotOptimize(f.ExactMatch(host));
}
BENCHMARK(BM_ExactMatch)->ThreadRange(1, 2);

// Text of lines of words; `hits` lines in every 64 carry the word the rules look for.
std::string Body(int hitsPer64Lines) {
    std::string body;
    body.reserve(kBodySize + 128);
    for (int line = 0; body.size() < kBodySize; ++line)
        body += (line % 64 < hitsPer64Lines)
                    ? "lorem ipsum forbidden dolor sit amet consectetur\n"
                    : "lorem ipsum dolor sit amet consectetur adipiscing\n";
    body.resize(kBodySize);
    return body;
}

alg::ProcessSection BodySections() {
    alg::ProcessSection ps;
    alg::CutSection cut;
    cut.index = 1;
    cut.bodies.emplace_back("regexp", "never-present-token", alg::kBodyRuleName, nullptr);
    ps.cuts.push_back(std::move(cut));
    alg::ReplaceSection replace;
    replace.index = 1;
    replace.bodies.emplace_back("regexp", "forbidden", alg::kBodyRuleName, "*********");
    ps.replaces.push_back(std::move(replace));
    return ps;
}

// One cut rule that never matches and one replace rule, on 1 MiB in the filter code page
// (no conversion); the argument is the number of hit lines in every 64.
void BM_ProcessBody1MiB(benchmark::State& state) {
    const alg::ProcessSection ps = BodySections();
    const std::string body = Body(static_cast<int>(state.range(0)));
    NullLog log;
    for (auto _ : state) {
        std::string b = body;
        benchmark::DoNotOptimize(ps.ProcessBody("user", b, log, alg::kFilterCodepage));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBodySize);
}
BENCHMARK(BM_ProcessBody1MiB)->Arg(0)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);

// Rule time against text length for the masks of the samples, on texts that almost match:
// the address mask of examples/smtp.xml on one RCPT TO line of "a"s with "@blocked" at its
// end, and the body mask of the HTTP suites as cut and as replace rule on lines of words with
// "forbidden-" here and there. Doubling the length must no more than double the time.
const char* const kSampleMasks[] = {"*@blocked.example*", "*forbidden-word*"};

std::string NearMiss(int mask, std::size_t length) {
    if (mask == 0) return std::string(length - 8, 'a') + "@blocked";
    std::string text;
    text.reserve(length + 64);
    while (text.size() < length) text += "lorem ipsum forbidden- dolor sit amet consectetur\n";
    text.resize(length);
    return text;
}

// Arguments: the mask (0 line, 1 body), the rule (0 cut, 1 replace), the length in KiB.
void BM_SampleRule(benchmark::State& state) {
    const int mask = static_cast<int>(state.range(0));
    const alg::ProcOption rule("wild", kSampleMasks[mask], "Item", state.range(1) ? "" : nullptr);
    const auto length = static_cast<std::size_t>(state.range(2)) << 10;
    // A near miss is never rewritten, so the replace rule runs on the same text every time.
    std::string text = NearMiss(mask, length);
    for (auto _ : state) {
        if (state.range(1) == 0)
            benchmark::DoNotOptimize(rule.Cut("Item", text));
        else
            benchmark::DoNotOptimize(rule.Replace("Item", text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_SampleRule)
    ->ArgsProduct({{0}, {0}, {8, 16, 32, 64}})
    ->ArgsProduct({{1}, {0, 1}, {1024, 2048, 65536, 131072, 262144}})
    ->Unit(benchmark::kMillisecond);

// The same address mask run by QRegExp alone, as every mask ran before: quadratic.
void BM_SampleRuleBacktracking(benchmark::State& state) {
    const QRegExp rx(kSampleMasks[0], Qt::CaseInsensitive, QRegExp::Wildcard);
    const QString text = QString::fromStdString(NearMiss(0, state.range(0) << 10));
    for (auto _ : state) benchmark::DoNotOptimize(QRegExp(rx).indexIn(text));
}
BENCHMARK(BM_SampleRuleBacktracking)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
