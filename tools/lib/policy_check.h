// Judges a policy the way the gateways do: every value in a proxy section that would stop a
// gateway from building its listener is reported as one problem. The checks build each piece
// (logger, authentication system, access rule) with the same framework functions the listener
// uses and collect what they throw, so a clean report means the gateways accept the policy.
#pragma once

#include <string>
#include <vector>

#include "alg_xml.h"

namespace alg {

struct PolicyProblem {
    std::string section;  // `proxy "alg_ftp"`, `proxy[2]` for a nameless one, "" for the document
    std::string element;  // path below the section, e.g. "general/loggers/logger[1]/@loglevel"
    int line = 0;         // line of the element in the document, 0 when unknown
    std::string text;     // what is wrong, with the offending value
};

// The problems of one policy in document order: the first kMaxKept are kept, the rest only
// counted, so a policy full of faults costs bounded memory and output.
class PolicyProblems {
  public:
    static constexpr std::size_t kMaxKept = 100;

    void Add(PolicyProblem problem);
    const std::vector<PolicyProblem>& kept() const { return kept_; }
    // How many were found beyond the kept ones.
    std::size_t omitted() const { return omitted_; }
    bool empty() const { return kept_.empty(); }

  private:
    std::vector<PolicyProblem> kept_;
    std::size_t omitted_ = 0;
};

// Reads the policy text as the gateways do and checks it, one section at a time; a reader
// error or a document without exactly one algpolicy element is one problem. When `sections`
// is not empty, a policy without a proxy section named by one of them is a problem too: the
// gateway that will read it would find nothing to serve.
PolicyProblems CheckPolicyDocument(const std::string& name, const std::string& text,
                                   const std::vector<std::string>& sections = {});
// The same for the file at `path`, read with MLDoc::readFile.
PolicyProblems CheckPolicyFile(const std::string& path);

// One line "DOCUMENT:LINE: SECTION, ELEMENT: TEXT" (parts that are unknown left out), its
// terminal controls escaped.
std::string FormatPolicyProblem(const std::string& document, const PolicyProblem& problem);
// One line per kept problem, then "N more problems not shown" when some were only counted.
std::vector<std::string> FormatPolicyProblems(const std::string& document,
                                              const PolicyProblems& problems);

}  // namespace alg
