#include "policy_check.h"

#include <climits>
#include <cstring>
#include <exception>
#include <memory>

#include "access_names.h"
#include "alogger.h"
#include "auth.h"
#include "basis.h"
#include "filter.h"
#include "http_request.h"

namespace alg {

namespace {

constexpr const char kNoSingleRoot[] = "the document has no single algpolicy element";
constexpr const char kNoProxy[] = "the policy has no proxy section";
constexpr const char kNoSectionFor[] = "the policy has no proxy section named ";
constexpr const char kNoGeneral[] = "proxy section has no general element";
constexpr const char kNoHandshake[] = "proxy section has no handshake element";
constexpr const char kNoListenPort[] = "listen_port is missing or zero";
constexpr const char kPortRange[] = "listen_port is outside 1..65535";
constexpr const char kTimeoutRange[] = "session_timeout must be 0..2147483 seconds";
constexpr int kMaxTimeoutSeconds = INT_MAX / 1000;
constexpr const char kRadiusPortRange[] =
    "the RADIUS server's Port must be 1..65535 (the gateway would use 1645)";
constexpr const char kUnknownProperty[] =
    "the filter never matches, its gateway sets no such property: ";
constexpr const char kSnmpPortRange[] = "the SNMP logger's Port must be 1..65535";

std::string Quoted(const char* value) {
    return std::string("\"") + (value ? value : "") + "\"";
}

// Renders what a builder threw: the English message and its detail, or the offending value
// when the exception carries none.
std::string Describe(const std::exception& e, const char* value = nullptr, bool quote = false) {
    const auto* loc = dynamic_cast<const ErrLocalizer*>(&e);
    if (!loc) return e.what();
    std::string text = loc->Msg().en;
    const std::string& detail = loc->Detail();
    if (!detail.empty())
        text += detail[0] == ' ' ? detail : " - " + detail;
    else if (quote)
        text += " " + Quoted(value);
    return text;
}

bool Is(const std::exception& e, const locMSG& msg) {
    const auto* loc = dynamic_cast<const ErrLocalizer*>(&e);
    return loc && &loc->Msg() == &msg;
}

std::string Index(const char* kind, int i) {
    return std::string(kind) + "[" + std::to_string(i) + "]";
}

// Takes the warnings and errors a builder logs while it accepts a record (a mask that does
// not compile, a dropped body rule): the gateway would run, but the rule would not work.
class RemarkLog : public I_ToLogSystem {
  public:
    void Log(LoggedMessage& m) override {
        if (m.type == MsgType::warning || m.type == MsgType::error)
            remarks.push_back(std::string(m.en ? m.en : "") + m.suffix);
    }
    std::vector<std::string> remarks;
};

class Checker {
  public:
    Checker(const RecordLines* lines, PolicyProblems& out) : lines_(lines), out_(out) {}

    void Section(const ALGproxyType& proxy, int index) {
        section_ = proxy.name.isNull() ? "proxy[" + std::to_string(index) + "]"
                                       : "proxy " + Quoted(proxy.name);
        const ALGgeneralType* general = proxy.general.first();
        const ALGhandshakeType* handshake = proxy.handshake.first();
        if (!general) Add("general", LineOf(&proxy), kNoGeneral);
        if (!handshake) Add("handshake", LineOf(&proxy), kNoHandshake);
        if (general) General(*general);
        if (general) HttpDefaultCharset(proxy, *general);
        if (handshake) Handshake(*handshake, proxy.name.c_str());
        if (const ALGprocessType* process = proxy.process.first()) Process(*process);
        FtpIgnoredRules(proxy);
    }

  private:
    int LineOf(const void* record, const char* field = nullptr) const {
        return lines_ ? lines_->lineOf(record, field) : 0;
    }

    void Add(std::string element, int line, std::string text) {
        out_.Add({section_, std::move(element), line, std::move(text)});
    }

    void General(const ALGgeneralType& g) {
        const int generalLine = LineOf(&g);
        const int portLine = LineOf(&g, "listen_port");
        if (g.listen_port == 0)
            Add("general/listen_port", portLine ? portLine : generalLine, kNoListenPort);
        else if (g.listen_port < 0 || g.listen_port > 65535)
            Add("general/listen_port", portLine,
                std::string(kPortRange) + ", got " + std::to_string(g.listen_port));
        if (g.session_timeout < 0 || g.session_timeout > kMaxTimeoutSeconds)
            Add("general/session_timeout", LineOf(&g, "session_timeout"),
                std::string(kTimeoutRange) + ", got " + std::to_string(g.session_timeout));
        try {
            AuthSystemClass::CheckAuthSystem(g);
        } catch (const std::exception& e) {
            const int line = LineOf(&g, "authsystem");
            Add("general/authsystem", line ? line : generalLine, Describe(e));
        }
        AuthSystemParams(g.authsystem, generalLine);
        int index = 0;
        for (const ALGloggerType* logger : g.loggers) Logger(*logger, ++index);
    }

    // The RADIUS system puts its default port in place of a "Port" it cannot use, silently.
    void AuthSystemParams(const ALGauthsystemType& a, int line) {
        if (!streq(a.name, kRadiusName)) return;
        if (const ALGparamType* port = AuthRadiusClass::UnusablePort(a)) {
            const int paramLine = LineOf(port);
            Add("general/authsystem/param[@name='Port']", paramLine ? paramLine : line,
                std::string(kRadiusPortRange) + ", got " + Quoted(port->value));
        }
    }

    // Builds the logger as the log system would; a level error hides what the class would
    // say about its parameters, so the logger is built once more with a valid level.
    void Logger(const ALGloggerType& cfg, int index) {
        const std::string element = "general/loggers/logger[" + std::to_string(index) + "]";
        const int line = LineOf(&cfg);
        if (streq(cfg.name, "SNMP")) SnmpLoggerParams(element, line, cfg);
        bool levelRefused = false;
        try {
            LoggerClass::Create(cfg);
            return;
        } catch (const std::exception& e) {
            if (!Is(e, InvalidLogLevel)) {
                LoggerError(element, line, e, cfg);
                return;
            }
            levelRefused = true;
            Add(element + "/@loglevel", line, Describe(e, cfg.loglevel, true));
        }
        if (!levelRefused) return;
        ALGloggerType probe;
        probe.name = cfg.name;
        probe.loglevel.set("event");
        for (const ALGparamType* p : cfg.param) {
            ALGparamType& copy = probe.param.appendNew();
            copy.name = p->name;
            copy.value = p->value;
        }
        try {
            LoggerClass::Create(probe);
        } catch (const std::exception& e) {
            LoggerError(element, line, e, cfg);
        }
    }

    void LoggerError(const std::string& element, int line, const std::exception& e,
                     const ALGloggerType& cfg) {
        if (Is(e, LoggerClassNotFound)) {
            Add(element + "/@name", line, Describe(e));
        } else if (Is(e, ErrorEncoderName)) {
            // The logger takes the first "Encoding" parameter.
            ParamError(element, line, e, FindParam(cfg, "Encoding", false), "Encoding");
        } else if (Is(e, InvalidFacilityName)) {
            // ... and the last "facility" parameter.
            ParamError(element, line, e, FindParam(cfg, "facility", true), "facility");
        } else {
            Add(element, line, Describe(e));
        }
    }

    void ParamError(const std::string& element, int line, const std::exception& e,
                    const ALGparamType* param, const char* name) {
        const int paramLine = param ? LineOf(param) : 0;
        Add(element + "/param[@name='" + name + "']", paramLine ? paramLine : line,
            Describe(e, param ? param->value.c_str() : nullptr, true));
    }

    // The SNMP logger takes any "Port" text and only its sends fail, silently after the first:
    // the port that counts (the first non-empty one) must be a UDP port number.
    void SnmpLoggerParams(const std::string& element, int line, const ALGloggerType& cfg) {
        for (const ALGparamType* p : cfg.param) {
            if (!streq(p->name, "Port") || p->value.empty()) continue;
            const std::string value = p->value.c_str();
            const bool digits = value.size() <= 5 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoi(value) < 1 || std::stoi(value) > 65535) {
                const int paramLine = LineOf(p);
                Add(element + "/param[@name='Port']", paramLine ? paramLine : line,
                    std::string(kSnmpPortRange) + ", got " + Quoted(p->value));
            }
            return;
        }
    }

    static const ALGparamType* FindParam(const ALGloggerType& cfg, const char* name, bool last) {
        const ALGparamType* found = nullptr;
        for (const ALGparamType* p : cfg.param) {
            if (!streq(p->name, name)) continue;
            found = p;
            if (!last) break;
        }
        return found;
    }

    // Each part of a rule is judged by the function the access list is built with; a filter
    // on a property the section's gateway never sets is what the gateway warns about.
    void Handshake(const ALGhandshakeType& h, const char* service) {
        const std::vector<UnknownProperty> unknown = FindUnknownProperties(h, service);
        auto nextUnknown = unknown.begin();
        int index = 0;
        for (const ALGaccessType* access : h.access) {
            const std::string element = "handshake/" + Index("access", ++index);
            const int line = LineOf(access);
            try {
                ParseLogLevel(access->loglevel.get());
            } catch (const std::exception& e) {
                Add(element + "/@loglevel", line, Describe(e, access->loglevel, true));
            }
            try {
                ParseActionType(access->action.get());
            } catch (const std::exception& e) {
                Add(element + "/@action", line, Describe(e, access->action, true));
            }
            int f = 0;
            for (const ALGfilterbyType* filter : access->filterby) {
                const std::string fe = element + "/" + Index("filterby", ++f);
                const int fl = LineOf(filter) ? LineOf(filter) : line;
                if (nextUnknown != unknown.end() && nextUnknown->record == filter)
                    Add(fe + "/@name", fl, kUnknownProperty + (nextUnknown++)->text);
                try {
                    if (!TextFilter(filter->masktype.get(), filter->mask.get()).IsValid())
                        Add(fe, fl, std::string(InvalidMask.en) + " " + Quoted(filter->mask));
                } catch (const std::exception& e) {
                    Add(fe + "/@masktype", fl, Describe(e, filter->masktype, true));
                }
            }
        }
    }

    // The HTTP listener refuses a default_charset the converter does not know.
    void HttpDefaultCharset(const ALGproxyType& proxy, const ALGgeneralType& g) {
        if (!streq(proxy.name, "alg_http")) return;
        try {
            CheckDefaultCharset(g);
        } catch (const std::exception& e) {
            const int line = LineOf(&g, "default_charset");
            Add("general/default_charset", line ? line : LineOf(&g), Describe(e));
        }
    }

    // ftp-gateway filters commands with cut options only: its replace sections and the body
    // rules of its cut sections are never applied.
    void FtpIgnoredRules(const ALGproxyType& proxy) {
        const ALGprocessType* p = proxy.process.first();
        if (!streq(proxy.name, "alg_ftp") || p == nullptr) return;
        int index = 0;
        for (const ALGreplaceType* rule : p->replace)
            Add("process/" + Index("replace", ++index), LineOf(rule),
                "ignored by the FTP listener: it applies no replace section");
        index = 0;
        for (const ALGreplaceType* rule : p->cut) {
            ++index;
            if (!rule->body.empty())
                Add("process/" + Index("cut", index), LineOf(rule),
                    "body rules ignored by the FTP listener: it cuts commands only");
        }
    }

    // Builds every cut and replace section of the used process element as a listener would.
    void Process(const ALGprocessType& p) {
        Sections("cut", p.cut, [](const ALGreplaceType& r, unsigned short i, RemarkLog& log) {
            CutSection::FromPolicy(r, i, BodyRules::build, log);
        });
        Sections("replace", p.replace,
                 [](const ALGreplaceType& r, unsigned short i, RemarkLog& log) {
                     ReplaceSection::FromPolicy(r, i, BodyRules::build, log);
                 });
    }

    template <typename Build>
    void Sections(const char* kind, const ObjectVector<ALGreplaceType>& rules, Build build) {
        int index = 0;
        for (const ALGreplaceType* rule : rules) {
            ++index;
            const std::string element = "process/" + Index(kind, index);
            const int line = LineOf(rule);
            RemarkLog log;
            try {
                build(*rule, static_cast<unsigned short>(index), log);
            } catch (const std::exception& e) {
                Add(element, line, Describe(e, rule->loglevel, Is(e, InvalidLogLevel)));
            }
            for (const std::string& remark : log.remarks) Add(element, line, remark);
        }
    }

    const RecordLines* lines_;
    PolicyProblems& out_;
    std::string section_;
};

bool Wanted(const char* name, const std::vector<std::string>& sections) {
    for (const std::string& wanted : sections)
        if (streq(name, wanted.c_str())) return true;
    return false;
}

// The problems of the document as a whole, told before those of its sections.
void DocumentProblems(PolicyProblems& problems, bool singleRoot, bool anyProxy, bool found,
                      const std::vector<std::string>& sections) {
    if (!singleRoot) problems.Add({"", "algpolicy", 0, kNoSingleRoot});
    if (!anyProxy)
        problems.Add({"", "algpolicy", 0, kNoProxy});
    else if (!found)
        problems.Add({"", "algpolicy", 0, kNoSectionFor + Quoted(sections[0].c_str())});
}

PolicyProblems OneProblem(const TTT& e) {
    PolicyProblems problems;
    problems.Add({"", "", e.line(), e.cause()});
    return problems;
}

// Checks the document section by section (AlgDoc::parseEach), so memory follows the largest
// section rather than the whole policy.
template <typename LoadFn>
PolicyProblems CheckWith(LoadFn load, const std::vector<std::string>& sections) {
    AlgDoc doc;
    RecordLines lines;
    doc.setRecordLines(&lines);
    PolicyProblems problems;
    try {
        load(doc);
        int roots = 0;
        bool anyProxy = false, found = sections.empty();
        for (MLDoc::Token root : doc.top("algpolicy")) {
            ++roots;
            for (MLDoc::Token proxy : root.children("proxy")) {
                anyProxy = true;
                found = found || Wanted(proxy.attribute("name"), sections);
            }
        }
        DocumentProblems(problems, roots == 1, anyProxy, found, sections);
        Checker checker(&lines, problems);
        doc.parseEach([&](const ALGproxyType& proxy, int index) {
            checker.Section(proxy, index);
            lines.clear();
        });
    } catch (const TTT& e) {
        return OneProblem(e);
    }
    return problems;
}

}  // namespace

void PolicyProblems::Add(PolicyProblem problem) {
    if (kept_.size() < kMaxKept)
        kept_.push_back(std::move(problem));
    else
        ++omitted_;
}

PolicyProblems CheckPolicyDocument(const std::string& name, const std::string& text,
                                   const std::vector<std::string>& sections) {
    if (text.size() > MLDoc::kMaxDocumentSize)
        return OneProblem(TTT(name, 0, "document too large"));
    return CheckWith(
        [&](AlgDoc& doc) { doc.load(name.c_str(), text.data(), static_cast<int>(text.size())); },
        sections);
}

PolicyProblems CheckPolicyFile(const std::string& path) {
    return CheckWith([&](AlgDoc& doc) { doc.load(path); }, {});
}

std::string FormatPolicyProblem(const std::string& document, const PolicyProblem& p) {
    std::string out = document;
    if (p.line > 0) out += ":" + std::to_string(p.line);
    out += ": ";
    if (!p.section.empty()) out += p.section + ", ";
    if (!p.element.empty()) out += p.element + ": ";
    out += p.text;
    return EscapeControls(out);
}

std::vector<std::string> FormatPolicyProblems(const std::string& document,
                                              const PolicyProblems& problems) {
    std::vector<std::string> lines;
    for (const PolicyProblem& p : problems.kept())
        lines.push_back(FormatPolicyProblem(document, p));
    if (problems.omitted() > 0)
        lines.push_back(EscapeControls(document) + ": " + std::to_string(problems.omitted()) +
                        " more problems not shown");
    return lines;
}

}  // namespace alg
