#include "alg_xml.h"

#include <cstdio>
#include <initializer_list>
#include <new>
#include <utility>

namespace {

constexpr const char kDeclaration[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";
constexpr const char kSchemaInstanceNs[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char kNoMemory[] = "Error: Not enough memory\n";

using Field = std::pair<const char*, ChArr*>;

// Every attribute in document order against the record's names: a repeated attribute ends
// with its last value.
void ReadAttributes(const MLDoc::Token& token, std::initializer_list<Field> fields) {
    for (MLDoc::Attribute a = token.firstAttribute(); a; a.next())
        for (const Field& f : fields)
            if (a.is(f.first)) *f.second = a.value();
}

using OutField = std::pair<const char*, const ChArr*>;

// The attributes in the order given.
void WriteAttributes(MLDocOut& out, std::initializer_list<OutField> fields) {
    for (const OutField& f : fields) out.attr(f.first, *f.second);
}

// An element without children: `tag` with the attributes in the order given.
void WriteEmpty(MLDocOut& out, const char* tag, std::initializer_list<OutField> fields) {
    out.open(tag);
    WriteAttributes(out, fields);
    out.closeEmpty();
}

void PrintError(const TTT& e) {
    std::printf("Error: %s\n", e.makeMulti().c_str());
    std::fflush(stdout);
}

void ParseLoggers(AlgDoc& doc, MLDoc::Token& loggers, ObjectVector<ALGloggerType>& out) {
    for (MLDoc::Token lt : loggers.children("logger")) {
        ALGloggerType& logger = out.appendNew();
        doc.noteLine(&logger, lt);
        ReadAttributes(lt, {{"name", &logger.name}, {"loglevel", &logger.loglevel}});
        doc.parse(logger.param, lt);
    }
}

void ParseGeneral(AlgDoc& doc, MLDoc::Token& gt, ALGgeneralType& general) {
    for (MLDoc::Token c : gt.children()) {
        if (c.is("listen_port")) {
            doc.noteLine(&general, c, "listen_port");
            general.listen_port = c.getInt();
        } else if (c.is("session_timeout")) {
            doc.noteLine(&general, c, "session_timeout");
            general.session_timeout = c.getInt();
        } else if (c.is("default_charset")) {
            doc.noteLine(&general, c, "default_charset");
            general.default_charset = c.text();
        } else if (c.is("loggers")) {
            ParseLoggers(doc, c, general.loggers);
        } else if (c.is("authsystem")) {
            doc.noteLine(&general, c, "authsystem");
            general.authsystem.name = c.attribute("name");
            doc.parse(general.authsystem.param, c);
        }
    }
}

void ParseHandshake(AlgDoc& doc, MLDoc::Token& ht, ALGhandshakeType& handshake) {
    for (MLDoc::Token at : ht.children("access")) {
        ALGaccessType& access = handshake.access.appendNew();
        doc.noteLine(&access, at);
        ReadAttributes(at, {{"userid", &access.userid},
                            {"loglevel", &access.loglevel},
                            {"action", &access.action}});
        for (MLDoc::Token ft : at.children("filterby")) {
            ALGfilterbyType& filter = access.filterby.appendNew();
            doc.noteLine(&filter, ft);
            ReadAttributes(ft, {{"name", &filter.name}, {"masktype", &filter.masktype}});
            filter.mask = ft.text();
        }
    }
}

void ParseProcess(AlgDoc& doc, MLDoc::Token& pt, ALGprocessType& process) {
    for (MLDoc::Token rt : pt.children()) {
        ObjectVector<ALGreplaceType>* list = nullptr;
        if (rt.is("replace"))
            list = &process.replace;
        else if (rt.is("cut"))
            list = &process.cut;
        else
            continue;
        ALGreplaceType& rule = list->appendNew();
        doc.noteLine(&rule, rt);
        ReadAttributes(rt, {{"userid", &rule.userid}, {"loglevel", &rule.loglevel}});
        for (MLDoc::Token c : rt.children()) {
            if (c.is("option"))
                doc.parse(rule.option, c);
            else if (c.is("body"))
                doc.parse(rule.body, c);
        }
    }
}

}  // namespace

// ---- reading ----

bool AlgDoc::parse(ALGalgpolicyType& policy) {
    int roots = 0;
    for (MLDoc::Token root : top("algpolicy")) {
        ++roots;
        for (MLDoc::Token pt : root.children("proxy")) parse(policy.proxy.appendNew(), pt);
    }
    return roots == 1;
}

bool AlgDoc::parseEach(const std::function<void(const ALGproxyType&, int)>& each) {
    int roots = 0, index = 0;
    for (MLDoc::Token root : top("algpolicy")) {
        ++roots;
        for (MLDoc::Token pt : root.children("proxy")) {
            ALGproxyType proxy;
            parse(proxy, pt);
            each(proxy, ++index);
        }
    }
    return roots == 1;
}

void AlgDoc::parse(ALGproxyType& proxy, MLDoc::Token& token) {
    noteLine(&proxy, token);
    proxy.name = token.attribute("name");
    for (MLDoc::Token c : token.children()) {
        if (c.is("general")) {
            ALGgeneralType& general = proxy.general.appendNew();
            noteLine(&general, c);
            ParseGeneral(*this, c, general);
        } else if (c.is("handshake")) {
            ALGhandshakeType& handshake = proxy.handshake.appendNew();
            noteLine(&handshake, c);
            ParseHandshake(*this, c, handshake);
        } else if (c.is("process")) {
            ALGprocessType& process = proxy.process.appendNew();
            noteLine(&process, c);
            ParseProcess(*this, c, process);
        }
    }
}

void AlgDoc::parse(ObjectVector<ALGparamType>& list, MLDoc::Token& token) {
    for (MLDoc::Token pt : token.children("param")) {
        ALGparamType& p = list.appendNew();
        noteLine(&p, pt);
        ReadAttributes(pt, {{"name", &p.name}, {"value", &p.value}});
    }
}

void AlgDoc::parse(ObjectVector<ALGbodyType>& list, MLDoc::Token& token) {
    ALGbodyType& b = list.appendNew();
    noteLine(&b, token);
    ReadAttributes(token, {{"masktype", &b.masktype}, {"from", &b.from}, {"to", &b.to}});
}

void AlgDoc::parse(ObjectVector<ALGoptionType>& list, MLDoc::Token& token) {
    ALGoptionType& o = list.appendNew();
    noteLine(&o, token);
    ReadAttributes(
        token, {{"masktype", &o.masktype}, {"from", &o.from}, {"to", &o.to}, {"name", &o.name}});
}

namespace {

// Loads the document with `load(doc)` and reads the policy from it; a reader error is printed
// and gives false.
template <typename Load>
bool LoadPolicy(ALGalgpolicyType& policy, Load load) {
    AlgDoc doc;
    try {
        load(doc);
        const bool ok = doc.parse(policy);
        doc.release();
        return ok;
    } catch (const TTT& e) {
        doc.release();
        PrintError(e);
        return false;
    }
}

}  // namespace

bool ALGalgpolicyType::load(const char* name, const char* text, int length) {
    return LoadPolicy(*this, [&](AlgDoc& doc) { doc.load(name, text, length); });
}

bool ALGalgpolicyType::load(const std::string& path) {
    return LoadPolicy(*this, [&](AlgDoc& doc) { doc.load(path); });
}

// ---- writing ----

void AlgDocOut::writeChildren(const ObjectVector<ALGparamType>& params) {
    for (const ALGparamType* p : params) {
        WriteEmpty(*this, "param", {{"name", &p->name}, {"value", &p->value}});
    }
}

void AlgDocOut::writeChildren(const char* tag, const ObjectVector<ALGreplaceType>& rules) {
    for (const ALGreplaceType* r : rules) {
        open(tag);
        WriteAttributes(*this, {{"userid", &r->userid}, {"loglevel", &r->loglevel}});
        children();
        for (const ALGoptionType* o : r->option)
            WriteEmpty(*this, "option",
                       {{"masktype", &o->masktype},
                        {"from", &o->from},
                        {"to", &o->to},
                        {"name", &o->name}});
        for (const ALGbodyType* b : r->body)
            WriteEmpty(*this, "body",
                       {{"masktype", &b->masktype}, {"from", &b->from}, {"to", &b->to}});
        close(tag);
    }
}

void AlgDocOut::save(const ALGalgpolicyType& policy) {
    setIndent(2);
    setEol("\n");
    rawLine(kDeclaration);
    open("algpolicy");
    attr("tmp", "");
    attr("xmlns:xsi", kSchemaInstanceNs);
    children();
    for (const ALGproxyType* proxy : policy.proxy) {
        open("proxy");
        attr("name", proxy->name);
        children();
        for (const ALGgeneralType* g : proxy->general) {
            open("general");
            children();
            if (!g->default_charset.empty()) {
                // Escaped so that any stored name reads back unchanged.
                indent();
                raw("<default_charset>");
                escaped(g->default_charset);
                raw("</default_charset>");
                eol();
            }
            if (g->session_timeout != 0) {
                indent();
                format("<session_timeout>%d</session_timeout>", g->session_timeout);
                eol();
            }
            if (g->listen_port != 0) {
                indent();
                format("<listen_port>%d</listen_port>", g->listen_port);
                eol();
            }
            if (!g->loggers.empty()) {
                open("loggers");
                children();
                for (const ALGloggerType* l : g->loggers) {
                    open("logger");
                    WriteAttributes(*this, {{"loglevel", &l->loglevel}, {"name", &l->name}});
                    children();
                    writeChildren(l->param);
                    close("logger");
                }
                close("loggers");
            }
            open("authsystem");
            attr("name", g->authsystem.name);
            if (g->authsystem.param.empty()) {
                closeEmpty();
            } else {
                children();
                writeChildren(g->authsystem.param);
                close("authsystem");
            }
            close("general");
        }
        for (const ALGhandshakeType* h : proxy->handshake) {
            open("handshake");
            if (h->access.empty()) {
                closeEmpty();
                continue;
            }
            children();
            for (const ALGaccessType* a : h->access) {
                open("access");
                WriteAttributes(
                    *this,
                    {{"userid", &a->userid}, {"loglevel", &a->loglevel}, {"action", &a->action}});
                children();
                for (const ALGfilterbyType* f : a->filterby) {
                    raw("<filterby");
                    WriteAttributes(*this, {{"name", &f->name}, {"masktype", &f->masktype}});
                    raw(">");
                    escaped(f->mask);
                    raw("</filterby>");
                    eol();
                }
                close("access");
            }
            close("handshake");
        }
        for (const ALGprocessType* p : proxy->process) {
            open("process");
            children();
            writeChildren("replace", p->replace);
            writeChildren("cut", p->cut);
            close("process");
        }
        close("proxy");
    }
    close("algpolicy");
}

void AlgDocOut::saveToStr(std::string& out, const ALGalgpolicyType& policy) {
    Bag bag;
    start(bag);
    save(policy);
    end();
    out = bag.take();
}

void AlgDocOut::saveToFile(const std::string& path, const ALGalgpolicyType& policy) {
    start(path);
    save(policy);
    end();
}

bool ALGalgpolicyType::saveToFile(const std::string& path) const {
    AlgDocOut out;
    try {
        out.saveToFile(path, *this);
        return true;
    } catch (const TTT& e) {
        PrintError(e);
        return false;
    }
}

bool ALGalgpolicyType::saveToStr(std::string& result) const {
    AlgDocOut out;
    try {
        out.saveToStr(result, *this);
        return true;
    } catch (const TTT& e) {
        PrintError(e);
        return false;
    } catch (const std::bad_alloc&) {
        std::fputs(kNoMemory, stdout);
        std::fflush(stdout);
        return false;
    }
}
