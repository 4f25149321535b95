// `algpolicy explain`: runs a request record through the access rules and the processing
// sections of one proxy section, built and evaluated by the very framework code a listener
// uses, and tells which rule decided and what the sections did to the given texts.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace alg {

struct ExplainRequest {
    std::string path;     // the policy file
    std::string service;  // the proxy section's name, e.g. "alg_http"
    std::string user;
    std::map<std::string, std::string> properties;            // the handshake record
    std::vector<std::pair<std::string, std::string>> options;  // items for the sections
    bool withBody = false;
    std::string body;
};

struct ExplainFilter {
    std::string property, maskType, mask, value;  // value: "" when the record lacks it
    bool present = false, valid = true, matched = false;
    bool known = true;  // a property the section's gateway sets
};

struct ExplainRule {
    int position = 0, line = 0;
    std::string user;  // "" for every user
    std::string action;
    bool forUser = true;   // the rule is for every user or for the request's one
    bool reached = true;   // false for rules after the one that decided
    bool decided = false;
    std::vector<ExplainFilter> filters;
};

struct ExplainHit {
    std::string kind;  // "cut" or "replace"
    int section = 0, rule = 0, count = 0;
};

// What the sections did to one option or to the body.
struct ExplainItem {
    std::string name, value, result;  // result: the text as rewritten (value when untouched)
    bool refused = false;
    std::vector<ExplainHit> hits;
};

struct Explanation {
    std::string service;
    std::vector<ExplainRule> rules;
    std::string action;  // "allow", "drop" or "reject"
    int decidedBy = 0;   // the rule's position, 0 when the default reject applied
    std::vector<std::string> notes;  // how the sections were built (skipped rules, bad masks)
    std::vector<ExplainItem> options;
    bool withBody = false;
    ExplainItem body;
};

// Throws std::runtime_error (an unreadable policy, no such section, a section a listener would
// refuse to build) with a one-line reason.
Explanation Explain(const ExplainRequest& request);

// Human-readable lines, every text with its terminal controls escaped.
std::string FormatExplanation(const Explanation& e);
// One JSON object (Qt's writer).
std::string FormatExplanationJson(const Explanation& e);

}  // namespace alg
