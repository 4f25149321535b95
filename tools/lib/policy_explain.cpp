#include "policy_explain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <stdexcept>

#include "access_names.h"
#include "alg_xml.h"
#include "algctl_format.h"
#include "alogger.h"
#include "basis.h"
#include "filter.h"
#include "misc_classes.h"

namespace alg {

namespace {

// The handshake record of the request: exactly the properties given, no inner objects, so a
// filter on a property the record lacks fails as it does on a gateway's record. A property the
// section's gateway never sets is absent whatever is given for it, as on the gateway.
class GivenRecord : public ObjectWithProperties {
  public:
    GivenRecord(const std::map<std::string, std::string>& p, const std::string& service)
        : properties_(p), known_(AccessPropertiesOf(service.c_str())) {}
    bool Known(const char* name) const {
        return known_.empty() || std::any_of(known_.begin(), known_.end(), [&](const char* k) {
                   return std::strcmp(k, name) == 0;
               });
    }
    bool GetPropVal(const char* name, std::string& value) const override {
        const auto it = properties_.find(name ? name : "");
        if (it == properties_.end() || !Known(it->first.c_str())) return false;
        value = it->second;
        return true;
    }
    const char* GetClassName() const override { return "GivenRecord"; }

  private:
    const std::map<std::string, std::string>& properties_;
    const std::span<const char* const> known_;
};

// Keeps what the framework logs: the warnings while building, the hits while evaluating.
class CaptureLog : public I_ToLogSystem {
  public:
    void Log(LoggedMessage& m) override {
        lines.push_back({m.en ? m.en : "", m.suffix, m.type == MsgType::warning ||
                                                         m.type == MsgType::error});
    }
    struct Line {
        std::string text, suffix;
        bool problem;
    };
    std::vector<Line> lines;
};

// How each gateway's listener builds its processing sections from the process element.
struct ListenerSections {
    const char* service;
    bool replace, cut;
    BodyRules bodies;
};
constexpr ListenerSections kListeners[] = {{"alg_http", true, true, BodyRules::build},
                                           {"alg_smtp", true, true, BodyRules::skip},
                                           {"alg_ftp", false, true, BodyRules::skip},
                                           {"alg_socks", false, false, BodyRules::skip}};

const ListenerSections* ListenerOf(const std::string& service) {
    for (const ListenerSections& l : kListeners)
        if (service == l.service) return &l;
    return nullptr;
}

// The hits a ProcessOption / ProcessBody call logged (":S.R" for a cut, ":S.R (N)" for a
// replace).
std::vector<ExplainHit> HitsOf(const CaptureLog& log) {
    std::vector<ExplainHit> hits;
    for (const CaptureLog::Line& l : log.lines) {
        ExplainHit h;
        if (l.text == CutOption.en || l.text == CutBody.en) {
            h.kind = "cut";
            h.count = 1;
            if (std::sscanf(l.suffix.c_str(), ":%d.%d", &h.section, &h.rule) != 2) continue;
        } else if (l.text == ReplaceOption.en || l.text == ReplaceBody.en) {
            h.kind = "replace";
            if (std::sscanf(l.suffix.c_str(), ":%d.%d (%d)", &h.section, &h.rule, &h.count) != 3)
                continue;
        } else {
            continue;
        }
        hits.push_back(h);
    }
    return hits;
}

void ExplainHandshake(const ALGproxyType& proxy, const RecordLines& lines,
                      const ExplainRequest& req, Explanation& out) {
    const ALGhandshakeType* handshake = proxy.handshake.first();
    if (handshake == nullptr) throw std::runtime_error("the section has no handshake element");
    CaptureLog built;
    HandshakeFilter filter;
    filter.Load(*handshake, built);
    for (const CaptureLog::Line& l : built.lines)
        if (l.problem) out.notes.push_back(l.text + l.suffix);

    const GivenRecord record(req.properties, req.service);
    CaptureLog quiet;
    // The decision is the real filter's; the per-rule account below only explains it.
    const ActionType action = filter.GetAction(req.user.c_str(), record, quiet);
    out.action = ActionName(action);
    auto access = handshake->access.begin();
    bool decided = false;
    for (const AccessList& rule : filter.Rules()) {
        const ALGaccessType& rec = **access++;
        ExplainRule r;
        r.position = rule.number;
        r.line = lines.lineOf(&rec);
        r.user = rule.user;
        r.action = ActionName(rule.action);
        r.forUser = rule.user.empty() || rule.user == req.user;
        r.reached = !decided;
        auto f = rec.filterby.begin();
        bool all = true;
        for (const AccFilter& af : rule.filters) {
            const ALGfilterbyType& frec = **f++;
            ExplainFilter x;
            x.property = af.name;
            x.maskType = frec.masktype.c_str();
            x.mask = frec.mask.c_str();
            x.valid = af.filter.IsValid();
            x.present = record.GetProperty(af.name.c_str(), x.value);
            x.known = record.Known(af.name.c_str());
            x.matched = af.FilterMatch(record);
            all = all && x.matched;
            r.filters.push_back(std::move(x));
        }
        if (!decided && r.forUser && all && rule.GetAction(req.user.c_str(), record, quiet) != atNone) {
            r.decided = decided = true;
            out.decidedBy = r.position;
        }
        out.rules.push_back(std::move(r));
    }
    if (!decided && action != atReject)
        throw std::logic_error("the access rules decided without a deciding rule");
}

void ExplainSections(const ALGproxyType& proxy, const ExplainRequest& req, Explanation& out) {
    if (req.options.empty() && !req.withBody) return;
    const ListenerSections* listener = ListenerOf(req.service);
    if (listener == nullptr)
        throw std::runtime_error("no gateway is known to serve \"" + req.service +
                                 "\": its processing sections cannot be built as it would");
    ProcessSection sections;
    CaptureLog built;
    if (const ALGprocessType* process = proxy.process.first()) {
        if (listener->replace) sections.AddReplaceSections(process->replace, listener->bodies, built);
        if (listener->cut) sections.AddCutSections(process->cut, listener->bodies, built);
        if (!listener->replace && !process->replace.empty())
            out.notes.push_back("replace sections are not applied by this gateway");
        if (listener->bodies == BodyRules::skip && req.withBody)
            out.notes.push_back("body rules are not applied by this gateway");
    }
    for (const CaptureLog::Line& l : built.lines)
        if (l.problem) out.notes.push_back(l.text + l.suffix);
    for (const auto& [name, value] : req.options) {
        ExplainItem item{name, value, value, false, {}};
        CaptureLog hits;
        item.refused = sections.ProcessOption(req.user.c_str(), name.c_str(), item.result, hits);
        item.hits = HitsOf(hits);
        out.options.push_back(std::move(item));
    }
    if (req.withBody) {
        out.withBody = true;
        ExplainItem& item = out.body;
        item.name = kBodyRuleName;
        item.value = item.result = req.body;
        CaptureLog hits;
        item.refused = sections.ProcessBody(req.user.c_str(), item.result, hits, kFilterCodepage);
        item.hits = HitsOf(hits);
    }
}

QJsonValue J(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QJsonObject ItemJson(const ExplainItem& item) {
    QJsonArray hits;
    for (const ExplainHit& h : item.hits)
        hits.append(QJsonObject{{"kind", J(h.kind)},
                                {"section", h.section},
                                {"rule", h.rule},
                                {"count", h.count}});
    return QJsonObject{{"name", J(item.name)}, {"value", J(item.value)},
                       {"refused", item.refused},  {"hits", hits},
                       {"result", J(item.result)}};
}

std::string ItemText(const char* what, const ExplainItem& item) {
    std::string out = std::string(what) + " " + EscapeControls(item.name) + ": ";
    if (item.hits.empty()) return out + "no rule hits\n";
    for (const ExplainHit& h : item.hits)
        out += h.kind + "[" + std::to_string(h.section) + "] rule " + std::to_string(h.rule) +
               (h.kind == "replace" ? " (" + std::to_string(h.count) + ")" : "") + "; ";
    out.resize(out.size() - 2);
    if (item.refused) return out + " -> refused\n";
    return out + "\n  rewritten: " + EscapeControls(item.result) + "\n";
}

}  // namespace

Explanation Explain(const ExplainRequest& req) {
    Explanation out;
    out.service = req.service;
    AlgDoc doc;
    RecordLines lines;
    doc.setRecordLines(&lines);
    bool found = false;
    try {
        doc.load(req.path);
        doc.parseEach([&](const ALGproxyType& proxy, int) {
            if (!found && streq(proxy.name, req.service.c_str())) {
                found = true;
                ExplainHandshake(proxy, lines, req, out);
                ExplainSections(proxy, req, out);
            }
            lines.clear();
        });
    } catch (const TTT& e) {
        throw std::runtime_error(EscapeControls(req.path) + ":" + std::to_string(e.line()) + ": " +
                                 EscapeControls(e.cause()));
    } catch (const ErrLocalizer& e) {
        // A builder refused a value: a listener would not start with this section either.
        // The detail is policy text (a mask type, an action): escaped like every other.
        const std::string detail =
            e.Detail().empty() ? "" : ": \"" + EscapeControls(e.Detail()) + "\"";
        throw std::runtime_error(std::string(e.Msg().en) + detail +
                                 " (run algpolicy check for the details)");
    }
    if (!found)
        throw std::runtime_error("the policy has no proxy section named \"" +
                                 EscapeControls(req.service) + "\"");
    return out;
}

std::string FormatExplanation(const Explanation& e) {
    std::string out = "proxy \"" + EscapeControls(e.service) + "\"\n";
    for (const std::string& n : e.notes) out += "note: " + EscapeControls(n) + "\n";
    for (const ExplainRule& r : e.rules) {
        out += "rule " + std::to_string(r.position) +
               (r.line ? " (line " + std::to_string(r.line) + ")" : "") + ", user " +
               (r.user.empty() ? "any" : EscapeControls(r.user)) + ", action " + r.action + ": ";
        if (!r.reached)
            out += "not reached\n";
        else if (!r.forUser)
            out += "for another user\n";
        else
            out += r.decided ? "DECIDED\n" : "no match\n";
        if (!r.reached || !r.forUser) continue;
        for (const ExplainFilter& f : r.filters)
            out += "  " + EscapeControls(f.property) + " " + EscapeControls(f.maskType) + " \"" +
                   EscapeControls(f.mask) + "\"" + (f.valid ? "" : " (invalid mask)") + ": " +
                   (f.present ? "\"" + EscapeControls(f.value) + "\""
                    : f.known ? "absent"
                              : "absent (no property of this gateway)") +
                   (f.matched ? " matched" : " not matched") + "\n";
    }
    out += "decision: " + e.action +
           (e.decidedBy ? " by rule " + std::to_string(e.decidedBy)
                        : std::string(" (default: no rule applied)")) +
           "\n";
    for (const ExplainItem& item : e.options) out += ItemText("option", item);
    if (e.withBody) out += ItemText("body", e.body);
    return out;
}

std::string FormatExplanationJson(const Explanation& e) {
    QJsonArray rules;
    for (const ExplainRule& r : e.rules) {
        QJsonArray filters;
        for (const ExplainFilter& f : r.filters)
            filters.append(QJsonObject{{"property", J(f.property)},
                                       {"masktype", J(f.maskType)},
                                       {"mask", J(f.mask)},
                                       {"valid", f.valid},
                                       {"value", f.present ? J(f.value) : QJsonValue()},
                                       {"known", f.known},
                                       {"matched", f.matched}});
        rules.append(QJsonObject{{"position", r.position},
                                 {"line", r.line},
                                 {"user", J(r.user)},
                                 {"action", J(r.action)},
                                 {"for_user", r.forUser},
                                 {"reached", r.reached},
                                 {"decided", r.decided},
                                 {"filters", filters}});
    }
    QJsonArray notes, options;
    for (const std::string& n : e.notes) notes.append(J(n));
    for (const ExplainItem& item : e.options) options.append(ItemJson(item));
    QJsonObject root{{"service", J(e.service)},
                     {"rules", rules},
                     {"action", J(e.action)},
                     {"rule", e.decidedBy ? QJsonValue(e.decidedBy) : QJsonValue()},
                     {"default", e.decidedBy == 0},
                     {"notes", notes},
                     {"options", options}};
    if (e.withBody) root.insert("body", ItemJson(e.body));
    return ctl::JsonWithoutC1(QJsonDocument(root));
}

}  // namespace alg
