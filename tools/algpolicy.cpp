// algpolicy: checks a policy file the way the gateways judge it, or writes it back in the
// library's canonical form.
#include <cstdio>
#include <cstring>
#include <string>

#include "alg_xml.h"
#include "basis.h"
#include "policy_check.h"

namespace {

constexpr const char kUsage[] =
    "usage: algpolicy check FILE\n"
    "       algpolicy format FILE\n";
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "check") == 0) return Check(argv[2]);
    if (std::strcmp(argv[1], "format") == 0) return Format(argv[2]);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}
