// algpolicy: checks a policy file the way the gateways judge it, or writes it back in the
// library's canonical form.
#include <cstdio>
#include <cstring>
#include <string>

#include "alg_xml.h"
#include "basis.h"
#include "mldoc.h"
#include "policy_check.h"
#include "policy_explain.h"

namespace {

constexpr const char kUsage[] =
    "usage: algpolicy check FILE\n"
    "       algpolicy format FILE\n"
    "       algpolicy explain FILE SERVICE [--user U] [--option NAME=VALUE]... [--body FILE]\n"
    "                         [--json] PROPERTY=VALUE...\n"
    "explain runs the request record PROPERTY=VALUE... through the access rules of proxy\n"
    "SERVICE as its gateway would and names the rule that decided; each --option item and\n"
    "the --body text go through the cut and replace sections the gateway applies.\n";
constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

int Check(const std::string& path) {
    const alg::PolicyProblems problems = alg::CheckPolicyFile(path);
    for (const std::string& line : alg::FormatPolicyProblems(path, problems))
        std::printf("%s\n", line.c_str());
    if (problems.empty()) std::printf("%s: OK\n", EscapeControls(path).c_str());
    return problems.empty() ? kExitOk : kExitProblems;
}

// Reads with the library's reader (errors to standard error, so standard output carries
// only the document) and writes the result through saveToStr.
int Format(const std::string& path) {
    ALGalgpolicyType policy;
    AlgDoc doc;
    try {
        doc.load(path);
        if (!doc.parse(policy)) {
            std::fprintf(stderr, "%s: the document has no single algpolicy element\n",
                         EscapeControls(path).c_str());
            return kExitProblems;
        }
    } catch (const TTT& e) {
        // The reader's cause may quote the document.
        const TTT shown(EscapeControls(e.document()), e.line(), EscapeControls(e.cause()));
        std::fprintf(stderr, "Error: %s\n", shown.makeMulti().c_str());
        return kExitProblems;
    }
    doc.release();
    std::string out;
    if (!policy.saveToStr(out)) return kExitProblems;
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        return kExitProblems;
    return kExitOk;
}

bool SplitPair(const char* arg, std::string& name, std::string& value) {
    const char* eq = std::strchr(arg, '=');
    if (eq == nullptr || eq == arg) return false;
    name.assign(arg, eq);
    value = eq + 1;
    return true;
}

int Explain(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    alg::ExplainRequest req;
    req.path = argv[0];
    req.service = argv[1];
    bool json = false;
    std::string bodyPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string name, value;
        const bool hasValue = i + 1 < argc;
        if (arg == "--json") {
            json = true;
        } else if (arg == "--user" && hasValue) {
            req.user = argv[++i];
        } else if (arg == "--body" && hasValue) {
            bodyPath = argv[++i];
            req.withBody = true;
        } else if (arg == "--option" && hasValue && SplitPair(argv[i + 1], name, value)) {
            req.options.emplace_back(name, value);
            ++i;
        } else if (arg.rfind("--", 0) != 0 && SplitPair(argv[i], name, value)) {
            req.properties[name] = value;
        } else {
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    try {
        // Read like a policy file: bounded, no FIFO.
        if (req.withBody) req.body = MLDoc::readFile(bodyPath);
    } catch (const TTT& e) {
        std::fprintf(stderr, "algpolicy: cannot read %s: %s\n", EscapeControls(bodyPath).c_str(),
                     EscapeControls(e.cause()).c_str());
        return kExitProblems;
    }
    try {
        const alg::Explanation e = alg::Explain(req);
        std::fputs((json ? alg::FormatExplanationJson(e) : alg::FormatExplanation(e)).c_str(),
                   stdout);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "algpolicy: %s\n", e.what());
        return kExitProblems;
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitProblems;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(productVersionLine("algpolicy").c_str(), stdout);
        return kExitOk;
    }
    if (argc >= 2 && std::strcmp(argv[1], "explain") == 0) return Explain(argc - 2, argv + 2);
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "check") == 0) return Check(argv[2]);
    if (std::strcmp(argv[1], "format") == 0) return Format(argv[2]);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}
