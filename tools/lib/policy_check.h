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

using PolicyProblems = std::vector<PolicyProblem>;

// Problems of a loaded policy; `lines` (from AlgDoc::setRecordLines) supplies positions.
PolicyProblems CheckPolicy(const ALGalgpolicyType& policy, const RecordLines* lines = nullptr);
// Reads the policy text as the gateways do and checks it; a reader error or a document
// without exactly one algpolicy element is one problem.
PolicyProblems CheckPolicyDocument(const std::string& name, const std::string& text);
PolicyProblems CheckPolicyFile(const std::string& path);

// One line "DOCUMENT:LINE: SECTION, ELEMENT: TEXT" (parts that are unknown left out).
std::string FormatPolicyProblem(const std::string& document, const PolicyProblem& problem);

// CheckPolicyDocument(name, text) with each problem formatted as one line; empty when clean.
std::vector<std::string> CheckPolicyText(const std::string& text, const std::string& name);

}  // namespace alg
