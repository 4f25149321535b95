// Cost of access-rule evaluation and body processing, including the per-evaluation copy of
// each compiled expression.
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

// The copy each evaluation makes of a compiled expression, alone and with one match.
void BM_MatcherCopy(benchmark::State& state) {
    const alg::TextFilter f("wild", "*.example.com");
    for (auto _ : state) benchmark::DoNotOptimize(f.Matcher());
}
BENCHMARK(BM_MatcherCopy);

void BM_ExactMatchWithCopy(benchmark::State& state) {
    const alg::TextFilter f("wild", "*.example.com");
    const QString host = QStringLiteral("www.example.com");
    for (auto _ : state) benchmark::DoNotOptimize(f.ExactMatch(host));
}
BENCHMARK(BM_ExactMatchWithCopy);

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

}  // namespace

BENCHMARK_MAIN();
